// The self updater over a temporary launcher bundle: builds of the bundle published with
// orvane-publish and served by nginx on 127.0.0.1. The launcher executable is a shell script that
// prints its version, followed by enough bytes to be cut into several chunks.
#include "launcher/installation/launcherselfupdater.h"
#include "managersupport.h"
#include "nginxfixture.h"
#include "testenvironment.h"

#include <QDirIterator>
#include <QSignalSpy>
#include <QtTest>

#include <set>

using namespace quarn::launcher;
using namespace testsupport;

namespace {

constexpr int MiB = 1024 * 1024;
constexpr int RUN_TIMEOUT_MS = 180000;
const QString EXECUTABLE = QStringLiteral("Contents/MacOS/OrvaneLauncher");

QByteArray launcherExecutable(const QByteArray& version, const QByteArray& padding) {
    return "#!/bin/sh\necho " + version + "\nexit 0\n" + padding;
}

// What the executable prints when it is started.
QString runExecutable(const QString& path) {
    QProcess process;
    process.start(path, QStringList());
    if (!process.waitForFinished(30000))
        return QStringLiteral("did not run");
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

void copyTree(const QString& from, const QString& to) {
    QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString target = to + QLatin1Char('/') + QDir(from).relativeFilePath(path);
        QDir().mkpath(QFileInfo(target).absolutePath());
        QVERIFY(QFile::copy(path, target));
    }
}

std::shared_ptr<TPackage> launcherPackage(const TTestPackage& build) {
    QJsonObject object = packageObject(build);
    auto package = std::make_shared<TPackage>(TPackage::LAUNCHER_PACKAGE_IDENTIFIER, object, build.baseUrl);
    attachConfiguration(package, build);
    return package;
}

} // namespace

class TestSelfUpdater : public QObject {
    Q_OBJECT

private:
    TTestHome m_Home;
    std::shared_ptr<TLauncherFilesystemHelper> m_Helper;
    QByteArray m_Padding;

    // A launcher bundle of version 1 in the folder.
    QString makeBundle(const QString& folder) {
        const QString bundle = folder + QStringLiteral("/Orvane Online.app");
        writeFile(bundle + "/" + EXECUTABLE, launcherExecutable("v1", m_Padding), true);
        writeFile(bundle + "/Contents/Resources/readme.txt", "launcher");
        return bundle;
    }

    struct TSpies {
        explicit TSpies(TLauncherSelfUpdater& updater)
            : restart(&updater, &TLauncherSelfUpdater::updateDownloadFinishedAndRestartRequired),
              failed(&updater, &TLauncherSelfUpdater::updateFailed),
              diskFailure(&updater, &TLauncherSelfUpdater::diskAccessFailed) {}
        // Waits for the end of the update; true when exactly one signal ended it.
        bool waitForEnd() {
            for (int waited = 0; waited < RUN_TIMEOUT_MS && count() == 0; waited += 100)
                QTest::qWait(100);
            QTest::qWait(200); // a second signal would come now
            return count() == 1;
        }
        int count() const { return restart.count() + failed.count() + diskFailure.count(); }

        QSignalSpy restart;
        QSignalSpy failed;
        QSignalSpy diskFailure;
    };

private slots:
    void initTestCase() {
        m_Home.applyToThisProcess();
        m_Helper = std::make_shared<TLauncherFilesystemHelper>();
        m_Padding = randomBytes(7, 24 * MiB);
    }

    void isLauncherToDate_data() {
        QTest::addColumn<QString>("serverVersion");
        QTest::addColumn<bool>("current");
        QTest::newRow("same version") << "0.0.9" << true;
        QTest::newRow("one step above") << "0.0.10" << false;
        QTest::newRow("one step below") << "0.0.8" << false;
        QTest::newRow("no version") << "" << false;
    }

    void isLauncherToDate() {
        QFETCH(QString, serverVersion);
        QFETCH(bool, current);
        const TLauncherSelfUpdater updater(m_Helper);
        const TPackageConfigurationReader configuration(
            QJsonDocument(QJsonObject{{"version", serverVersion}}).toJson(), QByteArray(), QUrl(), QUrl());
        QCOMPARE(updater.isLauncherToDate(&configuration), current);
        QVERIFY(updater.isLauncherToDate(nullptr));
    }

