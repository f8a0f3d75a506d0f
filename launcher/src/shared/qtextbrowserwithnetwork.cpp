#include "shared/qtextbrowserwithnetwork.h"

#include "shared/downloadpool.h"

#include <QDebug>
#include <QImage>
#include <QMetaEnum>
#include <QTextDocument>

namespace shared {

QTextBrowserWithNetwork::QTextBrowserWithNetwork(const std::shared_ptr<TDownloadPool>& pool, QWidget* parent)
    : QTextBrowser(parent), m_DownloadPool(pool) {
    if (m_DownloadPool) {
        connect(m_DownloadPool.get(), &TDownloadPool::success, this,
                &QTextBrowserWithNetwork::onDownloadFinished);
        connect(m_DownloadPool.get(), &TDownloadPool::failed, this,
                &QTextBrowserWithNetwork::onDownloadFailed);
    }
}

QVariant QTextBrowserWithNetwork::loadResource(int type, const QUrl& name) {
    const auto found = m_Resources.constFind(name);
    if (found != m_Resources.constEnd())
        return found.value();
    const QString scheme = name.scheme();
    if (m_DownloadPool && (scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
                           scheme == QLatin1String("ftp"))) {
        m_DownloadPool->Submit(name);
        QVariant placeholder;
        if (type == QTextDocument::ImageResource) {
            QImage image(32, 32, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            placeholder = image;
        } else {
            placeholder = type;
        }
        m_Resources.insert(name, placeholder);
        return placeholder;
    }
    const QVariant resource = QTextBrowser::loadResource(type, name);
    m_Resources.insert(name, resource);
    return resource;
}

QSize QTextBrowserWithNetwork::sizeHint() const {
    return document()->size().toSize();
}

int QTextBrowserWithNetwork::heightForWidth(int) const {
    return static_cast<int>(document()->size().height());
}

void QTextBrowserWithNetwork::onDownloadFinished(QUrl Url, QByteArray Data) {
    const auto found = m_Resources.find(Url);
    if (found == m_Resources.end())
        return;
    found.value() = Data;
    // The document caches what it loaded; setting its own HTML again makes it ask anew.
    document()->setHtml(document()->toHtml());
    updateGeometry();
}

void QTextBrowserWithNetwork::onDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code,
                                               QString ErrorString) {
    // The pool is shared: only failures of this browser's own resources are worth a line.
    if (!m_Resources.contains(Url))
        return;
    qWarning() << "Download failed:" << Url
               << QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(Code) << ErrorString;
}

} // namespace shared
