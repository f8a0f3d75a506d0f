// The installation manager: statuses and the default from the marker files, the marker writers,
// and installations, updates and verifications of builds published with orvane-publish and served
// by nginx on 127.0.0.1.
#include "launcher/installation/installationmanager.h"
#include "launcher/installation/packagemarkers.h"
#include "managersupport.h"
#include "nginxfixture.h"
#include "testenvironment.h"

#include <QDirIterator>
#include <QSignalSpy>
#include <QtTest>

using namespace quarn::launcher;
using namespace testsupport;

namespace {

constexpr int MiB = 1024 * 1024;
constexpr int RUN_TIMEOUT_MS = 180000;

QByteArray packageDocument(const QString& version) {
    return QJsonDocument(QJsonObject{{"version", version}, {"files", QJsonArray()}}).toJson();
}

QByteArray assetDocument(const QString& version) {
    return QJsonDocument(QJsonObject{{"version", version}, {"files", QJsonArray()}}).toJson();
}

// Relative path -> content of every regular file below a folder, without the marker files.
std::map<QString, QByteArray> installedFiles(const QString& root) {
    std::map<QString, QByteArray> contents;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (!QStringList{"package.json", "partial-package.json", "assets.json", "default"}.contains(relative))
            contents[relative] = readWholeFile(path);
    }
    return contents;
}

// What one manager reported, recorded from its signals.
struct TManagerEvents {
    explicit TManagerEvents(TInstallationManager& manager)
        : allFinished(&manager, &TInstallationManager::allStartedUpdatesFinished),
          diskFailures(&manager, &TInstallationManager::diskAccessFailed),
          funnel(&manager, &TInstallationManager::funnelEventRequested) {
        QObject::connect(&manager, &TInstallationManager::installationOrUpdateStarted,
                         [this](const TPackageInstallation&) { ++started; });
        QObject::connect(&manager, &TInstallationManager::installationOrUpdateFinished,
                         [this](const TPackageInstallation& run) {
                             finishedWithoutError.append(run.isInstalledWithoutError());
                         });
    }
    QStringList funnelSteps() const {
        QStringList steps;
        for (const QList<QVariant>& event : funnel)
            steps.append(event.at(0).toString());
        return steps;
    }

    QSignalSpy allFinished;
    QSignalSpy diskFailures;
    QSignalSpy funnel;
    int started = 0;
    QList<bool> finishedWithoutError;
};

} // namespace

class TestInstallationManager : public QObject {
    Q_OBJECT

private:
    TTestHome m_Home;
    std::shared_ptr<TLauncherFilesystemHelper> m_Helper;
    QTemporaryDir m_Work;
    std::unique_ptr<TNginxFixture> m_Server;
    QString m_Source;
    // v1, v2 (changed and a new file) and v3 (changed again, one new unit missing on the server).
    TTestPackage m_Build[3];
    std::map<QString, QByteArray> m_Tree[3];

    QString published(int build) const { return m_Work.filePath(QStringLiteral("web/v%1").arg(build + 1)); }

    TTestPackage build(int index, const QString& directory) const {
        TTestPackage package = m_Build[index];
        package.name = directory;
        package.directory = directory;
        return package;
    }

    // Waits for the end of every run, then lets the event loop release the finished runs.
    static bool waitForRuns(TManagerEvents& events) {
        const bool ended = events.allFinished.wait(RUN_TIMEOUT_MS) || !events.allFinished.isEmpty();
        QCoreApplication::processEvents();
        return ended;
    }

