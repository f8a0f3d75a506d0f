// The real launcher updates its own bundle from a launcher build that orvane-publish wrote (a copy
// of the bundle plus one new file, with another version) and nginx serves on loopback: a complete
// update restarts the launcher with --skip-selfupdate, the restarted copy cleans up the backups and
// goes on to start the client; a failed update leaves the running executable in place and the
// same process starts the client.
//
// The test functions run in order and share one installation.
#include "actionsupport.h"
#include "nginxfixture.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QString LAUNCHER_NAME = QStringLiteral("Orvane Launcher");
const QString LAUNCHER_EXECUTABLE = QStringLiteral("Contents/MacOS/OrvaneLauncher");
const QString ADDED_FILE = QStringLiteral("Contents/Resources/added.txt");
const QByteArray ADDED_CONTENT = "a file that only the new launcher build has\n";
const QString FILE_ERROR_TEXT = QStringLiteral("A critical error occurred while accessing a file:");

quint64 inodeOf(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? quint64(info.st_ino) : 0;
}

} // namespace

class TestSelfUpdate : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_Work;
    QString m_WebFolder;
    QString m_RecordPath;
    std::unique_ptr<TNginxFixture> m_Nginx;
    std::unique_ptr<TLauncherBundle> m_Bundle;
    TFakeClientBuild m_Client;
    QByteArray m_OriginalExecutable;

    QString launcherBuildFolder() const { return m_WebFolder + QStringLiteral("/launcher/build"); }
    QString inBundle(const QString& relative) const {
        return m_Bundle->bundleFolder() + QLatin1Char('/') + relative;
    }

    // Publishes a launcher build: the bundle as it is now (its Contents folder) plus ADDED_FILE.
    QByteArray publishLauncher(const QString& version, const QByteArray& added = ADDED_CONTENT) {
        const QString source = m_Work.path() + QStringLiteral("/launcher-source");
        QDir(source).removeRecursively();
        const QString contents = m_Bundle->bundleFolder() + QStringLiteral("/Contents");
        QDirIterator files(contents, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            const QString target =
                source + QStringLiteral("/Contents/") + QDir(contents).relativeFilePath(path);
            QDir().mkpath(QFileInfo(target).absolutePath());
            if (!QFile::copy(path, target) || !QFile::setPermissions(target, QFile::permissions(path)))
                return "cannot copy " + path.toUtf8();
        }
        if (!TLauncherBundle::writeFile(source + QLatin1Char('/') + ADDED_FILE, added))
            return "cannot write the added file";
        const QString tool = qEnvironmentVariable("ORVANE_PUBLISH");
        TPublishResult result =
            runPublishTool(tool, {QStringLiteral("package"), source, launcherBuildFolder(),
                                  QStringLiteral("--version"), version, QStringLiteral("--executable"),
                                  LAUNCHER_EXECUTABLE, QStringLiteral("--codec"), QStringLiteral("0")});
        if (!result.ok)
            return "package: " + result.output;
        result = runPublishTool(
            tool, {QStringLiteral("catalogue"), m_WebFolder + QStringLiteral("/vammetadata.json"),
                   QStringLiteral("--launcher"), QStringLiteral("--name"), LAUNCHER_NAME,
                   QStringLiteral("--os"), TLauncherBundle::localOperatingSystemName(),
                   QStringLiteral("--arch"), TLauncherBundle::localArchitectureName(),
                   QStringLiteral("--package"), launcherBuildFolder() + QStringLiteral("/package.json")});
        return result.ok ? QByteArray() : "catalogue: " + result.output;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_Work.isValid());
        m_WebFolder = m_Work.path() + QStringLiteral("/web");
        m_RecordPath = m_Work.path() + QStringLiteral("/client-starts.txt");
        qputenv("ORVANE_TEST_CLIENT_RECORD", QFile::encodeName(m_RecordPath));
        m_Client = {qEnvironmentVariable("ORVANE_PUBLISH"), m_Work.path() + QStringLiteral("/client-source"),
                    m_WebFolder};
        const QByteArray failure =
            m_Client.publish(QStringLiteral("1.0.0"), QByteArray(50000, 'c'), "client\n");
        QVERIFY2(failure.isEmpty(), failure.constData());
        m_Nginx = std::make_unique<TNginxFixture>(m_WebFolder);
        QVERIFY2(m_Nginx->start(), qPrintable(m_Nginx->errorText()));

        m_Bundle = std::make_unique<TLauncherBundle>(QStringLiteral(ORVANE_LAUNCHER_EXECUTABLE));
        QVERIFY(m_Bundle->isReady());
        TLauncherSettingsValues settings;
        settings.configurationUrl = m_Nginx->url(QStringLiteral("vammetadata.json"));
        // Short, so that the start-up splash is up when the update replaces it by its own.
        settings.waitNotificationTimeoutMs = 1;
        QVERIFY(m_Bundle->writeSettings(settings));
        m_OriginalExecutable = TLauncherBundle::readFile(m_Bundle->executable());

        // The client is installed and is the default: every later start ends by starting it.
        const TLauncherRun run = m_Bundle->run({QStringLiteral("--first-launch")});
        QVERIFY2(run.exitCode == 0, run.log.constData());
        QCOMPARE(waitForClientStarts(m_RecordPath, 1).size(), 1);
    }

    void diskErrorDuringUpdateEndsWithTheFileMessage() {
        QVERIFY2(publishLauncher(QStringLiteral("0.1.0"), "first attempt\n").isEmpty(), "publish");
        // A folder where the partial marker must be written: recording the build fails.
        const QString blocker = inBundle(QStringLiteral("partial-package.json"));
        QVERIFY(TLauncherBundle::writeFile(blocker + QStringLiteral("/blocker"), "x"));
        const quint64 inode = inodeOf(m_Bundle->executable());

        const TLauncherRun run = m_Bundle->run();
        QVERIFY(QDir(blocker).removeRecursively());
        QVERIFY2(run.exitCode == 1, run.log.constData());
        QVERIFY2(run.log.contains(FILE_ERROR_TEXT.toUtf8()), run.log.constData());
        QVERIFY2(!run.log.contains("startPackageAndExit"), run.log.constData());
        QCOMPARE(inodeOf(m_Bundle->executable()), inode);
        QCOMPARE(TLauncherBundle::readFile(m_Bundle->executable()), m_OriginalExecutable);
        QVERIFY(!QFileInfo::exists(m_Bundle->executable() + QStringLiteral(".old")));
        QCOMPARE(recordedClientStarts(m_RecordPath).size(), 1);
    }

    void failedUpdateKeepsTheRunningExecutable() {
        QVERIFY2(publishLauncher(QStringLiteral("0.1.0")).isEmpty(), "publish");
        QVERIFY(QFile::remove(publishedUnitPath(launcherBuildFolder(), ADDED_CONTENT)));
        const quint64 inode = inodeOf(m_Bundle->executable());

        const TLauncherRun run = m_Bundle->run();
        QVERIFY2(run.exitCode == 0, run.log.constData());
        QVERIFY2(run.log.contains("startSelfUpdate"), run.log.constData());
        QVERIFY2(run.log.contains("Updating Orvane Online failed"), run.log.constData());
        QVERIFY2(!run.log.contains("Restarting"), run.log.constData());
        // The very file that ran is back in place, unchanged, and no backup is left beside it.
        QCOMPARE(inodeOf(m_Bundle->executable()), inode);
        QCOMPARE(TLauncherBundle::readFile(m_Bundle->executable()), m_OriginalExecutable);
        QVERIFY(QFileInfo(m_Bundle->executable()).isExecutable());
        QVERIFY(!QFileInfo::exists(m_Bundle->executable() + QStringLiteral(".old")));
        QVERIFY(!QFileInfo::exists(inBundle(QStringLiteral("package.json"))));
        QCOMPARE(waitForClientStarts(m_RecordPath, 2).size(), 2);
    }

    void updateRestartsWithSkipAndCleansUp() {
        QVERIFY2(publishLauncher(QStringLiteral("0.1.0")).isEmpty(), "publish");
        // Backups of an earlier update: at the top of the bundle (removed) and deeper (kept).
        QVERIFY(TLauncherBundle::writeFile(inBundle(QStringLiteral("leftover.old")), "old"));
        QVERIFY(TLauncherBundle::writeFile(inBundle(QStringLiteral("Contents/keep.old")), "old"));

        const TLauncherRun first = m_Bundle->run();
        QVERIFY2(first.exitCode == 0, first.output.constData());
        QVERIFY2(waitUntilNoProcessRuns(m_Bundle->executable()), "the restarted launcher did not end");

        const QByteArray log = TLauncherBundle::readFile(m_Bundle->logPath());
        QVERIFY2(log.contains("\"--skip-selfupdate\""), log.constData());
        QVERIFY2(log.contains("Self update skipped"), log.constData());
        QVERIFY2(log.contains("cleanupOldLauncherVersion"), log.constData());
        QVERIFY2(log.contains("Client started:"), log.constData());
        QCOMPARE(waitForClientStarts(m_RecordPath, 3).size(), 3);

        QCOMPARE(TLauncherBundle::readFile(inBundle(ADDED_FILE)), ADDED_CONTENT);
        QCOMPARE(TLauncherBundle::readFile(inBundle(QStringLiteral("package.json"))),
                 TLauncherBundle::readFile(launcherBuildFolder() + QStringLiteral("/package.json")));
        QCOMPARE(TLauncherBundle::readFile(m_Bundle->executable()), m_OriginalExecutable);
        QVERIFY(!QFileInfo::exists(m_Bundle->executable() + QStringLiteral(".old")));
        QVERIFY(!QFileInfo::exists(inBundle(QStringLiteral("leftover.old"))));
        QVERIFY(QFileInfo::exists(inBundle(QStringLiteral("Contents/keep.old"))));
    }

    void launcherInOrdinaryFolderKeepsOtherBackups() {
        // A launcher started from a downloads folder shares it with other programs.
        const QString folder = m_Bundle->home().path("home") + QStringLiteral("/Downloads");
        const QString executable = folder + QStringLiteral("/OrvaneLauncher");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::copy(m_Bundle->executable(), executable));
        QVERIFY(QFile::setPermissions(executable, QFile::permissions(m_Bundle->executable())));
        QVERIFY(QFile::copy(m_Bundle->macOsFolder() + QStringLiteral("/launchersettings.ini"),
                            folder + QStringLiteral("/launchersettings.ini")));
        QVERIFY(TLauncherBundle::writeFile(folder + QStringLiteral("/other-program.old"), "theirs"));

        QProcess process;
        process.setProcessEnvironment(m_Bundle->environment());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(executable, {QStringLiteral("--skip-selfupdate")});
        QVERIFY(process.waitForFinished(90000));
        const QByteArray log = TLauncherBundle::readFile(m_Bundle->logPath());
        QVERIFY2(process.exitCode() == 0, log.constData());
        QVERIFY2(log.contains("cleanupOldLauncherVersion"), log.constData());
        QCOMPARE(TLauncherBundle::readFile(folder + QStringLiteral("/other-program.old")),
                 QByteArray("theirs"));
        QCOMPARE(waitForClientStarts(m_RecordPath, 4).size(), 4);
    }
};

QTEST_GUILESS_MAIN(TestSelfUpdate)
#include "tst_selfupdate.moc"
