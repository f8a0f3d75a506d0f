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

    // The update writes 4 MiB (a file grown from 1 to 2 MiB, fetched whole since the scan clears a
    // single-unit file that changed, and a new one of 2 MiB) and drops a 1 MiB file, whose space
    // the deletion gives back first. Too little space ends the run before the deletion and before
    // any download, with the needed and available sizes.
    void freeSpace_data() {
        QTest::addColumn<qint64>("freeSpace");
        QTest::addColumn<bool>("installs");
        QTest::newRow("far too little") << qint64(1000) << false;
        QTest::newRow("one byte short") << qint64(3 * MiB - 1) << false;
        QTest::newRow("exactly enough with the dropped file") << qint64(3 * MiB) << true;
        QTest::newRow("unknown") << qint64(-1) << true;
    }

    void freeSpace() {
        QFETCH(qint64, freeSpace);
        QFETCH(bool, installs);
        QTemporaryDir work;
        const QString source = work.filePath("source"), published = work.filePath("published");
        writeFile(source + "/a.bin", randomBytes(11, MiB));
        writeFile(source + "/old.bin", randomBytes(12, MiB));
        QVERIFY(publish(source, published + "/v1", {"--plain"}));
        writeFile(source + "/a.bin", readWholeFile(source + "/a.bin") + randomBytes(13, MiB));
        writeFile(source + "/new.bin", randomBytes(14, 2 * MiB));
        QFile::remove(source + "/old.bin");
        QVERIFY(publish(source, published + "/v2", {"--plain"}));
        TNginxFixture server(published);
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        const TPackageConfigurationReader v1 = serverConfiguration(server, published + "/v1", "v1");
        const TPackageConfigurationReader v2 = serverConfiguration(server, published + "/v2", "v2");
        const QDir installation(work.filePath("installation"));
        QVERIFY(install(installation, TPackageConfigurationReader(), v1, false));

        TPackageInstallation run(nullptr, m_Helper);
        run.setInstallationBaseDirectory(installation);
        QStringList askedFor;
        run.setFreeSpaceProvider([&](const QString& folder) {
            askedFor << folder;
            return freeSpace;
        });
        QSignalSpy finished(&run, &TPackageInstallation::downloadFinished);
        QSignalSpy diskFailure(&run, &TPackageInstallation::diskAccessFailed);
        run.startScan(v1, v2, false);
        QVERIFY(finished.wait(120000));
        QVERIFY(diskFailure.isEmpty());
        QCOMPARE(askedFor, QStringList{installation.absolutePath()});
        if (installs) {
            QVERIFY(run.isInstalledWithoutError());
            QCOMPARE(readWholeFile(installation.filePath("new.bin")), readWholeFile(source + "/new.bin"));
            QVERIFY(!QFile::exists(installation.filePath("old.bin")));
            return;
        }
        QVERIFY(!run.isInstalledWithoutError());
        QCOMPARE(run.installationErrorReason(), PACKAGE_DOWNLOADER_ERROR_SAVING_FAILED);
        const QString message = run.installationErrorMessage();
        QVERIFY2(message.contains(QStringLiteral("needs %1 bytes").arg(4 * MiB)), qPrintable(message));
        QVERIFY2(message.contains(QStringLiteral("available are %1 bytes").arg(freeSpace + MiB)),
                 qPrintable(message));
        QCOMPARE(run.downloader()->downloadSizeInBytes(), TFileSize(0));
        QVERIFY(QFile::exists(installation.filePath("old.bin")));
        QVERIFY(!QFile::exists(installation.filePath("new.bin")));
    }

    // A run capped at 1 MiB/s takes about three seconds for 3 MiB in six files fetched in
    // parallel, and its progress keeps moving all along; sync takes the cap as --limit-rate.
    void rateLimit() {
        constexpr qint64 rate = MiB;
        constexpr int files = 6;
        QTemporaryDir work;
        const QString source = work.filePath("source"), published = work.filePath("published");
        for (int i = 0; i < files; ++i)
            writeFile(source + QStringLiteral("/part%1.bin").arg(i), randomBytes(20 + i, MiB / 2));
        QVERIFY(publish(source, published + "/v1", {"--plain"}));
        TNginxFixture server(published);
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        const TPackageConfigurationReader v1 = serverConfiguration(server, published + "/v1", "v1");
        const qint64 total = files * MiB / 2;
        const qint64 shortestMs = total * 1000 / rate;

        TPackageInstallation run(nullptr, m_Helper);
        run.setInstallationBaseDirectory(QDir(work.filePath("installation")));
        run.downloadPool()->setRateLimit(rate);
        QElapsedTimer clock;
        std::vector<std::pair<qint64, TFileSize>> increases; // time, bytes downloaded
        connect(run.downloader(), &TPackageFileDownloader::progress, this,
                [&](TFileSize downloaded, TFileSize, TFileSize, TFileSize) {
                    if (increases.empty() || downloaded > increases.back().second)
                        increases.emplace_back(clock.elapsed(), downloaded);
                });
        QSignalSpy finished(&run, &TPackageInstallation::downloadFinished);
        clock.start();
        run.startScan(TPackageConfigurationReader(), v1, false);
        QVERIFY(finished.wait(120000));
        const qint64 elapsed = clock.elapsed();
        QVERIFY(run.isInstalledWithoutError());
        // Half a second of saved-up budget is allowed; a stalled run would take far longer.
        QVERIFY2(elapsed >= shortestMs * 3 / 4, qPrintable(QString::number(elapsed)));
        QVERIFY2(elapsed < shortestMs * 5 + 10000, qPrintable(QString::number(elapsed)));
        QCOMPARE(run.downloader()->downloadSizeInBytes(), TFileSize(total));
        QVERIFY2(increases.size() >= 10, qPrintable(QString::number(increases.size())));
        qint64 longestGap = increases.front().first;
        for (size_t i = 1; i < increases.size(); ++i)
            longestGap = std::max(longestGap, increases[i].first - increases[i - 1].first);
        QVERIFY2(longestGap < 2000, qPrintable(QString::number(longestGap)));
        // Halfway through the time, well within the bytes: no burst at either end.
        const auto halfway = std::find_if(increases.begin(), increases.end(),
                                          [&](const auto& sample) { return sample.first >= elapsed / 2; });
        QVERIFY(halfway != increases.end());
        QVERIFY2(halfway->second > quint64(total / 5) && halfway->second < quint64(total * 9 / 10),
                 qPrintable(QString::number(halfway->second)));

        QProcess sync;
        sync.setProcessEnvironment(m_Home.environment());
        sync.setProcessChannelMode(QProcess::MergedChannels);
        clock.restart();
        sync.start(QStringLiteral(ORVANE_PUBLISH_EXECUTABLE),
                   {"sync", "--package", server.url("v1/package.json").toString(), "--dir",
                    work.filePath("synced"), "--limit-rate", QString::number(rate)});
        QVERIFY(sync.waitForFinished(120000));
        const QByteArray output = sync.readAll();
        QVERIFY2(sync.exitCode() == 0, output.constData());
        QVERIFY2(clock.elapsed() >= shortestMs * 3 / 4, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(output.trimmed().endsWith(QByteArray("fetched ") + QByteArray::number(total) + " bytes"),
                 output.constData());
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
