// The small widgets, the web-link guard, the image resources and the translation catalogue.
#include "launcher/ui/clickablelabel.h"
#include "launcher/ui/qcontextpushbutton.h"
#include "launcher/ui/uiresources.h"
#include "launcher/ui/weblink.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QImageReader>
#include <QMenu>
#include <QSignalSpy>
#include <QTranslator>
#include <QtTest>

// Receives the addresses QDesktopServices would hand to the system browser.
class TUrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

class TestUiWidgets : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { quarn::launcher::initializeUiResources(); }

    void contextButtonMenu() {
        QContextPushButton button;
        QSignalSpy triggered(&button, &QContextPushButton::contextTriggered);

        // No actions: a right click opens nothing and emits nothing.
        QContextMenuEvent empty(QContextMenuEvent::Mouse, QPoint(5, 5), QPoint(5, 5));
        QApplication::sendEvent(&button, &empty);
        QVERIFY(!button.contextMenu()->isVisible());
        QCOMPARE(triggered.count(), 0);

        button.SetActions({"Verify"});
        QPointer<QAction> first = button.contextMenu()->actions().value(0);
        button.SetActions({"Verify"});
        // The same list twice: one action per text, and the replaced one is gone.
        QCOMPARE(button.actionTexts(), QStringList{"Verify"});
        QVERIFY(first.isNull());
        QCOMPARE(button.findChildren<QAction*>(QString(), Qt::FindDirectChildrenOnly).size(), 1);

        button.show();
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), button.mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(&button, &event);
        QTRY_VERIFY(button.contextMenu()->isVisible());
        button.contextMenu()->actions().first()->trigger();
        QCOMPARE(triggered.count(), 1);
        QCOMPARE(triggered.first().first().toString(), QStringLiteral("Verify"));

        button.SetActions({});
        QVERIFY(button.actionTexts().isEmpty());
        QVERIFY(button.findChildren<QAction*>(QString(), Qt::FindDirectChildrenOnly).isEmpty());
    }

    void clickableLabelCountsPresses_data() {
        QTest::addColumn<int>("mouseButtonValue");
        QTest::newRow("left") << int(Qt::LeftButton);
        QTest::newRow("right") << int(Qt::RightButton);
        QTest::newRow("middle") << int(Qt::MiddleButton);
    }

    void clickableLabelCountsPresses() {
        QFETCH(int, mouseButtonValue);
        const auto mouseButton = static_cast<Qt::MouseButton>(mouseButtonValue);
        ClickableLabel label;
        label.resize(40, 20);
        QSignalSpy clicked(&label, &ClickableLabel::clicked);
        QTest::mousePress(&label, mouseButton, {}, QPoint(3, 3));
        QCOMPARE(clicked.count(), 1);
        QTest::mouseRelease(&label, mouseButton, {}, QPoint(3, 3));
        QCOMPARE(clicked.count(), 1);
    }

    void onlyWebLinksAreOpened_data() {
        QTest::addColumn<QString>("link");
        QTest::addColumn<bool>("opened");
        QTest::newRow("https") << "https://example.org/news?id=1" << true;
        QTest::newRow("http upper case") << "HTTP://example.org/" << true;
        QTest::newRow("file") << "file:///etc/passwd" << false;
        QTest::newRow("javascript") << "javascript:alert(1)" << false;
        QTest::newRow("custom scheme") << "steam://run/1" << false;
        QTest::newRow("relative") << "news/1.html" << false;
        QTest::newRow("no host") << "https:///path" << false;
        QTest::newRow("empty") << "" << false;
    }

    void onlyWebLinksAreOpened() {
        QFETCH(QString, link);
        QFETCH(bool, opened);
        TUrlCatcher catcher;
        for (const char* scheme : {"http", "https", "file", "javascript", "steam", ""})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &catcher, "open");
        QCOMPARE(quarn::launcher::openWebLink(QUrl(link, QUrl::TolerantMode)), opened);
        QCOMPARE(catcher.urls.size(), opened ? 1 : 0);
        for (const char* scheme : {"http", "https", "file", "javascript", "steam", ""})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }

    void linkedImageIsEscaped() {
        const QString html = quarn::launcher::linkedImageHtml(
            QStringLiteral("https://x.org/\"><script>alert(1)</script>"), QStringLiteral(":/a.png"));
        QVERIFY(!html.contains(QStringLiteral("<script>")));
        QCOMPARE(html,
                 QStringLiteral("<a href=\"https://x.org/&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;\">"
                                "<img src=\":/a.png\"/></a>"));
    }

    void imageResources_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QSize>("size");
        const QSize button(98, 40), logo(160, 72), icon(24, 24), splash(336, 190);
        QTest::newRow("background") << "BackgroundImage.jpg" << QSize(800, 600);
        for (const char* colour : {"Red", "Blue", "Orange", "Green"})
            for (const char* state : {"idle", "hover", "pressed"}) {
                const QString name = QStringLiteral("Button_%1_%2.png").arg(colour, state);
                QTest::newRow(qPrintable(name)) << name << button;
            }
        for (const char* caption : {"", "Download", "Update", "Play"}) {
            const QString name = QStringLiteral("Icon_%1.png").arg(caption);
            QTest::newRow(qPrintable(name)) << name << icon;
        }
        for (const char* variant : {"QT", "Classic", "Test", "Beta", "Preview"})
            for (const char* state : {"", "_disabled"}) {
                const QString name = QStringLiteral("OrvaneLogo_%1%2.png").arg(variant, state);
                QTest::newRow(qPrintable(name)) << name << logo;
            }
        QTest::newRow("splash default") << "LauncherLogo_QT.png" << logo;
        QTest::newRow("splash updating") << "LauncherLogo_UpdatingLauncher.png" << splash;
        QTest::newRow("splash launching") << "OrvaneLogo_LaunchingClient.png" << splash;
        QTest::newRow("progress background") << "ProgressBar_BG.png" << button;
        QTest::newRow("progress chunk") << "ProgressBar.png" << button;
        QTest::newRow("checkbox off") << "checkbox-unchecked.png" << QSize(16, 16);
        QTest::newRow("checkbox on") << "checkbox-checked.png" << QSize(16, 16);
        QTest::newRow("tile panel") << "clientpackage-background.png" << QSize(48, 48);
        QTest::newRow("hint panel") << "hint-background.png" << QSize(24, 24);
        QTest::newRow("scroll track") << "scrollbar-texture-vertical.png" << QSize(12, 24);
        QTest::newRow("scroll handle") << "scrollbar-handle-vertical.png" << QSize(12, 24);
        for (const char* name : {"scrollbar-buttonup-up.png", "scrollbar-buttonup-down.png",
                                 "scrollbar-buttondown-up.png", "scrollbar-buttondown-down.png"})
            QTest::newRow(name) << QString::fromLatin1(name) << QSize(12, 12);
        QTest::newRow("about") << "icircle.png" << QSize(20, 20);
        QTest::newRow("twitter") << "Twitter.png" << QSize(28, 28);
        QTest::newRow("discord") << "Discord.png" << QSize(28, 28);
        QTest::newRow("maker") << "KettrelLogo.png" << QSize(120, 32);
    }

    // Each image loads at its size, and its high-density form at twice that size.
    void imageResources() {
        QFETCH(QString, name);
        QFETCH(QSize, size);
        const QString path = QStringLiteral(":/images/launcher/") + name;
        const QImage image(path);
        QVERIFY2(!image.isNull(), qPrintable(path));
        QCOMPARE(image.size(), size);
        const int dot = path.lastIndexOf(QLatin1Char('.'));
        const QImage doubled(path.left(dot) + QStringLiteral("@2x") + path.mid(dot));
        QCOMPARE(doubled.size(), size * 2);
        if (name == QLatin1String("Icon_.png"))
            QVERIFY(image.pixelColor(12, 12).alpha() == 0);
    }

    void translationCatalogue() {
        QTranslator translator;
        QVERIFY(translator.load(QStringLiteral(ORVANE_TRANSLATION_FILE)));
        QCoreApplication::installTranslator(&translator);
        QCOMPARE(qtTrId("launcher.about.title"), QStringLiteral("About Orvane Online"));
        const QString text = qtTrId("launcher.about.text");
        for (int placeholder = 1; placeholder <= 6; ++placeholder)
            QVERIFY2(text.contains(QStringLiteral("%%1").arg(placeholder)), qPrintable(text));
        QVERIFY(!text.contains(QLatin1String("%7")));
        QCoreApplication::removeTranslator(&translator);
    }
};

QTEST_MAIN(TestUiWidgets)
#include "tst_uiwidgets.moc"
