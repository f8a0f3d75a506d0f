#pragma once

#include <QMap>
#include <QNetworkReply>
#include <QTextBrowser>
#include <QUrl>
#include <QVariant>

#include <memory>

namespace shared {

class TDownloadPool;

// A text browser whose documents may name resources by http, https or ftp address: such a
// resource is fetched through the download pool, a transparent placeholder stands in until it
// arrives, and the document is laid out again with it.
class QTextBrowserWithNetwork : public QTextBrowser {
    Q_OBJECT
public:
    QTextBrowserWithNetwork(const std::shared_ptr<TDownloadPool>& pool, QWidget* parent);

    QVariant loadResource(int type, const QUrl& name) override;
    QSize sizeHint() const override;
    int heightForWidth(int width) const override;

private slots:
    void onDownloadFinished(QUrl Url, QByteArray Data);
    void onDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code, QString ErrorString);

private:
    std::shared_ptr<TDownloadPool> m_DownloadPool;
    QMap<QUrl, QVariant> m_Resources;
};

} // namespace shared
