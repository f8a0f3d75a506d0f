// Settings, platform identification and the launcher's file-system helper.
#include "launcher/environment/launcherfilesystemhelper.h"
#include "launcher/environment/launchersettings.h"
#include "shared/machineidentifier.h"
#include "shared/randomnumbergenerator.h"
#include "testenvironment.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <QtTest>

using quarn::launcher::TLauncherFilesystemHelper;
using quarn::launcher::TLauncherSettings;

namespace {
void writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

QString settingsNextToExecutable() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/launchersettings.ini");
}
} // namespace

class TestEnvironment : public QObject {
    Q_OBJECT

private:
    TTestHome m_Home;
    QTemporaryDir m_Work;

private slots:
    void initTestCase() {
        m_Home.applyToThisProcess();
        QFile::remove(settingsNextToExecutable());
    }

    void cleanup() { QFile::remove(settingsNextToExecutable()); }

    void builtInSettings() {
        TLauncherFilesystemHelper helper;
        const auto& settings = *helper.launcherSettings();
        QCOMPARE(settings.configurationUrl().scheme(), QStringLiteral("https"));
        QCOMPARE(settings.configurationUrl().path(), QStringLiteral("/launcher/vammetadata.json"));
        QVERIFY(settings.cdnDiagnosticsTraceUrl().isEmpty());
        QCOMPARE(settings.appendNocacheToJsonFiles(), false);
        QCOMPARE(settings.packageSubdirectoryName(), QStringLiteral("packages"));
        QCOMPARE(settings.packageFileName(), QStringLiteral("package.json"));
        QCOMPARE(settings.installedPackageMarker(), QStringLiteral("package.json"));
        QCOMPARE(settings.partiallyInstalledPackageMarker(), QStringLiteral("partial-package.json"));
        QCOMPARE(settings.assetFileName(), QStringLiteral("assets.json"));
        QCOMPARE(settings.waitNotificationTimeout(), 500);
        QCOMPARE(settings.downloadErrorTimeout(), 10000);
        QCOMPARE(settings.clientStartTimeout(), 30000);
        QCOMPARE(settings.maxCachedChunks(), 100);
        QCOMPARE(settings.maxConcurrentDownloads(), 10);
        QCOMPARE(settings.skipVerification(), true);
        QCOMPARE(settings.fastScan(), true);
        QCOMPARE(settings.chunkVerification(), false);
        QCOMPARE(settings.downloadRateLimit(), 0);
    }

    void builtInFileHasExactlyFiveSections() {
        TLauncherFilesystemHelper helper; // registers the resource
        QSettings builtIn(QStringLiteral(":/settings/launchersettings.ini"), QSettings::IniFormat);
        QStringList groups = builtIn.childGroups();
        groups.sort();
        QCOMPARE(groups, (QStringList{"DIRECTORIES", "FILES", "OPTIONS", "TIMING", "URLS"}));
    }

    // A replacement file is taken whole: what it lacks takes the fallback, not the built-in value.
    void replacementFileNextToExecutable() {
        writeFile(settingsNextToExecutable(), "[OPTIONS]\nskipVerification=false\n");
        TLauncherFilesystemHelper helper;
        const auto& settings = *helper.launcherSettings();
        QVERIFY(settings.configurationUrl().isEmpty());
        QCOMPARE(settings.packageFileName(), QString());
        QCOMPARE(settings.installedPackageMarker(), QString());
        QCOMPARE(settings.packageSubdirectoryName(), QString());
        QCOMPARE(settings.waitNotificationTimeout(), 0);
        QCOMPARE(settings.downloadErrorTimeout(), 0);
        QCOMPARE(settings.skipVerification(), false);
        QCOMPARE(settings.fastScan(), true);
        QCOMPARE(settings.maxCachedChunks(), 100);
        QCOMPARE(settings.downloadRateLimit(), 0);
    }

