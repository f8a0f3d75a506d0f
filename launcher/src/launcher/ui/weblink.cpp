#include "launcher/ui/weblink.h"

#include <QDebug>
#include <QDesktopServices>
#include <QLabel>
#include <QTextDocument>

namespace quarn::launcher {

bool isWebLink(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

bool openWebLink(const QUrl& url) {
    if (!isWebLink(url)) {
        qWarning() << "Not opening link that is no web address:" << url.toString();
        return false;
    }
    return QDesktopServices::openUrl(url);
}

void openLabelLinksAsWebLinks(QLabel* label) {
    label->setOpenExternalLinks(false);
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    // Called again when the label's text is renewed: one opening per activation all the same.
    QObject::disconnect(label, &QLabel::linkActivated, label, nullptr);
    QObject::connect(label, &QLabel::linkActivated, label,
                     [](const QString& link) { openWebLink(QUrl(link, QUrl::TolerantMode)); });
}

QString linkedImageHtml(const QString& link, const QString& image, bool selfClosingImage) {
    return QStringLiteral("<a href=\"%1\"><img src=\"%2\"%3></a>")
        .arg(link.toHtmlEscaped(), image.toHtmlEscaped(), selfClosingImage ? QStringLiteral("/") : QString());
}

QString plainTextToolTip(const QString& text) {
    if (!Qt::mightBeRichText(text))
        return text;
    return QStringLiteral("<p style=\"white-space:pre\">%1</p>").arg(text.toHtmlEscaped());
}

} // namespace quarn::launcher