    QString packageFolder(const QString& directory) const {
        return m_Helper->getFullPath(m_Helper->getOrCreatePackagesDirectory(),
                                     directory + QStringLiteral(".app"));
    }

private slots:
    void initTestCase() {
        m_Home.applyToThisProcess();
        m_Helper = std::make_shared<TLauncherFilesystemHelper>();
        QVERIFY(m_Work.isValid());
        m_Source = m_Work.filePath("source");
        writeFile(m_Source + "/client.sh", "#!/bin/sh\necho client\n", true);
        writeFile(m_Source + "/data/world.bin", randomBytes(1, 20 * MiB));
        writeFile(m_Source + "/readme.txt", "one");
        const QStringList common{"--plain",     "--threshold", "1M",       "--executable", "client.sh",
                                 "--parameter", "-windowed",   "--assets", "data/*"};
        QVERIFY(publish(m_Source, published(0), QStringList{"--version", "1.0.0"} + common));
        m_Tree[0] = installedFiles(m_Source);
        QByteArray world = readWholeFile(m_Source + "/data/world.bin");
        world.replace(10 * MiB, 4096, randomBytes(2, 4096));
        writeFile(m_Source + "/data/world.bin", world);
        writeFile(m_Source + "/data/new.txt", "new file");
        QVERIFY(publish(m_Source, published(1), QStringList{"--version", "2.0.0"} + common));
        m_Tree[1] = installedFiles(m_Source);
        world.replace(2 * MiB, 4096, randomBytes(3, 4096));
        writeFile(m_Source + "/data/world.bin", world);
        writeFile(m_Source + "/readme.txt", "three");
        QVERIFY(publish(m_Source, published(2), QStringList{"--version", "3.0.0"} + common));
        m_Tree[2] = installedFiles(m_Source);

        m_Server = std::make_unique<TNginxFixture>(m_Work.filePath("web"));
        QVERIFY2(m_Server->start(), qPrintable(m_Server->errorText()));
        for (int i = 0; i < 3; ++i)
            m_Build[i] =
                publishedPackage(QString(), published(i), m_Server->url(QStringLiteral("v%1/").arg(i + 1)));

        // v3 loses the unit of its changed chunk of world.bin: that update cannot complete.
        const QUrl fileBase = QUrl::fromLocalFile(published(2) + "/");
        const TPackageConfigurationReader v2(m_Build[1].packageJson, m_Build[1].assetJson, fileBase,
                                             fileBase);
        const TPackageConfigurationReader v3(m_Build[2].packageJson, m_Build[2].assetJson, fileBase,
                                             fileBase);
        std::set<QByteArray> known;
        for (const TChunkInPackage& chunk : v2.containedChunks())
            known.insert(chunk.unpackedFileMetadata().fileHash());
        int removed = 0;
        for (const TChunkInPackage& chunk : v3.containedChunks()) {
            if (!known.count(chunk.unpackedFileMetadata().fileHash()) &&
                QFile::remove(chunk.fileUrl().toLocalFile()))
                ++removed;
        }
        QCOMPARE(removed, 1);
    }

    void statusFromMarkers_data() {
        QTest::addColumn<QByteArray>("fullMarker");
        QTest::addColumn<QByteArray>("partialMarker");
        QTest::addColumn<QByteArray>("assetFile");
        QTest::addColumn<QString>("serverAssetVersion");
        QTest::addColumn<bool>("hasBuild");
        QTest::addColumn<int>("expected");
        const QByteArray current = packageDocument("5"), older = packageDocument("4");
        const QByteArray assets = assetDocument("7");
        QTest::newRow("no markers") << QByteArray() << QByteArray() << QByteArray() << "7" << true
                                    << int(PACKAGE_STATUS_NOT_INSTALLED);
        QTest::newRow("partial marker")
            << QByteArray() << current << assets << "7" << true << int(PACKAGE_STATUS_PARTIALLY_INSTALLED);
        QTest::newRow("full marker, same build")
            << current << QByteArray() << assets << "7" << true << int(PACKAGE_STATUS_INSTALLED);
        QTest::newRow("full marker, older package")
            << older << QByteArray() << assets << "7" << true << int(PACKAGE_STATUS_UPDATE_REQUIRED);
        QTest::newRow("full marker, other asset file") << current << QByteArray() << assetDocument("6") << "7"
                                                       << true << int(PACKAGE_STATUS_UPDATE_REQUIRED);
        QTest::newRow("full marker, no asset file")
            << current << QByteArray() << QByteArray() << "7" << true << int(PACKAGE_STATUS_UPDATE_REQUIRED);
        QTest::newRow("both markers: the full one decides")
            << current << older << assets << "7" << true << int(PACKAGE_STATUS_INSTALLED);
        QTest::newRow("same build, service asset version 1")
            << current << QByteArray() << assetDocument("1") << "1" << true
            << int(PACKAGE_STATUS_UPDATE_REQUIRED);
        QTest::newRow("no build for this machine")
            << current << QByteArray() << assets << "7" << false << int(PACKAGE_STATUS_NOT_INSTALLED);
    }