    // A build with one new file: the update installs it into the bundle, keeps the original
    // executable as its backup and asks for the restart; the restarted launcher's cleanup removes
    // the launcher's backups and nothing else.
    void updateAndCleanup() {
        QTemporaryDir work;
        const QString bundle = makeBundle(work.filePath("installed"));
        const QString source = work.filePath("source");
        copyTree(bundle, source);
        writeFile(source + "/Contents/Resources/new.txt", "new in 0.1.0");
        QVERIFY(publish(source, work.filePath("web/launcher"),
                        {"--version", "0.1.0", "--plain", "--threshold", "1M", "--executable", EXECUTABLE}));
        TNginxFixture server(work.filePath("web"));
        QVERIFY2(server.start(), qPrintable(server.errorText()));

        TLauncherSelfUpdater updater(m_Helper);
        updater.setLauncherLocation(QDir(bundle), bundle + "/" + EXECUTABLE);
        TSpies spies(updater);
        updater.startSelfUpdate(launcherPackage(
            publishedPackage("Orvane Online", work.filePath("web/launcher"), server.url("launcher/"))));
        QVERIFY(spies.waitForEnd());
        QCOMPARE(spies.restart.count(), 1);

        QCOMPARE(readWholeFile(bundle + "/Contents/Resources/new.txt"), QByteArray("new in 0.1.0"));
        QCOMPARE(readWholeFile(bundle + "/package.json"),
                 readWholeFile(work.filePath("web/launcher/package.json")));
        QCOMPARE(runExecutable(bundle + "/" + EXECUTABLE), QStringLiteral("v1"));
        QCOMPARE(readWholeFile(bundle + "/" + EXECUTABLE + ".old"), launcherExecutable("v1", m_Padding));

        writeFile(bundle + "/top.old", "backup at the top of the bundle");
        writeFile(bundle + "/Contents/Resources/readme.txt.old", "backup of a file of the launcher");
        writeFile(bundle + "/Contents/Resources/notes.old", "not a file of the launcher");
        updater.cleanupOldLauncherVersion();
        QVERIFY(!QFile::exists(bundle + "/" + EXECUTABLE + ".old"));
        QVERIFY(!QFile::exists(bundle + "/top.old"));
        QVERIFY(!QFile::exists(bundle + "/Contents/Resources/readme.txt.old"));
        QVERIFY(QFile::exists(bundle + "/Contents/Resources/notes.old"));
        QCOMPARE(runExecutable(bundle + "/" + EXECUTABLE), QStringLiteral("v1"));
    }

    // A new executable whose later chunk is missing on the server: the update fails and the
    // launcher's executable is the original one, complete and working, without leftovers.
    void missingChunkKeepsTheExecutable() {
        QTemporaryDir work;
        const QString bundle = makeBundle(work.filePath("installed"));
        const QString source = work.filePath("source");
        copyTree(bundle, source);
        QByteArray changed = launcherExecutable("v2", m_Padding);
        changed.replace(20 * MiB, 4096, randomBytes(8, 4096));
        writeFile(source + "/" + EXECUTABLE, changed, true);
        const QString published = work.filePath("web/launcher");
        QVERIFY(publish(source, published,
                        {"--version", "0.2.0", "--plain", "--threshold", "1M", "--executable", EXECUTABLE}));

        // The unit of the chunk around the change at 20 MiB goes; the one at the start stays.
        const QUrl fileBase = QUrl::fromLocalFile(published + "/");
        const TPackageConfigurationReader build(readWholeFile(published + "/package.json"), QByteArray(),
                                                fileBase, fileBase);
        const auto file = build.findFileByRelativePath(EXECUTABLE);
        QVERIFY(file != build.containedFiles().end());
        const TChunkedFileInPackage chunks(*file, build.containedChunks());
        const std::vector<quint64> offsets = chunks.chunkOffsets();
        bool removed = false;
        for (size_t i = 0; i + 1 < offsets.size(); ++i) {
            if (offsets[i] <= quint64(20 * MiB) && quint64(20 * MiB) < offsets[i + 1]) {
                QVERIFY(i > 0);
                removed = QFile::remove(chunks.chunks()[i].fileUrl().toLocalFile());
            }
        }
        QVERIFY(removed);
        TNginxFixture server(work.filePath("web"));
        QVERIFY2(server.start(), qPrintable(server.errorText()));

        TLauncherSelfUpdater updater(m_Helper);
        updater.setLauncherLocation(QDir(bundle), bundle + "/" + EXECUTABLE);
        TSpies spies(updater);
        updater.startSelfUpdate(
            launcherPackage(publishedPackage("Orvane Online", published, server.url("launcher/"))));
        QVERIFY(spies.waitForEnd());
        QCOMPARE(spies.failed.count(), 1);

        QCOMPARE(readWholeFile(bundle + "/" + EXECUTABLE), launcherExecutable("v1", m_Padding));
        QVERIFY(QFileInfo(bundle + "/" + EXECUTABLE).isExecutable());
        QCOMPARE(runExecutable(bundle + "/" + EXECUTABLE), QStringLiteral("v1"));
        QVERIFY(!QFile::exists(bundle + "/" + EXECUTABLE + ".old"));
        QVERIFY(!QFile::exists(bundle + "/" + EXECUTABLE + ".update-copy"));
        QVERIFY(!QFile::exists(bundle + "/package.json"));
        QVERIFY(QFile::exists(bundle + "/partial-package.json"));
    }

