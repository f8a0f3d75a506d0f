// The main window: tile grid, default client, requests to the controller, failure messages with
// the CDN diagnosis, About box, dragging, and the hint row with pictures from a local server.
#include "faultyhttpserver.h"
#include "launcher/diagnostics/cloudflarecdntrace.h"
#include "launcher/installation/installationmanager.h"
#include "launcher/installation/packageinstallation.h"
#include "launcher/ui/clickablelabel.h"
#include "launcher/ui/clientpackagelayoutitem.h"
#include "launcher/ui/launchermainwindow.h"
#include "launcher/ui/qcontextpushbutton.h"
#include "launcher/version.h"
#include "testenvironment.h"
#include "uitestsupport.h"

#include <QAction>
#include <QBuffer>
#include <QCheckBox>
#include <QDesktopServices>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QNetworkAccessManager>
#include <QProgressBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTranslator>
#include <QtTest>

using namespace quarn::launcher;
using namespace uitestsupport;

Q_DECLARE_METATYPE(std::shared_ptr<quarn::launcher::TPackage>)

namespace {

class TUrlCatcher : public QObject {
    Q_OBJECT
public:
    TUrlCatcher() {
        for (const char* scheme : {"http", "https", "file"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "open");
    }
    ~TUrlCatcher() override {
        for (const char* scheme : {"http", "https", "file"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

QByteArray pngPicture(QSize size) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(QColor(30, 120, 200));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// The message boxes the window shows (not yet closed).
QList<QMessageBox*> visibleBoxes(QWidget* window) {
    QList<QMessageBox*> boxes;
    for (QMessageBox* box : window->findChildren<QMessageBox*>())
        if (box->isVisible())
            boxes.append(box);
    return boxes;
}

} // namespace

// Everything a window needs: a catalogue of client packages for this machine, a manager, a pool
// and a CDN trace.
class TWindowFixture {
public:
    TWindowFixture(const std::shared_ptr<TLauncherFilesystemHelper>& helper, const QStringList& names,
                   const QUrl& traceUrl = QUrl()) {
        QJsonArray packages;
        for (int i = 0; i < names.size(); ++i)
            packages.append(
                QJsonObject{{"name", names.at(i)},
                            {"directoryname", QStringLiteral("Client%1").arg(i)},
                            {"builds", QJsonArray{QJsonObject{{"os", localOperatingSystemName()},
                                                              {"architecture", localArchitectureName()},
                                                              {"url", "package.json"}}}}});
        const QUrl base(QStringLiteral("http://127.0.0.1:9/"));
        configuration = std::make_shared<TLauncherConfigurationReader>(
            QJsonDocument(QJsonObject{{"packages", packages}}).toJson(), base);
        for (const auto& package : configuration->packages())
            package->findBuildMatchingLocalArchitectureAndOS()->setPackageConfiguration(
                std::make_unique<TPackageConfigurationReader>(
                    QJsonDocument(QJsonObject{{"version", "1.0"}, {"files", QJsonArray()}}).toJson(),
                    QByteArray(), base, base));
        manager = std::make_unique<TInstallationManager>(configuration, helper);
        pool = std::make_shared<shared::TDownloadPool>(
            6,
            std::make_shared<shared::QNetworkAccessManagerWrapper>(std::make_shared<QNetworkAccessManager>()),
            nullptr, true);
        trace = std::make_shared<TCloudflareCdnTrace>(traceUrl, pool);
        window =
            std::make_unique<TLauncherMainWindow>(configuration->packagesFilteredByLocalArchitectureAndOS(),
                                                  *manager, false, pool, trace, configuration);
    }

    std::shared_ptr<TPackage> package(int index) const { return configuration->packages().at(index); }
    TClientPackageLayoutItem* tile(int index) const { return window->tiles().at(index); }

    std::shared_ptr<TLauncherConfigurationReader> configuration;
    std::unique_ptr<TInstallationManager> manager;
    std::shared_ptr<shared::TDownloadPool> pool;
    std::shared_ptr<TCloudflareCdnTrace> trace;
    std::unique_ptr<TLauncherMainWindow> window;
};

class TestMainWindow : public QObject {
    Q_OBJECT

private:
    TTestHome m_Home;
    std::shared_ptr<TLauncherFilesystemHelper> m_Helper;

    static QStringList names(int count) {
        QStringList result;
        for (int i = 0; i < count; ++i)
            result << QStringLiteral("Client %1").arg(i);
        return result;
    }

    // Ends a run of the package the way the installation manager reports it.
    void finishRun(TWindowFixture& fixture, const std::shared_ptr<TPackage>& package,
                   EPackageDownloaderError reason) {
        TPackageInstallation run(package, m_Helper);
        emit fixture.manager->installationOrUpdateStarted(run);
        if (reason != PACKAGE_DOWNLOADER_ERROR_NONE)
            emit run.downloader()->downloadFailed(reason);
        emit fixture.manager->installationOrUpdateFinished(run);
    }

private slots:
    void initTestCase() {
        qRegisterMetaType<std::shared_ptr<TPackage>>();
        m_Home.applyToThisProcess();
        m_Helper = std::make_shared<TLauncherFilesystemHelper>();
    }

    void cleanup() {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (qobject_cast<QMessageBox*>(widget))
                widget->close();
    }

    void grid_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("scrolls");
        QTest::newRow("none") << 0 << false;
        QTest::newRow("one row") << 4 << false;
        QTest::newRow("two rows") << 5 << false;
        QTest::newRow("three rows") << 9 << true;
    }

    void grid() {
        QFETCH(int, count);
        QFETCH(bool, scrolls);
        TWindowFixture fixture(m_Helper, names(count));
        TLauncherMainWindow& window = *fixture.window;
        QCOMPARE(int(window.tiles().size()), count);
        for (int i = 0; i < count; ++i) {
            int row = -1, column = -1, rowSpan = 0, columnSpan = 0;
            const int index = window.tileGrid()->indexOf(fixture.tile(i));
            QVERIFY(index >= 0);
            window.tileGrid()->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
            QCOMPARE(row, i / 4);
            QCOMPARE(column, i % 4);
            QCOMPARE(rowSpan, 1);
        }
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.width(), 800);
        QVERIFY(window.height() >= 450 && window.height() <= 600);
        QScrollArea* area = window.tileScrollArea();
        QTRY_COMPARE(area->verticalScrollBar()->maximum() > 0, scrolls);
        if (count > 0) {
            // All rows stay reachable and inside the window.
            QVERIFY(area->geometry().bottom() < window.height());
            area->ensureWidgetVisible(fixture.tile(count - 1)->groupBox());
            QTRY_VERIFY(fixture.tile(count - 1)->groupBox()->visibleRegion().isEmpty() == false);
        }
        const QList<QMessageBox*> boxes = visibleBoxes(&window);
        if (count == 0) {
            QCOMPARE(boxes.size(), 1);
            QCOMPARE(boxes.first()->windowTitle(), QStringLiteral("Connection problem"));
            QCOMPARE(boxes.first()->text(),
                     QStringLiteral("Could not connect to the update service.\n\nPlease try again later.\n"));
        } else {
            QVERIFY(boxes.isEmpty());
        }
    }

    // The checkboxes act like radio buttons that can all be off.
    void defaultClient() {
        TWindowFixture fixture(m_Helper, names(3));
        TLauncherMainWindow& window = *fixture.window;
        QSignalSpy changed(&window, &TLauncherMainWindow::defaultChanged);
        QCOMPARE(window.defaultPackageIdentifier(), -1);

        fixture.tile(0)->defaultCheckbox()->setChecked(true);
        QCOMPARE(changed.count(), 1);
        fixture.tile(1)->defaultCheckbox()->setChecked(true); // tick B clears A
        QCOMPARE(changed.count(), 2);
        QCOMPARE(changed.last().at(0).value<std::shared_ptr<TPackage>>(), fixture.package(1));
        QCOMPARE(changed.last().at(1).toBool(), true);
        QVERIFY(!fixture.tile(0)->defaultCheckbox()->isChecked());
        QCOMPARE(window.defaultPackageIdentifier(), 1);

        window.onDefaultClientPackageCheckboxChanged(fixture.package(1), true); // re-tick: nothing
        QCOMPARE(changed.count(), 2);

        fixture.tile(1)->defaultCheckbox()->setChecked(false); // clear: no default left
        QCOMPARE(changed.count(), 3);
        QCOMPARE(changed.last().at(1).toBool(), false);
        QCOMPARE(window.defaultPackageIdentifier(), -1);
        for (int i = 0; i < 3; ++i)
            QVERIFY(!fixture.tile(i)->defaultCheckbox()->isChecked());

        // setDefault marks without telling anyone.
        window.setDefault(fixture.package(2), true);
        QVERIFY(fixture.tile(2)->defaultCheckbox()->isChecked());
        QCOMPARE(window.defaultPackageIdentifier(), 2);
        window.setDefault(fixture.package(2), false);
        QVERIFY(!fixture.tile(2)->defaultCheckbox()->isChecked());
        QCOMPARE(changed.count(), 3);
    }

    void tileRequestsReachTheController() {
        TWindowFixture fixture(m_Helper, names(2));
        TLauncherMainWindow& window = *fixture.window;
        QSignalSpy start(&window, &TLauncherMainWindow::clientPackageButtonClicked);
        QSignalSpy verify(&window, &TLauncherMainWindow::clientPackageVerifyButtonClicked);
        fixture.tile(1)->actionButton()->click();
        QCOMPARE(start.count(), 1);
        QCOMPARE(start.first().first().value<std::shared_ptr<TPackage>>(), fixture.package(1));
        fixture.package(0)->setLocalPackageStatus(PACKAGE_STATUS_INSTALLED);
        fixture.tile(0)->actionButton()->contextMenu()->actions().first()->trigger();
        QCOMPARE(verify.count(), 1);
        QCOMPARE(verify.first().first().value<std::shared_ptr<TPackage>>(), fixture.package(0));
    }

    void failureMessages_data() {
        QTest::addColumn<EPackageDownloaderError>("reason");
        QTest::addColumn<QString>("trace");     // early, late, never, closed (late, box closed first)
        QTest::addColumn<QString>("title");     // empty: no box
        QTest::addColumn<QString>("firstText"); // the text as the box first shows it
        QTest::addColumn<QString>("finalText"); // the text once the trace is in
        const QString name = QStringLiteral("Client %2 <b>x</b>");
        const QString download =
            QStringLiteral("The installation of %1 failed.\n\nNot all files necessary could be "
                           "downloaded. Please try again later.\n\nDiagnostic information: ")
                .replace(QLatin1String("%1"), name);
        const QString summary = QStringLiteral("FL: 12f34, TS: 12.5, COLO: FRA, IP: 198.51.100.7");
        const QString loading = QStringLiteral("Loading, please wait...");
        const QString failed = QStringLiteral("Failed to obtain information.");
        QTest::newRow("download, trace early")
            << PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED << "early"
            << "Download failed" << download + summary << download + summary;
        QTest::newRow("download, trace late")
            << PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED << "late"
            << "Download failed" << download + loading << download + summary;
        QTest::newRow("download, trace never") << PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED << "never"
                                               << "Download failed" << download + failed << download + failed;
        QTest::newRow("download, box closed before trace")
            << PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED << "closed"
            << "Download failed" << download + loading << QString();
        QTest::newRow("saving") << PACKAGE_DOWNLOADER_ERROR_SAVING_FAILED << "never"
                                << "Installation failed"
                                << QStringLiteral(
                                       "The installation of %1 failed.\n\nMake sure you have enough free "
                                       "disk space and the application isn't currently running, then "
                                       "try again.")
                                       .replace(QLatin1String("%1"), name)
                                << QString();
        QTest::newRow("verification")
            << PACKAGE_DOWNLOADER_ERROR_VERIFICATION_FAILED << "never"
            << "Installation failed"
            << QStringLiteral("The installation of %1 failed.\n\nVerification of game "
                              "data failed!")
                   .replace(QLatin1String("%1"), name)
            << QString();
        QTest::newRow("success") << PACKAGE_DOWNLOADER_ERROR_NONE << "never" << QString() << QString()
                                 << QString();
    }

    // A run that knows why it could not write (here: too little free space) has that reason shown.
    void installationFailureWithReason() {
        TWindowFixture fixture(m_Helper, {QStringLiteral("Client")}, QUrl());
        TLauncherMainWindow& window = *fixture.window;
        window.show();
        const QString reason =
            QStringLiteral("Not enough free disk space in \"/games\": the installation needs "
                           "4194304 bytes (4.00 MiB), available are 1000 bytes (1000 bytes).");
        TPackageInstallation run(fixture.package(0), m_Helper);
        emit fixture.manager->installationOrUpdateStarted(run);
        run.markFailed(PACKAGE_DOWNLOADER_ERROR_SAVING_FAILED, reason);
        emit fixture.manager->installationOrUpdateFinished(run);
        const QList<QMessageBox*> boxes = visibleBoxes(&window);
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first()->windowTitle(), QStringLiteral("Installation failed"));
        QCOMPARE(boxes.first()->text(), QStringLiteral("The installation of Client failed.\n\n") + reason);
    }

    void failureMessages() {
        QFETCH(EPackageDownloaderError, reason);
        QFETCH(QString, trace);
        QFETCH(QString, title);
        QFETCH(QString, firstText);
        QFETCH(QString, finalText);
        TFaultyHttpServer server;
        const QByteArray page = "fl=12f34\nh=example\nip=198.51.100.7\nts=12.5\ncolo=FRA\nuag=x\n";
        server.setAnswers(QStringLiteral("/cdn-cgi/trace"),
                          {trace == QLatin1String("early")
                               ? TFaultyHttpServer::ok(page)
                               : TFaultyHttpServer::delayed(400, TFaultyHttpServer::ok(page))});
        const QUrl traceUrl =
            trace == QLatin1String("never") ? QUrl() : server.url(QStringLiteral("/cdn-cgi/trace"));
        TWindowFixture fixture(m_Helper, {QStringLiteral("Client %2 <b>x</b>")}, traceUrl);
        TLauncherMainWindow& window = *fixture.window;
        window.show();
        if (trace == QLatin1String("early")) {
            fixture.trace->startReceivingTraceOutput();
            QTRY_VERIFY(fixture.trace->isFinished());
        }

        finishRun(fixture, fixture.package(0), reason);
        // The tile is back to its button whatever the outcome.
        QVERIFY(fixture.tile(0)->progressBar()->isHidden());
        QList<QMessageBox*> boxes = visibleBoxes(&window);
        if (title.isEmpty()) {
            QVERIFY(boxes.isEmpty());
            return;
        }
        QCOMPARE(boxes.size(), 1);
        QMessageBox* box = boxes.first();
        QCOMPARE(box->windowTitle(), title);
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QCOMPARE(box->icon(), QMessageBox::Critical);
        QVERIFY(!box->isModal()); // finishRun returned while the box is open
        QCOMPARE(box->text(), firstText);

        if (trace == QLatin1String("closed")) {
            box->close();
            QTRY_VERIFY(fixture.trace->isFinished());
            QCoreApplication::processEvents();
            QVERIFY(!box->isVisible());
        } else if (!finalText.isEmpty()) {
            QTRY_COMPARE(box->text(), finalText);
        }
        QCOMPARE(server.attempts(QStringLiteral("/cdn-cgi/trace")), trace == QLatin1String("never") ? 0 : 1);
    }

    // A second failure while the trace is on its way reuses the one box; the trace is fetched once.
    void secondFailureWhileTraceIsLoading() {
        TFaultyHttpServer server;
        server.setAnswers(QStringLiteral("/trace"),
                          {TFaultyHttpServer::delayed(400, TFaultyHttpServer::ok("colo=AMS\n"))});
        TWindowFixture fixture(m_Helper, names(2), server.url(QStringLiteral("/trace")));
        fixture.window->show();
        finishRun(fixture, fixture.package(0), PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED);
        finishRun(fixture, fixture.package(1), PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED);
        QCOMPARE(visibleBoxes(fixture.window.get()).size(), 1);
        QTRY_VERIFY(fixture.window->errorMessageBox()->text().endsWith(QLatin1String("COLO: AMS, IP: ")));
        QVERIFY(fixture.window->errorMessageBox()->text().contains(QLatin1String("Client 1")));
        QCOMPARE(server.attempts(QStringLiteral("/trace")), 1);
    }

    // Runs of a package without a tile are ignored.
    void runWithoutTile() {
        TWindowFixture fixture(m_Helper, names(1));
        TWindowFixture other(m_Helper, names(3));
        finishRun(fixture, other.package(2), PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED);
        finishRun(fixture, nullptr, PACKAGE_DOWNLOADER_ERROR_SAVING_FAILED);
        QVERIFY(visibleBoxes(fixture.window.get()).isEmpty());
    }

    void aboutBox() {
        QTranslator translator;
        QVERIFY(translator.load(QStringLiteral(ORVANE_TRANSLATION_FILE)));
        QCoreApplication::installTranslator(&translator);
        TWindowFixture fixture(m_Helper, names(1));
        TLauncherMainWindow& window = *fixture.window;
        window.show();
        QLabel* about = nullptr;
        for (QLabel* label : window.findChildren<QLabel*>())
            if (label->toolTip() == QLatin1String("About"))
                about = label;
        QVERIFY(about);
        QCOMPARE(about->accessibleName(), QStringLiteral("About"));
        emit about->linkActivated(QStringLiteral("about"));
        QPointer<QMessageBox> box = visibleBoxes(&window).value(0);
        QVERIFY(box);
        QCOMPARE(box->windowTitle(), QStringLiteral("About Orvane Online"));
        QCOMPARE(box->icon(), QMessageBox::Information);
        QVERIFY(box->text().contains(QStringLiteral("Launcher version ") + LAUNCHER_VERSION));
        QVERIFY(box->text().contains(QString::fromLatin1(qVersion())));
        QVERIFY(box->text().contains(QString::fromLatin1(TLauncherMainWindow::LICENCE_ADDRESS)));
        QVERIFY(!box->text().contains(QLatin1String("%6")));
        box->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(box.isNull());
        QCoreApplication::removeTranslator(&translator);
    }

    void footerAndAccessibleNames() {
        TUrlCatcher catcher;
        TWindowFixture fixture(m_Helper, names(1));
        TLauncherMainWindow& window = *fixture.window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Orvane Online"));
        QStringList toolTips;
        for (QLabel* label : window.findChildren<QLabel*>()) {
            if (label->text().contains(QLatin1String("<a href"))) {
                QVERIFY2(!label->accessibleName().isEmpty(), qPrintable(label->text()));
                toolTips << label->toolTip();
            }
            if (label->text() == QStringLiteral("v") + LAUNCHER_VERSION)
                QVERIFY(!label->accessibleName().isEmpty());
        }
        QVERIFY(toolTips.contains(QStringLiteral("Follow us on Twitter")));
        QVERIFY(toolTips.contains(QStringLiteral("Follow us on Discord")));
        QVERIFY(toolTips.contains(QString::fromLatin1(TLauncherMainWindow::MAKER_WEB_SITE)));
        for (QLabel* label : window.findChildren<QLabel*>())
            if (label->toolTip() == QLatin1String("Follow us on Discord"))
                emit label->linkActivated(QString::fromLatin1(TLauncherMainWindow::DISCORD_INVITATION));
        QCOMPARE(catcher.urls,
                 QList<QUrl>{QUrl(QString::fromLatin1(TLauncherMainWindow::DISCORD_INVITATION))});
        QVERIFY(!fixture.tile(0)->actionButton()->accessibleName().isEmpty());
        QVERIFY(!fixture.tile(0)->defaultCheckbox()->accessibleName().isEmpty());
        QVERIFY(!fixture.tile(0)->groupBox()->accessibleName().isEmpty());
    }

    // The window follows the cursor: where it was grabbed stays under the cursor.
    void dragging() {
        TWindowFixture fixture(m_Helper, names(1));
        TLauncherMainWindow& window = *fixture.window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.move(100, 80);
        QTRY_COMPARE(window.pos(), QPoint(100, 80));
        const auto send = [&](QEvent::Type type, QPoint global, Qt::MouseButtons buttons) {
            const QPoint local = global - window.pos();
            QMouseEvent event(type, local, local, global, Qt::LeftButton, buttons, Qt::NoModifier);
            QApplication::sendEvent(&window, &event);
        };
        const QPoint grab(100 + 10, 80 + 10);
        send(QEvent::MouseButtonPress, grab, Qt::LeftButton);
        send(QEvent::MouseMove, grab + QPoint(50, 30), Qt::LeftButton);
        QTRY_COMPARE(window.pos(), QPoint(150, 110));
        send(QEvent::MouseMove, grab + QPoint(60, 40), Qt::LeftButton);
        QTRY_COMPARE(window.pos(), QPoint(160, 120));
        send(QEvent::MouseButtonRelease, grab + QPoint(60, 40), Qt::NoButton);
        send(QEvent::MouseMove, grab + QPoint(200, 200), Qt::NoButton);
        QTest::qWait(50);
        QCOMPARE(window.pos(), QPoint(160, 120));
    }

    void hintRow() {
        TFaultyHttpServer server;
        server.setAnswers(QStringLiteral("/a.png"), {TFaultyHttpServer::ok(pngPicture(QSize(580, 160)))});
        server.setAnswers(QStringLiteral("/b.png"), {TFaultyHttpServer::ok(pngPicture(QSize(290, 80)))});
        server.setAnswers(QStringLiteral("/c.png"), {TFaultyHttpServer::ok(pngPicture(QSize(100, 100)))});
        TWindowFixture fixture(m_Helper, names(2));
        TLauncherMainWindow& window = *fixture.window;
        window.show();
        const auto hint = [&](const char* category, const char* picture, const QString& url) {
            return shared::THint(
                QJsonObject{{"richText", QStringLiteral("News of %1").arg(category)},
                            {"imageUrl", server.url(QString::fromLatin1(picture)).toString()},
                            {"category", category},
                            {"url", url}});
        };

        // Without "cat3" the tiles are built but the row stays hidden and the spacer stays.
        window.setHints({hint("cat1", "/a.png", "https://example.org/1"),
                         hint("cat2", "/b.png", "https://example.org/2")});
        QVERIFY(window.hintsRow()->isHidden());
        QVERIFY(window.hasHintSpacer());

        window.setHints(
            {hint("cat3", "/c.png", "https://example.org/3"), hint("cat1", "/a.png", "https://example.org/1"),
             hint("cat2", "/b.png", "https://example.org/2"), hint("other", "/a.png", "https://x.org/")});
        QVERIFY(!window.hintsRow()->isHidden());
        QVERIFY(!window.hasHintSpacer());
        // Left, middle, right, in the row's order, each with its picture and caption.
        QWidget* previous = nullptr;
        for (const char* category : {"cat1", "cat2", "cat3"}) {
            QWidget* wrapper = window.hintWrapper(QString::fromLatin1(category));
            QWidget* container = wrapper->parentWidget();
            QVERIFY(container != &window);
            QCOMPARE(container->size(), QSize(286, 84));
            QVERIFY(!container->mask().isEmpty());
            if (previous)
                QVERIFY(window.hintsRow()->layout()->indexOf(previous) <
                        window.hintsRow()->layout()->indexOf(container));
            previous = container;
            const QList<ClickableLabel*> labels = wrapper->findChildren<ClickableLabel*>();
            QCOMPARE(labels.size(), 2);
            QVERIFY(!labels.at(0)->pixmap(Qt::ReturnByValue).isNull());
            QCOMPARE(labels.at(1)->text(), QStringLiteral("News of %1").arg(category));
            QCOMPARE(labels.at(1)->accessibleName(), QStringLiteral("News of %1").arg(category));
        }
    }

    void hintPictureFailures_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("link");
        QTest::addColumn<bool>("opened");
        QTest::newRow("404") << 0 << "https://example.org/news" << true;
        QTest::newRow("stalled") << 1 << "https://example.org/news" << true;
        QTest::newRow("oversized") << 2 << "http://example.org/news" << true;
        QTest::newRow("not a picture") << 3 << "https://example.org/news" << true;
        QTest::newRow("file link") << 4 << "file:///etc/passwd" << false;
        QTest::newRow("script link") << 4 << "javascript:alert(1)" << false;
    }

