// The real launcher in a private bundle against a tree that orvane-publish wrote and nginx serves
// on loopback: it installs the client marked for automatic installation on its first launch,
// starts the installed default client at once, patches a client named on the command line or
// marked with a forced-patch file, and starts the client with its parameters in its own folder.
// The client is a shell script that records its working directory and arguments.
//
// The test functions run in order and share one installation, as a player's starts would.
#include "actionsupport.h"
#include "nginxfixture.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString UP_TO_DATE = QStringLiteral("--package-is-up-to-date");

} // namespace

class TestActionPhase : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_Work;
    QString m_WebFolder;
    QString m_RecordPath;
    std::unique_ptr<TNginxFixture> m_Nginx;
    std::unique_ptr<TLauncherBundle> m_Bundle;

    TFakeClientBuild m_Client;

    QString packageFolder() const {
        return m_Bundle->packagesFolder() + QLatin1Char('/') + TFakeClientBuild::DIRECTORY + ".app";
    }
    QString installedExecutable() const {
        return packageFolder() + QLatin1Char('/') + TFakeClientBuild::EXECUTABLE;
    }
    QString installed(const char* name) const {
        return packageFolder() + QLatin1Char('/') + QLatin1String(name);
    }
    QString served(const char* name) const { return m_Client.served(QLatin1String(name)); }

    static QByteArray worldData(char fill) { return QByteArray(300000, fill) + QByteArray("end of world\n"); }

    QList<QStringList> clientStarts() const { return recordedClientStarts(m_RecordPath); }

    void verifyMarkersRecordServedBuild() {
        QCOMPARE(TLauncherBundle::readFile(installed("package.json")),
                 TLauncherBundle::readFile(served("package.json")));
        QCOMPARE(TLauncherBundle::readFile(installed("assets.json")),
                 TLauncherBundle::readFile(served("assets.json")));
        QVERIFY(!QFileInfo::exists(installed("partial-package.json")));
    }

    // The client's last start: in its own folder, with its parameters (and the flag when given).
    void verifyLastStart(int expectedStarts, bool upToDate) {
        const QList<QStringList> starts = waitForClientStarts(m_RecordPath, expectedStarts);
        QCOMPARE(starts.size(), expectedStarts);
        QStringList expected =
            QStringList{QFileInfo(installedExecutable()).absolutePath()} + TFakeClientBuild::PARAMETERS;
        if (upToDate)
            expected << UP_TO_DATE;
        QCOMPARE(starts.last(), expected);
    }