    // Updates that cannot even start end with one signal and leave the executable as it was: a
    // marker file that cannot be written reaches the caller as a disk access failure, a launcher
    // package without a build for this machine as a failed update.
    void updateThatCannotStart_data() {
        QTest::addColumn<bool>("blockMarker");
        QTest::addColumn<bool>("hasBuild");
        QTest::addColumn<bool>("expectDiskFailure");
        QTest::newRow("asset file cannot be written") << true << true << true;
        QTest::newRow("no build for this machine") << false << false << false;
    }

    void updateThatCannotStart() {
        QFETCH(bool, blockMarker);
        QFETCH(bool, hasBuild);
        QFETCH(bool, expectDiskFailure);
        QTemporaryDir work;
        const QString bundle = makeBundle(work.filePath("installed"));
        if (blockMarker)
            writeFile(bundle + "/assets.json/occupied", "a folder where the asset file goes");
        TTestPackage build{"Orvane Online", "Orvane Online", false,
                           QByteArray(),    QByteArray(),    QUrl("http://127.0.0.1:9/")};
        if (hasBuild) {
            build.packageJson = QJsonDocument(QJsonObject{{"version", "0.3.0"}}).toJson();
            build.assetJson = QJsonDocument(QJsonObject{{"version", "3"}}).toJson();
        }

        TLauncherSelfUpdater updater(m_Helper);
        updater.setLauncherLocation(QDir(bundle), bundle + "/" + EXECUTABLE);
        TSpies spies(updater);
        updater.startSelfUpdate(launcherPackage(build));
        QVERIFY(spies.waitForEnd());
        QCOMPARE(spies.diskFailure.count(), expectDiskFailure ? 1 : 0);
        QCOMPARE(spies.failed.count(), expectDiskFailure ? 0 : 1);
        QCOMPARE(readWholeFile(bundle + "/" + EXECUTABLE), launcherExecutable("v1", m_Padding));
        QCOMPARE(runExecutable(bundle + "/" + EXECUTABLE), QStringLiteral("v1"));
        QVERIFY(!QFile::exists(bundle + "/" + EXECUTABLE + ".old"));
        QVERIFY(!QFile::exists(bundle + "/" + EXECUTABLE + ".update-copy"));
    }

    // A launcher started from an ordinary folder removes its own backup only.
    void cleanupInOrdinaryFolder() {
        QTemporaryDir downloads;
        const QString executable = downloads.filePath("OrvaneLauncher");
        writeFile(executable, launcherExecutable("v1", QByteArray()), true);
        writeFile(executable + ".old", "the launcher's backup");
        writeFile(downloads.filePath("other-program.old"), "someone else's");
        TLauncherSelfUpdater updater(m_Helper);
        updater.setLauncherLocation(QDir(downloads.path()), executable);
        updater.cleanupOldLauncherVersion();
        QVERIFY(!QFile::exists(executable + ".old"));
        QVERIFY(QFile::exists(downloads.filePath("other-program.old")));
        QVERIFY(QFile::exists(executable));
    }
};

QTEST_GUILESS_MAIN(TestSelfUpdater)
#include "tst_selfupdater.moc"