    void statusFromMarkers() {
        QFETCH(QByteArray, fullMarker);
        QFETCH(QByteArray, partialMarker);
        QFETCH(QByteArray, assetFile);
        QFETCH(QString, serverAssetVersion);
        QFETCH(bool, hasBuild);
        QFETCH(int, expected);
        const QString directory = QStringLiteral("status-%1").arg(QTest::currentDataTag()).replace(' ', '-');
        const QString folder = packageFolder(directory);
        if (!fullMarker.isEmpty())
            writeFile(folder + "/package.json", fullMarker);
        if (!partialMarker.isEmpty())
            writeFile(folder + "/partial-package.json", partialMarker);
        if (!assetFile.isEmpty())
            writeFile(folder + "/assets.json", assetFile);
        writeFile(folder + "/default", QByteArray());
        TTestPackage package{directory,
                             directory,
                             false,
                             hasBuild ? packageDocument("5") : QByteArray(),
                             assetDocument(serverAssetVersion),
                             QUrl("http://127.0.0.1/")};
        const auto reader = catalogue({package});
        const TInstallationManager manager(reader, m_Helper);
        QCOMPARE(int(reader->packages().front()->localPackageStatus()), expected);
        // The default marker counts only in a package that is at least partially installed.
        const bool counts = expected != PACKAGE_STATUS_NOT_INSTALLED;
        QCOMPARE(bool(manager.getDefaultPackage()), counts);
        QDir(folder).removeRecursively();
    }

    // Only the first installed package with a default marker is the default; setting a default
    // leaves exactly one marker, clearing it leaves none.
    void defaultPackage() {
        const QByteArray build = packageDocument("5");
        std::vector<TTestPackage> packages;
        for (const char* name : {"default-none", "default-first", "default-second"})
            packages.push_back({name, name, false, build, QByteArray(), QUrl("http://127.0.0.1/")});
        writeFile(packageFolder("default-none") + "/default", QByteArray()); // not installed
        for (const char* name : {"default-first", "default-second"}) {
            writeFile(packageFolder(name) + "/package.json", build);
            writeFile(packageFolder(name) + "/default", QByteArray());
        }
        const auto reader = catalogue(packages);
        TInstallationManager manager(reader, m_Helper);
        QCOMPARE(manager.getDefaultPackage(), reader->packages()[1]);
        QVERIFY(!reader->packages()[2]->isDefaultPackage());
        QCOMPARE(int(reader->packages()[2]->localPackageStatus()), int(PACKAGE_STATUS_INSTALLED));

        manager.setDefaultPackage(reader->packages()[2]);
        QCOMPARE(manager.getDefaultPackage(), reader->packages()[2]);
        QVERIFY(!QFile::exists(packageFolder("default-none") + "/default"));
        QVERIFY(!QFile::exists(packageFolder("default-first") + "/default"));
        QVERIFY(QFile::exists(packageFolder("default-second") + "/default"));

        manager.setDefaultPackage(nullptr);
        QVERIFY(!manager.getDefaultPackage());
        QVERIFY(!QFile::exists(packageFolder("default-second") + "/default"));
    }

