// Installation runs against a real update service: builds published with orvane-publish, served
// by nginx on 127.0.0.1, installed and updated with the launcher's installation run.
#include "installationsupport.h"
#include "launcher/installation/packageinstallation.h"
#include "nginxfixture.h"
#include "shared/sha256.h"
#include "testenvironment.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

#include <functional>
#include <set>

using namespace quarn::launcher;
using namespace testsupport;

namespace {

constexpr int MiB = 1024 * 1024;

void writeFile(const QString& path, const QByteArray& content, bool executable = false) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();
    auto permissions =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    if (executable)
        permissions |= QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    QFile::setPermissions(path, permissions);
}

// Relative path -> content of every regular file below a folder.
std::map<QString, QByteArray> treeContents(const QString& root) {
    std::map<QString, QByteArray> contents;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        contents[QDir(root).relativeFilePath(path)] = readWholeFile(path);
    }
    return contents;
}

using TTreeChange = std::function<void(const QString& sourceFolder)>;

} // namespace

Q_DECLARE_METATYPE(TTreeChange)

class TestPackageInstallation : public QObject {
    Q_OBJECT

private:
    TTestHome m_Home;
    std::shared_ptr<TLauncherFilesystemHelper> m_Helper;

    bool publish(const QString& source, const QString& output, const QStringList& extra = {}) {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral(ORVANE_PUBLISH_EXECUTABLE),
                      QStringList{"package", source, output, "--version", QFileInfo(output).fileName()} +
                          extra);
        if (!process.waitForFinished(300000) || process.exitCode() != 0) {
            qWarning() << process.readAll();
            return false;
        }
        return true;
    }

    TPackageConfigurationReader serverConfiguration(const TNginxFixture& server,
                                                    const QString& publishedFolder, const QString& name) {
        const QUrl base = server.url(name + QLatin1Char('/'));
        return TPackageConfigurationReader(readWholeFile(publishedFolder + QStringLiteral("/package.json")),
                                           QByteArray(), base, base);
    }

    // Runs an installation or update to its end; true when it installed without error.
    bool install(const QDir& directory, const TPackageConfigurationReader& local,
                 const TPackageConfigurationReader& server, bool fastScan, TFileSize* fetched = nullptr) {
        TPackageInstallation run(nullptr, m_Helper);
        run.setInstallationBaseDirectory(directory);
        QSignalSpy finished(&run, &TPackageInstallation::downloadFinished);
        QSignalSpy diskFailure(&run, &TPackageInstallation::diskAccessFailed);
        run.startScan(local, server, fastScan);
        if (!finished.wait(600000) && finished.isEmpty()) {
            qWarning() << "run did not finish" << diskFailure;
            return false;
        }
        if (fetched)
            *fetched = run.downloader()->downloadSizeInBytes();
        return run.isInstalledWithoutError();
    }