    void downloadRateLimit_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<qint64>("limit");
        QTest::newRow("bytes per second")
            << QByteArray("[OPTIONS]\ndownloadRateLimit=1048576\n") << qint64(1048576);
        QTest::newRow("beyond 32 bits")
            << QByteArray("[OPTIONS]\ndownloadRateLimit=10000000000\n") << qint64(10000000000);
        QTest::newRow("negative is none") << QByteArray("[OPTIONS]\ndownloadRateLimit=-5\n") << qint64(0);
        QTest::newRow("not a number is none")
            << QByteArray("[OPTIONS]\ndownloadRateLimit=fast\n") << qint64(0);
        QTest::newRow("missing is none") << QByteArray("[OPTIONS]\nfastScan=true\n") << qint64(0);
    }

    void downloadRateLimit() {
        QFETCH(QByteArray, content);
        const QString path = m_Work.filePath(QStringLiteral("settings.ini"));
        writeFile(path, content);
        QTEST(TLauncherSettings(path).downloadRateLimit(), "limit");
    }

    void conversions_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("maxCachedChunks");
        QTest::addColumn<bool>("fastScan");
        QTest::addColumn<bool>("appendNocache");
        QTest::addColumn<QString>("configurationUrl");

        QTest::newRow("numbers and words")
            << QByteArray("[OPTIONS]\nmaxCachedChunks=7\nfastScan=yes\n") << 7 << true << false << QString();
        QTest::newRow("not a number")
            << QByteArray("[OPTIONS]\nmaxCachedChunks=many\n") << 0 << true << false << QString();
        QTest::newRow("false in capitals")
            << QByteArray("[OPTIONS]\nfastScan=FALSE\n") << 100 << false << false << QString();
        QTest::newRow("zero") << QByteArray("[OPTIONS]\nfastScan=0\n") << 100 << false << false << QString();
        QTest::newRow("empty") << QByteArray("[OPTIONS]\nfastScan=\n") << 100 << false << false << QString();
        QTest::newRow("keys are case-sensitive")
            << QByteArray("[OPTIONS]\nFastScan=false\nMaxCachedChunks=3\n") << 100 << true << false
            << QString();
        QTest::newRow("url and nocache")
            << QByteArray("[URLS]\nlauncherConfiguration=http://127.0.0.1:8080/launcher/vammetadata.json\n"
                          "appendNocacheToPackageUrls=true\n")
            << 100 << true << true << QStringLiteral("http://127.0.0.1:8080/launcher/vammetadata.json");
    }

    void conversions() {
        QFETCH(QByteArray, content);
        const QString path = m_Work.filePath(QStringLiteral("settings.ini"));
        writeFile(path, content);
        const TLauncherSettings settings(path);
        QTEST(settings.maxCachedChunks(), "maxCachedChunks");
        QTEST(settings.fastScan(), "fastScan");
        QTEST(settings.appendNocacheToJsonFiles(), "appendNocache");
        QTEST(settings.configurationUrl().toString(), "configurationUrl");
    }

    void missingSettingsFileGivesFallbacks() {
        const TLauncherSettings settings(m_Work.filePath(QStringLiteral("missing.ini")));
        QCOMPARE(settings.maxConcurrentDownloads(), 10);
        QCOMPARE(settings.skipVerification(), true);
        QCOMPARE(settings.packageFileName(), QString());
    }

    void operatingSystem_data() {
        QTest::addColumn<QString>("productType");
        QTest::addColumn<QString>("kernelType");
        QTest::addColumn<int>("expected");
        QTest::newRow("osx") << "osx"
                             << "darwin" << int(shared::OPERATING_SYSTEM_MACOS);
        QTest::newRow("darwin") << "darwin"
                                << "darwin" << int(shared::OPERATING_SYSTEM_MACOS);
        QTest::newRow("windows") << "windows"
                                 << "winnt" << int(shared::OPERATING_SYSTEM_WINDOWS);
        QTest::newRow("debian") << "debian"
                                << "linux" << int(shared::OPERATING_SYSTEM_LINUX);
        QTest::newRow("case matters") << "OSX"
                                      << "Linux" << int(shared::OPERATING_SYSTEM_UNKNOWN);
        QTest::newRow("freebsd") << "freebsd"
                                 << "freebsd" << int(shared::OPERATING_SYSTEM_UNKNOWN);
    }

    void operatingSystem() {
        QFETCH(QString, productType);
        QFETCH(QString, kernelType);
        QTEST(int(shared::TMachineIdentifier::operatingSystemFromNames(productType, kernelType)), "expected");
    }

    void buildArchitecture() {
        QCOMPARE(shared::TMachineIdentifier::buildArchitectureFromName("x86_64"),
                 shared::BUILD_ARCHITECTURE_X86_64);
        QCOMPARE(shared::TMachineIdentifier::buildArchitectureFromName("i386"),
                 shared::BUILD_ARCHITECTURE_I386);
        QCOMPARE(shared::TMachineIdentifier::buildArchitectureFromName("arm64"),
                 shared::BUILD_ARCHITECTURE_UNKNOWN);
        QCOMPARE(shared::TMachineIdentifier::getOperatingSystem(), shared::OPERATING_SYSTEM_LINUX);
    }

    void uniqueIdentifierIsStable() {
        const QString first = shared::TMachineIdentifier::getUniqueIdentifier();
        QCOMPARE(first.size(), 40);
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{40}$")).match(first).hasMatch());
        QCOMPARE(shared::TMachineIdentifier::getUniqueIdentifier(), first);
    }

    void randomNumbersStayInClosedRange() {
        const auto generator = shared::TRandomNumberGenerator::getInstance();
        QCOMPARE(shared::TRandomNumberGenerator::getInstance(), generator);
        bool sawLower = false, sawUpper = false;
        for (int i = 0; i < 20000; ++i) {
            const quint64 value = generator->getRandomNumberInRange(0, 61);
            QVERIFY(value <= 61);
            sawLower |= value == 0;
            sawUpper |= value == 61;
        }
        QVERIFY(sawLower && sawUpper);
        QCOMPARE(generator->getRandomNumberInRange(5, 5), quint64(5));
    }

    void applicationBaseDirectory_data() {
        QTest::addColumn<QString>("executableDirectory");
        QTest::addColumn<QString>("expected");
        QTest::newRow("bundle") << "/Applications/Orvane.app/Contents/MacOS"
                                << "/Applications/Orvane.app";
        QTest::newRow("bundle lower case") << "/Applications/Orvane.app/contents/macos"
                                           << "/Applications/Orvane.app";
        QTest::newRow("plain folder") << "/opt/orvane/bin"
                                      << "/opt/orvane/bin";
        QTest::newRow("marker not at the end") << "/x/Contents/MacOS/sub"
                                               << "/x/Contents/MacOS/sub";
    }

    void applicationBaseDirectory() {
        QFETCH(QString, executableDirectory);
        QFETCH(QString, expected);
        QCOMPARE(
            TLauncherFilesystemHelper::applicationBaseDirectoryFor(QDir(executableDirectory)).absolutePath(),
            expected);
    }

    void locations() {
        TLauncherFilesystemHelper helper;
        const QString base = m_Home.path("data") + QStringLiteral("/Kettrel GmbH/Orvane Online");
        QCoreApplication::setOrganizationName(QStringLiteral("Kettrel GmbH"));
        QCoreApplication::setApplicationName(QStringLiteral("Orvane Online"));
        QCOMPARE(helper.getWritableBaseDirectory().absolutePath(), base);
        QCOMPARE(helper.getMainConfigurationPath(), base + QStringLiteral("/launchermetadata.json"));
        QCOMPARE(helper.getOrCreatePackagesDirectory().absolutePath(), base + QStringLiteral("/packages"));
        QVERIFY(QFileInfo(base + QStringLiteral("/packages")).isDir());
        QCOMPARE(helper.getFileBackupPath(QStringLiteral("/a/b")), QStringLiteral("/a/b.old"));

        // Writing creates the missing folders on the way.
        const QString nested = m_Work.filePath(QStringLiteral("x/y/z.bin"));
        helper.writeBinaryFileWithPath(nested, "abc");
        QCOMPARE(helper.loadBinaryFileIfExisting(nested), QByteArray("abc"));
    }

    void deleteBackupFiles() {
        TLauncherFilesystemHelper helper;
        const QString folder = m_Work.filePath(QStringLiteral("backups"));
        for (const char* name : {"a.old", "b.OLD", ".hidden.old", "sub/c.old", "keep.txt", "old"})
            writeFile(folder + QLatin1Char('/') + QLatin1String(name), "x");
        helper.deleteBackupFilesInDirectory(folder);
        QVERIFY(!QFile::exists(folder + QStringLiteral("/a.old")));
        for (const char* name : {"b.OLD", ".hidden.old", "sub/c.old", "keep.txt", "old"})
            QVERIFY2(QFile::exists(folder + QLatin1Char('/') + QLatin1String(name)), name);
    }

    void moveFileOrDirectory() {
        TLauncherFilesystemHelper helper;
        const QString source = m_Work.filePath(QStringLiteral("move/source"));
        const QString target = m_Work.filePath(QStringLiteral("move/target"));
        writeFile(target + QStringLiteral("/inner.txt"), "old");

        helper.moveFileOrDirectory(source, target); // missing source: target stays
        QVERIFY(QFile::exists(target + QStringLiteral("/inner.txt")));

        writeFile(source, "new");
        helper.moveFileOrDirectory(source, target); // a folder is replaced by a file
        QVERIFY(!QFile::exists(source));
        QCOMPARE(helper.loadBinaryFileIfExisting(target), QByteArray("new"));

        helper.removeFileOrDirectory(target);
        QVERIFY(!QFileInfo::exists(target));
        helper.removeFileOrDirectory(target); // nothing there: no error
    }

    void executableBits() {
        TLauncherFilesystemHelper helper;
        const QString path = m_Work.filePath(QStringLiteral("tool"));
        writeFile(path, "#!/bin/sh\n");
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                                        QFileDevice::WriteUser);
        helper.setExecutableBits(path);
        const auto permissions = QFile::permissions(path);
        QVERIFY(permissions & QFileDevice::ExeOwner);
        QVERIFY(permissions & QFileDevice::ExeGroup);
        QVERIFY(permissions & QFileDevice::ExeOther);
        QVERIFY(permissions & QFileDevice::WriteOwner);
    }

    void symbolicLinkToLauncher() {
        TLauncherFilesystemHelper helper;
        QDir().mkpath(helper.getWritableBaseDirectory().absolutePath());
        const QString link = helper.getWritableBaseDirectory().absoluteFilePath(
            QFileInfo(QCoreApplication::applicationFilePath()).fileName());

        // Nothing there, then a dangling link, then a good link: each time a link to us remains.
        for (int round = 0; round < 3; ++round) {
            if (round == 1) {
                QFile::remove(link);
                QVERIFY(QFile::link(m_Work.filePath(QStringLiteral("gone")), link));
            }
            helper.createSymbolicLinkToLauncherExecutable();
            QVERIFY(QFileInfo(link).isSymLink());
            QCOMPARE(QFileInfo(link).symLinkTarget(), QCoreApplication::applicationFilePath());
        }

        // A real file of that name is never replaced.
        QFile::remove(link);
        writeFile(link, "mine");
        helper.createSymbolicLinkToLauncherExecutable();
        QVERIFY(!QFileInfo(link).isSymLink());
        QCOMPARE(helper.loadBinaryFileIfExisting(link), QByteArray("mine"));
        QFile::remove(link);
    }
};

QTEST_GUILESS_MAIN(TestEnvironment)
#include "tst_environment.moc"
