#pragma once

#include <QString>
#include <QUrl>

class QLabel;

namespace quarn::launcher {

// Whether the address is one the launcher hands to the system browser: http or https with a host.
bool isWebLink(const QUrl& url);

// Opens the address in the system browser when it is a web link; anything else (file, script,
// custom schemes) is refused with a warning in the log. True when the browser was asked.
bool openWebLink(const QUrl& url);

// Lets the label's links open through openWebLink instead of Qt's own opening of any address,
// reachable by mouse and keyboard.
void openLabelLinksAsWebLinks(QLabel* label);

// Rich text of a link around a picture, "<a href="LINK"><img src="IMAGE"/></a>" (or with "<img …>"
// not self-closed), with both values escaped, so that no address can break out of its attribute.
QString linkedImageHtml(const QString& link, const QString& image, bool selfClosingImage = true);

// A tool tip that shows the text as it stands: Qt takes a tool tip that looks like markup as rich
// text, so such a text is escaped into a rich-text tool tip instead.
QString plainTextToolTip(const QString& text);

} // namespace quarn::launcher