private slots:
    void initTestCase() {
        QVERIFY(m_Work.isValid());
        m_WebFolder = m_Work.path() + QStringLiteral("/web");
        m_RecordPath = m_Work.path() + QStringLiteral("/client-starts.txt");
        // Passed on through the launcher's environment to the client.
        qputenv("ORVANE_TEST_CLIENT_RECORD", QFile::encodeName(m_RecordPath));
        m_Client = {qEnvironmentVariable("ORVANE_PUBLISH"), m_Work.path() + QStringLiteral("/source"),
                    m_WebFolder};
        const QByteArray failure = m_Client.publish(QStringLiteral("1.0.0"), worldData('a'), "first\n");
        QVERIFY2(failure.isEmpty(), failure.constData());
        m_Nginx = std::make_unique<TNginxFixture>(m_WebFolder);
        QVERIFY2(m_Nginx->start(), qPrintable(m_Nginx->errorText()));
        m_Bundle = std::make_unique<TLauncherBundle>(QStringLiteral(ORVANE_LAUNCHER_EXECUTABLE));
        QVERIFY(m_Bundle->isReady());
        TLauncherSettingsValues settings;
        settings.configurationUrl = m_Nginx->url(QStringLiteral("vammetadata.json"));
        settings.waitNotificationTimeoutMs = 60000;
        QVERIFY(m_Bundle->writeSettings(settings));
    }

    void firstLaunchInstallsAndStartsTheAutomaticClient() {
        const TLauncherRun run = m_Bundle->run({QStringLiteral("--first-launch")});
        QVERIFY2(run.exitCode == 0, run.log.constData());
        verifyMarkersRecordServedBuild();
        QVERIFY(QFileInfo(installed("default")).isFile());
        QCOMPARE(TLauncherBundle::readFile(installed("data/world.pak")), worldData('a'));
        QVERIFY2(run.log.contains("showUserInterface"), run.log.constData());
        // The installation manager's funnel events reach the sender.
        QVERIFY2(run.log.contains("sendFunnelEvent:  \"launcher_downloaded\""), run.log.constData());
        QVERIFY2(run.log.contains("sendFunnelEvent:  \"launcher_verified\""), run.log.constData());
        // Installed during this run: the client is told that it is current.
        verifyLastStart(1, true);
    }

    void plainStartStartsTheDefaultClientAtOnce() {
        const QDateTime markerTime = QFileInfo(installed("package.json")).lastModified();
        const TLauncherRun run = m_Bundle->run();
        QVERIFY2(run.exitCode == 0, run.log.constData());
        QVERIFY2(!run.log.contains("installOrUpdatePackage"), run.log.constData());
        QVERIFY2(!run.log.contains("showUserInterface"), run.log.constData());
        QCOMPARE(QFileInfo(installed("package.json")).lastModified(), markerTime);
        verifyLastStart(2, false);
    }

    void patchUpdatesAndTellsTheClient() {
        const QByteArray failure = m_Client.publish(QStringLiteral("2.0.0"), worldData('b'), "first\n");
        QVERIFY2(failure.isEmpty(), failure.constData());
        const TLauncherRun run = m_Bundle->run({QStringLiteral("--patch"), installedExecutable()});
        QVERIFY2(run.exitCode == 0, run.log.constData());
        verifyMarkersRecordServedBuild();
        QCOMPARE(TLauncherBundle::readFile(installed("data/world.pak")), worldData('b'));
        verifyLastStart(3, true);
    }

    void failedPatchStartsTheClientWithoutTheFlag() {
        const QByteArray readme = "third\n";
        const QByteArray failure = m_Client.publish(QStringLiteral("3.0.0"), worldData('b'), readme);
        QVERIFY2(failure.isEmpty(), failure.constData());
        QVERIFY(QFile::remove(publishedUnitPath(m_Client.buildFolder(), readme)));
        const QByteArray recordedBefore = TLauncherBundle::readFile(installed("package.json"));

        const TLauncherRun run = m_Bundle->run({QStringLiteral("--patch"), installedExecutable()});
        QVERIFY2(run.exitCode == 0, run.log.constData());
        QVERIFY(!QFileInfo::exists(installed("package.json")));
        QVERIFY2(!run.log.contains("sendFunnelEvent:  \"launcher_downloaded\""), run.log.constData());
        QVERIFY2(!run.log.contains("sendFunnelEvent:  \"launcher_verified\""), run.log.constData());
        // The partial marker still records the build that is really on disk.
        QCOMPARE(TLauncherBundle::readFile(installed("partial-package.json")), recordedBefore);
        verifyLastStart(4, false);
    }

    void forcedPatchMarkerUpdatesWithoutStarting() {
        // Publishing again writes the missing unit back.
        const QByteArray failure = m_Client.publish(QStringLiteral("3.0.0"), worldData('b'), "third\n");
        QVERIFY2(failure.isEmpty(), failure.constData());
        QVERIFY(TLauncherBundle::writeFile(installed("FORCE_PATCH"), QByteArray()));

        const TLauncherRun run = m_Bundle->runUntilLogShows({}, "onInstalledPackagesReady", 1000);
        QVERIFY2(run.stoppedByTest, run.log.constData());
        QVERIFY(!QFileInfo::exists(installed("FORCE_PATCH")));
        verifyMarkersRecordServedBuild();
        QCOMPARE(TLauncherBundle::readFile(installed("readme.txt")), QByteArray("third\n"));
        QVERIFY2(!run.log.contains("startPackageAndExit"), run.log.constData());
        QCOMPARE(clientStarts().size(), 4);
    }

    void forcedPatchFolderIsLeftAlone() {
        QVERIFY(TLauncherBundle::writeFile(installed("FORCE_PATCH/keep.txt"), "keep"));
        const TLauncherRun run = m_Bundle->run();
        QVERIFY2(run.exitCode == 0, run.log.constData());
        QCOMPARE(TLauncherBundle::readFile(installed("FORCE_PATCH/keep.txt")), QByteArray("keep"));
        QVERIFY2(!run.log.contains("installOrUpdatePackage"), run.log.constData());
        verifyLastStart(5, false);
        QVERIFY(QDir(installed("FORCE_PATCH")).removeRecursively());
    }

    // With an installed default client, the launcher still stays at the package list (it ends
    // when the player closes it) and starts nothing by itself.
    void packageListWithoutStart_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("awaitedLine");
        QTest::newRow("show-ui") << QStringList{QStringLiteral("--show-ui")}
                                 << QByteArray("showUserInterface");
        QTest::newRow("patch of an unknown executable")
            << QStringList{QStringLiteral("--patch"), m_Work.path() + QStringLiteral("/elsewhere/client")}
            << QByteArray("Message box shown. Title: \"Client patching failed\"");
    }

    void packageListWithoutStart() {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, awaitedLine);
        const TLauncherRun run = m_Bundle->runUntilLogShows(arguments, awaitedLine, 1000);
        QVERIFY2(run.stoppedByTest, run.log.right(2000).constData());
        QVERIFY2(!run.log.contains("installOrUpdatePackage"), run.log.constData());
        QVERIFY2(!run.log.contains("startPackageAndExit"), run.log.constData());
        QCOMPARE(clientStarts().size(), 5);
    }

    void clientThatCannotStartEndsWithOne() {
        const QFile::Permissions permissions = QFile::permissions(installedExecutable());
        QVERIFY(
            QFile::setPermissions(installedExecutable(), QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        const TLauncherRun run = m_Bundle->run();
        QFile::setPermissions(installedExecutable(), permissions);
        QVERIFY2(run.exitCode == 1, run.log.constData());
        QVERIFY2(run.log.contains("The client could not be started:"), run.log.constData());
        QVERIFY2(run.log.contains(installedExecutable().toUtf8()), run.log.constData());
        QVERIFY2(run.log.contains("not executable"), run.log.constData());
    }

    // The configuration's preventdefaultautostart keeps the first launch from starting the client
    // after installing, but not a plain start from starting the installed default client.
    void preventedAutostartOnlyAfterInstalling() {
        const TPublishResult prevented =
            runPublishTool(qEnvironmentVariable("ORVANE_PUBLISH"),
                           {QStringLiteral("catalogue"), m_WebFolder + QStringLiteral("/vammetadata.json"),
                            QStringLiteral("--prevent-default-autostart"), QStringLiteral("yes")});
        QVERIFY2(prevented.ok, prevented.output.constData());
        const int startsBefore = clientStarts().size();

        const TLauncherRun firstLaunch =
            m_Bundle->runUntilLogShows({QStringLiteral("--first-launch")}, "onInstalledPackagesReady", 1000);
        QVERIFY2(firstLaunch.stoppedByTest, firstLaunch.log.constData());
        QVERIFY2(!firstLaunch.log.contains("startPackageAndExit"), firstLaunch.log.constData());
        QCOMPARE(clientStarts().size(), startsBefore);

        const TLauncherRun plain = m_Bundle->run();
        QVERIFY2(plain.exitCode == 0, plain.log.constData());
        verifyLastStart(startsBefore + 1, false);
    }
};

QTEST_GUILESS_MAIN(TestActionPhase)
#include "tst_actionphase.moc"