    // Every marker writer keeps at least one installation marker when one of its writes fails.
    void failedMarkerWriteKeepsAMarker_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("startMarker");
        QTest::addColumn<QString>("blockedFile");
        QTest::addColumn<QString>("remainingMarker");
        QTest::newRow("full: marker cannot be written") << "full"
                                                        << "partial-package.json"
                                                        << "package.json"
                                                        << "partial-package.json";
        QTest::newRow("full: asset file cannot be written") << "full"
                                                            << "partial-package.json"
                                                            << "assets.json"
                                                            << "partial-package.json";
        QTest::newRow("update: partial marker cannot be written") << "update"
                                                                  << "package.json"
                                                                  << "partial-package.json"
                                                                  << "package.json";
        QTest::newRow("start: asset file cannot be written") << "start"
                                                             << "package.json"
                                                             << "assets.json"
                                                             << "package.json";
    }

    void failedMarkerWriteKeepsAMarker() {
        QFETCH(QString, operation);
        QFETCH(QString, startMarker);
        QFETCH(QString, blockedFile);
        QFETCH(QString, remainingMarker);
        QTemporaryDir folder;
        writeFile(folder.filePath(startMarker), packageDocument("1"));
        writeFile(folder.filePath(blockedFile + "/occupied"), "a folder where a file should go");
        const TPackageMarkerFiles markers(*m_Helper, QDir(folder.path()));
        const QByteArray build = packageDocument("2"), assets = assetDocument("2");
        QVERIFY_EXCEPTION_THROWN(operation == "full"     ? markers.markFullyInstalled(build, assets)
                                 : operation == "update" ? markers.updatePartiallyInstalled(build, assets)
                                                         : markers.markPartiallyInstalled(build, assets),
                                 std::runtime_error);
        QCOMPARE(readWholeFile(folder.filePath(remainingMarker)), packageDocument("1"));
    }

    // A build without an asset document leaves no asset file of an earlier build behind, which
    // would otherwise make the package read as needing an update for ever.
    void buildWithoutAssetsRemovesOldAssetFile() {
        const QString folder = packageFolder("no-assets");
        writeFile(folder + "/partial-package.json", packageDocument("4"));
        writeFile(folder + "/assets.json", assetDocument("3"));
        const TTestPackage package{"no-assets",          "no-assets",  false,
                                   packageDocument("5"), QByteArray(), QUrl("http://127.0.0.1/")};
        const auto reader = catalogue({package});
        TInstallationManager manager(reader, m_Helper);
        manager.markPackageAsFullyInstalled(reader->packages().front(), package.packageJson, QByteArray());
        QVERIFY(!QFile::exists(folder + "/assets.json"));
        QVERIFY(!QFile::exists(folder + "/partial-package.json"));
        QCOMPARE(int(manager.determineInstallationStatus(reader->packages().front())),
                 int(PACKAGE_STATUS_INSTALLED));
    }

    // First start: the package marked for automatic installation is installed and made the default,
    // its markers are the served documents; a second manager finds it installed and default.
    void automaticInstallationAndSecondStart() {
        TTestPackage automatic = build(0, "auto-client");
        automatic.installAutomatically = true;
        const TTestPackage other = build(0, "auto-other");
        const auto reader = catalogue({other, automatic});
        TInstallationManager manager(reader, m_Helper);
        TManagerEvents events(manager);
        const std::shared_ptr<TPackage> client = reader->packages()[1];
        QCOMPARE(int(client->localPackageStatus()), int(PACKAGE_STATUS_NOT_INSTALLED));

        manager.installPackagesMarkedForAutoInstallation();
        QCOMPARE(manager.getDefaultPackage(), client);
        QVERIFY(waitForRuns(events));
        QCOMPARE(events.allFinished.count(), 1);
        QCOMPARE(events.started, 1);
        QCOMPARE(events.finishedWithoutError, QList<bool>{true});
        QVERIFY(events.diskFailures.isEmpty());
        // Verification is skipped by the built-in settings and reported first.
        QCOMPARE(events.funnelSteps(), (QStringList{"launcher_verified", "launcher_downloaded"}));
        QCOMPARE(events.funnel.at(0).at(1).toString(), QStringLiteral("FunnelFinished_VerifyingFirst"));
        QCOMPARE(events.funnel.at(1).at(1).toString(), QStringLiteral("FunnelFinishedDownloadingFirst"));

        const QString folder = packageFolder("auto-client");
        QCOMPARE(readWholeFile(folder + "/package.json"), automatic.packageJson);
        QCOMPARE(readWholeFile(folder + "/assets.json"), automatic.assetJson);
        QVERIFY(!QFile::exists(folder + "/partial-package.json"));
        QVERIFY(QFile::exists(folder + "/default"));
        QCOMPARE(installedFiles(folder), m_Tree[0]);
        QCOMPARE(readWholeFile(folder + "/client.sh"), QByteArray("#!/bin/sh\necho client\n"));
        QVERIFY(QFileInfo(folder + "/client.sh").isExecutable());
        QCOMPARE(int(client->localPackageStatus()), int(PACKAGE_STATUS_INSTALLED));
        QVERIFY(client->isPatchedDuringThisLauncherExecution());
        QCOMPARE(int(reader->packages()[0]->localPackageStatus()), int(PACKAGE_STATUS_NOT_INSTALLED));

        QCOMPARE(manager.getPackageExecutable(client), folder + "/client.sh");
        QCOMPARE(manager.getPackageExecutableParameters(client), QStringList{"-windowed"});
        QCOMPARE(manager.getPackageForExecutablePath(folder + "/./data/../client.sh"), client);
        QVERIFY(!manager.getPackageForExecutablePath(folder + "/Client.sh"));

        const auto again = catalogue({other, automatic});
        const TInstallationManager second(again, m_Helper);
        QCOMPARE(int(again->packages()[1]->localPackageStatus()), int(PACKAGE_STATUS_INSTALLED));
        QCOMPARE(second.getDefaultPackage(), again->packages()[1]);
    }

    // v1 -> v2: the update records the new build; a second request while it runs does nothing.
    // v2 -> v3 with a unit missing on the server: not installed, the partial marker keeps recording
    // the build that is really on disk, and nothing tells the client it is current.
    void updateAndFailedUpdate() {
        const QString folder = packageFolder("update-client");
        {
            const auto reader = catalogue({build(0, "update-client")});
            TInstallationManager manager(reader, m_Helper);
            TManagerEvents events(manager);
            manager.installOrUpdatePackage(reader->packages().front());
            QVERIFY(waitForRuns(events));
            QCOMPARE(events.finishedWithoutError, QList<bool>{true});
        }
        {
            const auto reader = catalogue({build(1, "update-client")});
            const std::shared_ptr<TPackage> client = reader->packages().front();
            TInstallationManager manager(reader, m_Helper);
            TManagerEvents events(manager);
            QCOMPARE(int(client->localPackageStatus()), int(PACKAGE_STATUS_UPDATE_REQUIRED));
            manager.installOrUpdatePackage(client);
            QCOMPARE(readWholeFile(folder + "/partial-package.json"), m_Build[0].packageJson);
            QVERIFY(!QFile::exists(folder + "/package.json"));
            manager.installOrUpdatePackage(client);
            manager.verifyPackage(client);
            QCOMPARE(events.started, 1);
            QVERIFY(waitForRuns(events));
            QCOMPARE(events.finishedWithoutError, QList<bool>{true});
            QCOMPARE(int(client->localPackageStatus()), int(PACKAGE_STATUS_INSTALLED));
            QCOMPARE(readWholeFile(folder + "/package.json"), m_Build[1].packageJson);
            QCOMPARE(installedFiles(folder), m_Tree[1]);
        }
        const auto reader = catalogue({build(2, "update-client")});
        const std::shared_ptr<TPackage> client = reader->packages().front();
        TInstallationManager manager(reader, m_Helper);
        TManagerEvents events(manager);
        manager.installOrUpdatePackage(client);
        QVERIFY(waitForRuns(events));
        QCOMPARE(events.allFinished.count(), 1);
        QCOMPARE(events.finishedWithoutError, QList<bool>{false});
        QVERIFY(events.funnel.isEmpty());
        QVERIFY(!client->isPatchedDuringThisLauncherExecution());
        QCOMPARE(int(client->localPackageStatus()), int(PACKAGE_STATUS_PARTIALLY_INSTALLED));
        QVERIFY(!QFile::exists(folder + "/package.json"));
        QCOMPARE(readWholeFile(folder + "/partial-package.json"), m_Build[1].packageJson);
    }

    // A verification checks the recorded build: it restores the full marker it found when the files
    // are intact, leaves the package partially installed when they are not, and never marks a
    // package installed that had no full marker.
    void verification() {
        const QString folder = packageFolder("verify-client");
        const auto reader = catalogue({build(0, "verify-client")});
        const std::shared_ptr<TPackage> client = reader->packages().front();
        TInstallationManager manager(reader, m_Helper);
        TManagerEvents events(manager);
        manager.installOrUpdatePackage(client);
        QVERIFY(waitForRuns(events));
        events.allFinished.clear();
        events.funnel.clear();

        manager.verifyPackage(client);
        QVERIFY(waitForRuns(events));
        QCOMPARE(events.finishedWithoutError.last(), true);
        QCOMPARE(events.funnelSteps(), QStringList{"launcher_verified"});
        QCOMPARE(readWholeFile(folder + "/package.json"), m_Build[0].packageJson);
        QCOMPARE(int(client->localPackageStatus()), int(PACKAGE_STATUS_INSTALLED));

        writeFile(folder + "/readme.txt", "damaged");
        events.allFinished.clear();
        manager.verifyPackage(client);
        QVERIFY(waitForRuns(events));
        QCOMPARE(events.finishedWithoutError.last(), false);
        QVERIFY(!QFile::exists(folder + "/package.json"));
        QCOMPARE(readWholeFile(folder + "/partial-package.json"), m_Build[0].packageJson);
        QCOMPARE(int(client->localPackageStatus()), int(PACKAGE_STATUS_PARTIALLY_INSTALLED));

        // Only a partial marker: even intact files do not make the package installed.
        writeFile(folder + "/readme.txt", "one");
        events.allFinished.clear();
        events.funnel.clear();
        client->setIsPatchedDuringThisLauncherExecution(false);
        manager.verifyPackage(client);
        QVERIFY(waitForRuns(events));
        QVERIFY(!QFile::exists(folder + "/package.json"));
        QCOMPARE(int(client->localPackageStatus()), int(PACKAGE_STATUS_PARTIALLY_INSTALLED));
        QVERIFY(events.funnel.isEmpty());
        QVERIFY(!client->isPatchedDuringThisLauncherExecution());
    }

    // The new build cannot be recorded at the end of the downloads: a disk access failure, and
    // neither a finished installation nor a download funnel event.
    void diskErrorWhileRecordingTheBuild() {
        const QString folder = packageFolder("disk-error-client");
        const auto reader = catalogue({build(0, "disk-error-client")});
        const std::shared_ptr<TPackage> client = reader->packages().front();
        TInstallationManager manager(reader, m_Helper);
        TManagerEvents events(manager);
        const TPackageInstallation* run = nullptr;
        connect(&manager, &TInstallationManager::installationOrUpdateStarted,
                [&run](const TPackageInstallation& started) { run = &started; });
        manager.installOrUpdatePackage(client);
        QVERIFY(run);
        // The scan result arrives through the event loop: the asset file is blocked before.
        QVERIFY(QFile::remove(folder + "/assets.json"));
        writeFile(folder + "/assets.json/occupied", "a folder where the asset file goes");
        QVERIFY(events.diskFailures.wait(RUN_TIMEOUT_MS));
        QVERIFY(!run->isInstalledWithoutError());
        QVERIFY(events.funnel.isEmpty());
        QVERIFY(events.finishedWithoutError.isEmpty() || events.finishedWithoutError == QList<bool>{false});
        QVERIFY(!QFile::exists(folder + "/package.json"));
        QVERIFY(QFile::exists(folder + "/partial-package.json"));
        QVERIFY(!client->isPatchedDuringThisLauncherExecution());
        QVERIFY(client->localPackageStatus() != PACKAGE_STATUS_INSTALLED);
    }
};

QTEST_GUILESS_MAIN(TestInstallationManager)
#include "tst_installationmanager.moc"