private slots:
    void initTestCase() {
        m_Home.applyToThisProcess();
        m_Helper = std::make_shared<TLauncherFilesystemHelper>();
    }

    void update_data() {
        QTest::addColumn<TTreeChange>("change");
        const QByteArray block = randomBytes(99, 200 * 1024);
        QTest::newRow("block inserted at start of large file") << TTreeChange(
            [=](const QString& s) { writeFile(s + "/big.bin", block + readWholeFile(s + "/big.bin")); });
        QTest::newRow("block removed from middle") << TTreeChange([=](const QString& s) {
            writeFile(s + "/big.bin", readWholeFile(s + "/big.bin").remove(15 * MiB, 300 * 1024));
        });
        QTest::newRow("changed block") << TTreeChange([=](const QString& s) {
            writeFile(s + "/big.bin", readWholeFile(s + "/big.bin").replace(20 * MiB, block.size(), block));
        });
        QTest::newRow("file grown and one shrunk") << TTreeChange([=](const QString& s) {
            writeFile(s + "/big.bin", readWholeFile(s + "/big.bin") + randomBytes(98, 9 * MiB));
            writeFile(s + "/data/other.bin", readWholeFile(s + "/data/other.bin").left(12 * MiB));
        });
        QTest::newRow("file deleted")
            << TTreeChange([=](const QString& s) { QFile::remove(s + "/readme.txt"); });
        QTest::newRow("new file") << TTreeChange(
            [=](const QString& s) { writeFile(s + "/data/new.txt", "new!"); });
        QTest::newRow("identical build") << TTreeChange([=](const QString&) {});
        QTest::newRow("content occurs twice") << TTreeChange([=](const QString& s) {
            const QByteArray big = readWholeFile(s + "/big.bin");
            writeFile(s + "/big.bin", big + big.left(12 * MiB));
        });
        QTest::newRow("executable file") << TTreeChange(
            [=](const QString& s) { writeFile(s + "/bin/tool.sh", "#!/bin/sh\necho changed\n", true); });
    }

    void update() {
        QFETCH(TTreeChange, change);
        QTemporaryDir work;
        const QString source = work.filePath("source"), published = work.filePath("published");
        writeFile(source + "/big.bin", randomBytes(1, 30 * MiB));
        writeFile(source + "/data/other.bin", randomBytes(2, 20 * MiB));
        writeFile(source + "/readme.txt", "version one");
        writeFile(source + "/bin/tool.sh", "#!/bin/sh\necho one\n", true);
        QVERIFY(publish(source, published + "/v1", {"--plain"}));
        change(source);
        QVERIFY(publish(source, published + "/v2", {"--plain"}));
        const std::map<QString, QByteArray> expected = treeContents(source);

        TNginxFixture server(published);
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        const TPackageConfigurationReader v1 = serverConfiguration(server, published + "/v1", "v1");
        const TPackageConfigurationReader v2 = serverConfiguration(server, published + "/v2", "v2");
        QVERIFY(v1.initializedSuccessfully() && v2.initializedSuccessfully());

        const QDir installation(work.filePath("installation"));
        QVERIFY(install(installation, TPackageConfigurationReader(), v1, false));
        writeFile(installation.filePath("settings/user.cfg"), "mine"); // listed by no build

        TFileSize fetched = 0;
        QVERIFY(install(installation, v1, v2, false, &fetched));
        std::map<QString, QByteArray> installed = treeContents(installation.path());
        QCOMPARE(installed["settings/user.cfg"], QByteArray("mine"));
        installed.erase("settings/user.cfg");
        QCOMPARE(installed.size(), expected.size());
        for (const auto& [path, content] : expected)
            QVERIFY2(shared::TSha256::hash(installed[path]) == shared::TSha256::hash(content),
                     qPrintable(path));
        QVERIFY(QFileInfo(installation.filePath("bin/tool.sh")).isExecutable());
        QCOMPARE(fetched, bytesInChangedUnits(v1, v2));
    }

    // A compressed build installs into an empty folder and verifies; damage is then found.
    void compressedInstallAndVerification() {
        QTemporaryDir work;
        const QString source = work.filePath("source"), published = work.filePath("published");
        writeFile(source + "/a.txt", QByteArray(300000, 'a'));
        writeFile(source + "/b/c.bin", randomBytes(5, 100000));
        writeFile(source + "/empty", QByteArray());
        QVERIFY(publish(source, published + "/v1"));
        TNginxFixture server(published);
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        const TPackageConfigurationReader v1 = serverConfiguration(server, published + "/v1", "v1");
        const QDir installation(work.filePath("installation"));
        QVERIFY(install(installation, TPackageConfigurationReader(), v1, false));

        TPackageInstallation run(nullptr, m_Helper);
        run.setInstallationBaseDirectory(installation);
        QSignalSpy verified(&run, &TPackageInstallation::verificationFinished);
        run.verify(v1, false); // skipped by the built-in settings: reported at once
        QCOMPARE(verified.count(), 1);
        run.verify(v1, true);
        QVERIFY(verified.wait(60000));
        QVERIFY(run.isInstalledWithoutError());

        writeFile(installation.filePath("b/c.bin"), randomBytes(6, 100000));
        run.verify(v1, true);
        QVERIFY(verified.wait(60000));
        QVERIFY(!run.isInstalledWithoutError());
        QCOMPARE(run.installationErrorReason(), PACKAGE_DOWNLOADER_ERROR_VERIFICATION_FAILED);
    }

    // A sync killed in the middle of its downloads leaves a partial installation that the next
    // sync completes and a forced verification accepts.
    void interruptedSyncCompletes() {
        QTemporaryDir work;
        const QString source = work.filePath("source"), published = work.filePath("published");
        writeFile(source + "/big.bin", randomBytes(7, 40 * MiB));
        writeFile(source + "/small.txt", "small");
        QVERIFY(publish(source, published + "/v1", {"--plain"}));
        TNginxFixture server(published);
        server.setLocationDirectives(QStringLiteral("limit_rate 1m;"));
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        const QString installation = work.filePath("installation");
        const QStringList arguments{"sync", "--package", server.url("v1/package.json").toString(), "--dir",
                                    installation};

        QProcess first;
        first.setProcessEnvironment(m_Home.environment());
        first.start(QStringLiteral(ORVANE_PUBLISH_EXECUTABLE), arguments);
        bool downloading = false;
        while (!downloading && first.waitForReadyRead(60000)) {
            while (first.canReadLine()) {
                const QByteArray line = first.readLine();
                downloading |= line.startsWith("downloaded ") && !line.startsWith("downloaded 0 ");
            }
        }
        QVERIFY(downloading);
        first.kill();
        first.waitForFinished();
        QVERIFY(QFile::exists(installation + "/partial-package.json"));
        QVERIFY(!QFile::exists(installation + "/package.json"));

        server.stop();
        server.setLocationDirectives(QString());
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        const QStringList again{"sync", "--package", server.url("v1/package.json").toString(), "--dir",
                                installation};
        for (const QStringList& extra : {QStringList(), QStringList{"--verify", "--fast-scan"}}) {
            QProcess next;
            next.setProcessEnvironment(m_Home.environment());
            next.setProcessChannelMode(QProcess::MergedChannels);
            next.start(QStringLiteral(ORVANE_PUBLISH_EXECUTABLE), again + extra);
            QVERIFY(next.waitForFinished(300000));
            const QByteArray output = next.readAll();
            QVERIFY2(next.exitCode() == 0, output.constData());
            const QList<QByteArray> lines = output.trimmed().split('\n');
            QVERIFY2(lines.last().startsWith("fetched "), output.constData());
            if (!extra.isEmpty())
                QCOMPARE(lines.last(), QByteArray("fetched 0 bytes"));
        }
        QVERIFY(QFile::exists(installation + "/package.json"));
        QVERIFY(!QFile::exists(installation + "/partial-package.json"));
        QCOMPARE(shared::TSha256::hash(readWholeFile(installation + "/big.bin")),
                 shared::TSha256::hash(readWholeFile(source + "/big.bin")));
    }

    void unreachableServerFailsTheRun() {
        QTemporaryDir work;
        const QString source = work.filePath("source"), published = work.filePath("published");
        writeFile(source + "/a.txt", "content");
        QVERIFY(publish(source, published + "/v1", {"--plain"}));
        TNginxFixture server(published);
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        const TPackageConfigurationReader v1 = serverConfiguration(server, published + "/v1", "v1");
        server.stop();
        TPackageInstallation run(nullptr, m_Helper);
        run.setInstallationBaseDirectory(QDir(work.filePath("installation")));
        QSignalSpy finished(&run, &TPackageInstallation::downloadFinished);
        run.startScan(TPackageConfigurationReader(), v1, false);
        QVERIFY(finished.wait(120000));
        QVERIFY(!run.isInstalledWithoutError());
        QCOMPARE(run.installationErrorReason(), PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED);
    }
};

QTEST_GUILESS_MAIN(TestPackageInstallation)
#include "tst_packageinstallation.moc"
