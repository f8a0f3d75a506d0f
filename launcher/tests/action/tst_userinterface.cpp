// The real launcher with its main window (offscreen platform) against a tree that orvane-publish
// wrote and nginx serves on loopback: the window lists the client packages, loads the hint tiles
// from the hints document, reports the start to the funnel, shows the connection-problem box when
// there is no client package for this machine, and closing it after a client start ends the
// launcher. The client is a shell script that records its working directory and arguments.
//
// The test functions run in order and share one bundle.
#include "actionsupport.h"
#include "nginxfixture.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

const char* const HINT_CATEGORIES[] = {"cat1", "cat2", "cat3"};

} // namespace

class TestUserInterface : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_Work;
    QString m_WebFolder;
    QString m_RecordPath;
    std::unique_ptr<TNginxFixture> m_Nginx;
    std::unique_ptr<TLauncherBundle> m_Bundle;
    TFakeClientBuild m_Client;

    QString publishTool() const { return qEnvironmentVariable("ORVANE_PUBLISH"); }

    bool useCatalogue(const QString& name) const {
        TLauncherSettingsValues settings;
        settings.configurationUrl = m_Nginx->url(name);
        settings.waitNotificationTimeoutMs = 60000;
        return m_Bundle->writeSettings(settings);
    }

    QByteArray pictureUrl(const char* category) const {
        return m_Nginx->url(QStringLiteral("pictures/%1.png").arg(QLatin1String(category)))
            .toString()
            .toUtf8();
    }

private slots:
    void initTestCase() {
        QVERIFY(m_Work.isValid());
        m_WebFolder = m_Work.path() + QStringLiteral("/web");
        m_RecordPath = m_Work.path() + QStringLiteral("/client-starts.txt");
        // Passed on through the launcher's environment to the client.
        qputenv("ORVANE_TEST_CLIENT_RECORD", QFile::encodeName(m_RecordPath));
        m_Client = {publishTool(), m_Work.path() + QStringLiteral("/source"), m_WebFolder};
        const QByteArray failure =
            m_Client.publish(QStringLiteral("1.0.0"), QByteArray(200000, 'w'), "readme\n");
        QVERIFY2(failure.isEmpty(), failure.constData());
        m_Nginx = std::make_unique<TNginxFixture>(m_WebFolder);
        QVERIFY2(m_Nginx->start(), qPrintable(m_Nginx->errorText()));

        // One hint per tile; their pictures are not served, so each tile keeps caption and link and
        // the log names every picture asked for.
        QByteArray hints = "[";
        for (const char* category : HINT_CATEGORIES) {
            if (hints.size() > 1)
                hints += ',';
            hints += QByteArray("{\"title\":\"t\",\"richText\":\"News of ") + category +
                     "\",\"category\":\"" + category + "\",\"url\":\"https://example.org/" + category +
                     "\",\"imageUrl\":\"" + pictureUrl(category) + "\"}";
        }
        hints += "]";
        QVERIFY(TLauncherBundle::writeFile(m_WebFolder + QStringLiteral("/hints.json"), hints));
        const TPublishResult withHints = runPublishTool(
            publishTool(),
            {QStringLiteral("catalogue"), m_WebFolder + QStringLiteral("/vammetadata.json"),
             QStringLiteral("--hints"), m_Nginx->url(QStringLiteral("hints.json")).toString()});
        QVERIFY2(withHints.ok, withHints.output.constData());

        // A catalogue whose only client has no build for this machine.
        const TPublishResult elsewhere = runPublishTool(
            publishTool(),
            {QStringLiteral("catalogue"), m_WebFolder + QStringLiteral("/elsewhere.json"),
             QStringLiteral("--name"), TFakeClientBuild::NAME, QStringLiteral("--os"),
             QStringLiteral("windows"), QStringLiteral("--arch"), TLauncherBundle::localArchitectureName(),
             QStringLiteral("--package"), m_Client.served(QStringLiteral("package.json"))});
        QVERIFY2(elsewhere.ok, elsewhere.output.constData());

        m_Bundle = std::make_unique<TLauncherBundle>(QStringLiteral(ORVANE_LAUNCHER_EXECUTABLE));
        QVERIFY(m_Bundle->isReady());
    }

    // The window waits for the player: it lists the client, builds the three hint tiles from the
    // hints document and reports the start; nothing is installed or started by itself.
    void showUiShowsTheWindow() {
        QVERIFY(useCatalogue(QStringLiteral("vammetadata.json")));
        const TLauncherRun run = m_Bundle->runUntilLogShows(
            {QStringLiteral("--show-ui")}, "Hint picture not fetched: \"" + pictureUrl("cat3"), 1000);
        QVERIFY2(run.stoppedByTest, run.log.right(3000).constData());
        QVERIFY2(run.log.contains("showUserInterface: main window shown"), run.log.constData());
        QVERIFY2(run.log.contains("Package list entry: \"Orvane Online\" status 1"), run.log.constData());
        for (const char* category : HINT_CATEGORIES)
            QVERIFY2(run.log.contains("Hint picture not fetched: \"" + pictureUrl(category)),
                     run.log.constData());
        QVERIFY2(run.log.contains("sendFunnelEvent:  \"launcher_started\""), run.log.constData());
        QVERIFY2(!run.log.contains("installOrUpdatePackage"), run.log.constData());
        QVERIFY2(!run.log.contains("startPackageAndExit"), run.log.constData());
        QVERIFY(!QFileInfo::exists(m_RecordPath));
    }

    // No client for this machine: an empty window with the connection-problem box; once the box is
    // answered the window stays and the launcher keeps running.
    void noClientShowsTheConnectionProblem() {
        QVERIFY(useCatalogue(QStringLiteral("elsewhere.json")));
        const TLauncherRun run = m_Bundle->runUntilLogShows({}, "Message box answered", 1500);
        QVERIFY2(run.stoppedByTest, run.log.right(3000).constData());
        QVERIFY2(run.log.contains("creating the main window with 0 packages"), run.log.constData());
        QVERIFY2(run.log.contains("Message box shown. Title: \"Connection problem\""), run.log.constData());
        QVERIFY2(!run.log.contains("window closed"), run.log.constData());
    }

    // The first launch shows the window, installs the client and starts it; closing the window,
    // the last one, then ends the launcher with exit code 0.
    void clientStartClosesTheWindowAndEndsTheLauncher() {
        QVERIFY(useCatalogue(QStringLiteral("vammetadata.json")));
        const TLauncherRun run = m_Bundle->run({QStringLiteral("--first-launch")});
        QVERIFY2(run.exitCode == 0, run.log.constData());
        QVERIFY2(run.log.contains("showUserInterface: main window shown"), run.log.constData());
        QVERIFY2(run.log.contains("Client started:"), run.log.constData());
        QVERIFY2(run.log.contains("Main window closed: the launcher ends"), run.log.right(3000).constData());
        QCOMPARE(waitForClientStarts(m_RecordPath, 1).size(), 1);
    }
};

QTEST_MAIN(TestUserInterface)
#include "tst_userinterface.moc"