    // A picture that cannot be had leaves the tile without picture but with its working link;
    // only web links are opened.
    void hintPictureFailures() {
        QFETCH(int, kind);
        QFETCH(QString, link);
        QFETCH(bool, opened);
        TFaultyHttpServer server;
        const std::vector<TFaultyHttpServer::TAnswer> answers[] = {
            {TFaultyHttpServer::status(404)},
            {TFaultyHttpServer::stall()},
            {TFaultyHttpServer::ok(QByteArray(TLauncherMainWindow::HINT_PICTURE_MAX_BYTES + 1024, 'x'))},
            {TFaultyHttpServer::ok("this is no picture")},
            {TFaultyHttpServer::ok(pngPicture(QSize(290, 80)))}};
        server.setAnswers(QStringLiteral("/p.png"), answers[kind]);
        TUrlCatcher catcher;
        TWindowFixture fixture(m_Helper, names(1));
        TLauncherMainWindow& window = *fixture.window;
        window.setHintPictureTimeout(700);
        window.show();
        std::vector<shared::THint> hints;
        for (const char* category : {"cat1", "cat2", "cat3"})
            hints.push_back(
                shared::THint(QJsonObject{{"richText", "Caption"},
                                          {"imageUrl", server.url(QStringLiteral("/p.png")).toString()},
                                          {"category", category},
                                          {"url", link}}));
        window.setHints(hints);
        QVERIFY(!window.hintsRow()->isHidden());
        const QList<ClickableLabel*> labels =
            window.hintWrapper(QStringLiteral("cat2"))->findChildren<ClickableLabel*>();
        QCOMPARE(labels.size(), 2);
        QCOMPARE(labels.at(0)->pixmap(Qt::ReturnByValue).isNull(), kind != 4);
        QCOMPARE(labels.at(1)->text(), QStringLiteral("Caption"));
        emit labels.at(0)->clicked();
        emit labels.at(1)->clicked();
        QCOMPARE(catcher.urls.size(), opened ? 2 : 0);
        if (opened)
            QCOMPARE(catcher.urls.first(), QUrl(link));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
