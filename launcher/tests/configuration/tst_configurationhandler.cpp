// The configuration handler in-process against a misbehaving server on loopback: every way the
// launcher configuration can arrive or fail ends in exactly one announcement, the backup is
// written and used as it should be, and package documents that cannot be read never reach a
// build.
#include "launcher/configuration/launcherconfigurationhandler.h"

#include "faultyhttpserver.h"
#include "launcherbundle.h"
#include "testenvironment.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

using namespace quarn::launcher;

Q_DECLARE_METATYPE(TFaultyHttpServer::TAnswer)

namespace {

const QByteArray SERVED = "{\"served\": 1, \"packages\": []}";
const QByteArray BACKUP = "{\"backup\": 1, \"packages\": []}";
const QString CONFIGURATION_PATH = QStringLiteral("/launcher/vammetadata.json");

enum EUrlKind { URL_SERVED, URL_REFUSED, URL_EMPTY };

QUrl refusedUrl() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return QUrl(QStringLiteral("http://127.0.0.1:%1/launcher/vammetadata.json").arg(port));
}

QString buildObject(const QString& url, const QString& assetsUrl = QString(),
                    const QString& os = TLauncherBundle::localOperatingSystemName()) {
    QString text = QStringLiteral("{\"os\": \"%1\", \"architecture\": \"%2\", \"url\": \"%3\"")
                       .arg(os, TLauncherBundle::localArchitectureName(), url);
    if (!assetsUrl.isEmpty())
        text += QStringLiteral(", \"assetsurl\": \"%1\"").arg(assetsUrl);
    return text + QLatin1Char('}');
}

QString packageObject(const QString& name, const QString& build) {
    return QStringLiteral("{\"name\": \"%1\", \"directoryname\": \"%1\", \"builds\": [%2]}").arg(name, build);
}

QByteArray packageDocument(const QString& version, const QString& executable = QStringLiteral("bin/client")) {
    return QStringLiteral("{\"version\": \"%1\", \"executable\": \"%2\"}").arg(version, executable).toUtf8();
}

QByteArray assetDocument(const QString& version) {
    return QStringLiteral("{\"version\": \"%1\"}").arg(version).toUtf8();
}

std::shared_ptr<TPackage> packageNamed(const TLauncherConfigurationReader& reader, const QString& name) {
    for (const auto& package : reader.packages())
        if (package->packageName() == name)
            return package;
    return nullptr;
}

// One handler on its own pool, with the signals it announces counted.
struct THarness {
    THarness()
        : pool(std::make_shared<shared::TDownloadPool>(6,
                                                       std::make_shared<shared::QNetworkAccessManagerWrapper>(
                                                           std::make_shared<QNetworkAccessManager>()),
                                                       nullptr, true)),
          helper(std::make_shared<TLauncherFilesystemHelper>()), handler(pool, helper),
          loaded(&handler, &TLauncherConfigurationHandler::mainConfigurationLoaded),
          failed(&handler, &TLauncherConfigurationHandler::mainConfigurationDownloadFailed),
          disk(&handler, &TLauncherConfigurationHandler::diskAccessFailed),
          finished(&handler, &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished) {}

    int announcements() const { return loaded.count() + failed.count() + disk.count(); }
    // Waits for the first announcement, then until nothing is left in flight, so that a late
    // answer has had its chance to cause a second one.
    void settle() {
        QTRY_VERIFY_WITH_TIMEOUT(announcements() > 0, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(pool->getNumberOfUnfinishedDownloads() == 0, 60000);
        QTest::qWait(300);
    }

    std::shared_ptr<shared::TDownloadPool> pool;
    std::shared_ptr<TLauncherFilesystemHelper> helper;
    TLauncherConfigurationHandler handler;
    QSignalSpy loaded;
    QSignalSpy failed;
    QSignalSpy disk;
    QSignalSpy finished;
};

} // namespace

class TestConfigurationHandler : public QObject {
    Q_OBJECT

private:
    QString dataFolder() const {
        return TLauncherFilesystemHelper().getWritableBaseDirectory().absolutePath();
    }
    QString backupPath() const { return TLauncherFilesystemHelper().getMainConfigurationPath(); }

private slots:
    void init() {
        QDir(dataFolder()).removeRecursively();
        // The data folder lies below "Kettrel GmbH": local document URLs hold an encoded blank.
        QVERIFY(dataFolder().contains(QLatin1String("Kettrel GmbH")));
    }

    void oneAnnouncementPerLoad_data() {
        QTest::addColumn<TFaultyHttpServer::TAnswer>("answer");
        QTest::addColumn<int>("urlKind");
        QTest::addColumn<QByteArray>("backup");
        QTest::addColumn<int>("errorTimerMs");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QByteArray>("backupAfter");
        using S = TFaultyHttpServer;
        const int wait = 60000;
        const int shortWait = 300;
        QTest::newRow("200") << S::ok(SERVED) << int(URL_SERVED) << QByteArray() << wait << "network"
                             << SERVED;
        QTest::newRow("200 replaces backup")
            << S::ok(SERVED) << int(URL_SERVED) << BACKUP << wait << "network" << SERVED;
        QTest::newRow("404 ignores backup")
            << S::status(404) << int(URL_SERVED) << BACKUP << wait << "failed" << BACKUP;
        QTest::newRow("403 ignores backup")
            << S::status(403) << int(URL_SERVED) << BACKUP << wait << "failed" << BACKUP;
        QTest::newRow("500 takes backup")
            << S::status(500) << int(URL_SERVED) << BACKUP << wait << "backup" << BACKUP;
        QTest::newRow("500 without backup")
            << S::status(500) << int(URL_SERVED) << QByteArray() << wait << "failed" << QByteArray();
        QTest::newRow("refused takes backup")
            << S::ok(SERVED) << int(URL_REFUSED) << BACKUP << wait << "backup" << BACKUP;
        QTest::newRow("stall then late success") << S::delayed(2000, S::ok(SERVED)) << int(URL_SERVED)
                                                 << BACKUP << shortWait << "backup" << BACKUP;
        QTest::newRow("stall then late failure") << S::delayed(2000, S::status(500)) << int(URL_SERVED)
                                                 << BACKUP << shortWait << "backup" << BACKUP;
        QTest::newRow("stall then late 404") << S::delayed(2000, S::status(404)) << int(URL_SERVED) << BACKUP
                                             << shortWait << "backup" << BACKUP;
        QTest::newRow("empty body") << S::ok(QByteArray()) << int(URL_SERVED) << BACKUP << wait << "failed"
                                    << BACKUP;
        QTest::newRow("not JSON") << S::ok("<html>busy</html>") << int(URL_SERVED) << BACKUP << wait
                                  << "failed" << BACKUP;
        QTest::newRow("empty URL takes backup once")
            << S::ok(SERVED) << int(URL_EMPTY) << BACKUP << wait << "backup" << BACKUP;
        QTest::newRow("empty URL without backup")
            << S::ok(SERVED) << int(URL_EMPTY) << QByteArray() << wait << "failed" << QByteArray();
        QTest::newRow("damaged backup") << S::ok(SERVED) << int(URL_REFUSED) << QByteArray("{\"packages\": [")
                                        << wait << "disk" << QByteArray("{\"packages\": [");
    }

    void oneAnnouncementPerLoad() {
        QFETCH(TFaultyHttpServer::TAnswer, answer);
        QFETCH(int, urlKind);
        QFETCH(QByteArray, backup);
        QFETCH(int, errorTimerMs);
        QFETCH(QString, expected);
        QFETCH(QByteArray, backupAfter);

        if (!backup.isEmpty())
            QVERIFY(TLauncherBundle::writeFile(backupPath(), backup));
        TFaultyHttpServer server;
        QVERIFY(server.isListening());
        server.setAnswers(CONFIGURATION_PATH, {answer});
        const QUrl url = urlKind == URL_SERVED    ? server.url(CONFIGURATION_PATH)
                         : urlKind == URL_REFUSED ? refusedUrl()
                                                  : QUrl();

        THarness harness;
        harness.handler.setConfigurationUrl(url);
        harness.handler.setErrorTimerInterval(errorTimerMs);
        harness.handler.loadMainConfiguration();
        harness.settle();

        QCOMPARE(harness.announcements(), 1);
        const QString outcome = harness.failed.count()                 ? QStringLiteral("failed")
                                : harness.disk.count()                 ? QStringLiteral("disk")
                                : harness.handler.isLoadedFromBackup() ? QStringLiteral("backup")
                                                                       : QStringLiteral("network");
        QCOMPARE(outcome, expected);
        if (outcome == QLatin1String("network") || outcome == QLatin1String("backup")) {
            QVERIFY(harness.handler.getMainConfiguration());
            QCOMPARE(harness.handler.getMainConfiguration()->rawJsonData(),
                     outcome == "network" ? SERVED : BACKUP);
        }
        QCOMPARE(TLauncherBundle::readFile(backupPath()), backupAfter);
        // No temporary file of the atomic write is left beside the backup.
        QCOMPARE(QDir(dataFolder()).entryList(QDir::Files | QDir::Hidden).size(),
                 backupAfter.isEmpty() ? 0 : 1);
    }

    // From the network: the launcher's and the clients' documents for this machine; documents that
    // fail, are empty or are refused by the reader leave their build without configuration.
    void packageDocumentsFromTheNetwork() {
        TFaultyHttpServer server;
        const QString catalogue =
            QStringLiteral("{\"launcher\": %1, \"packages\": [%2]}")
                .arg(packageObject(QStringLiteral("Launcher"), buildObject(QStringLiteral("l/package.json"))),
                     QStringList{
                         packageObject(QStringLiteral("Good"),
                                       buildObject(QStringLiteral("good/package.json"),
                                                   QStringLiteral("shared/assets.json"))),
                         packageObject(QStringLiteral("AlsoGood"),
                                       buildObject(QStringLiteral("also/package.json"),
                                                   QStringLiteral("shared/assets.json"))),
                         packageObject(QStringLiteral("Escapes"),
                                       buildObject(QStringLiteral("escapes/package.json"))),
                         packageObject(QStringLiteral("NotJson"),
                                       buildObject(QStringLiteral("notjson/package.json"))),
                         packageObject(QStringLiteral("Empty"),
                                       buildObject(QStringLiteral("empty/package.json"))),
                         packageObject(QStringLiteral("BrokenAssets1"),
                                       buildObject(QStringLiteral("b1/package.json"),
                                                   QStringLiteral("broken/assets.json"))),
                         packageObject(QStringLiteral("BrokenAssets2"),
                                       buildObject(QStringLiteral("b2/package.json"),
                                                   QStringLiteral("broken/assets.json"))),
                         packageObject(QStringLiteral("BadUrl"), buildObject(QStringLiteral("http://[::1"))),
                         packageObject(QStringLiteral("OtherMachine"),
                                       buildObject(QStringLiteral("other/package.json"), QString(),
                                                   QStringLiteral("windows")))}
                         .join(QLatin1Char(',')));
        server.setAnswers(CONFIGURATION_PATH, {TFaultyHttpServer::ok(catalogue.toUtf8())});
        server.setAnswers(QStringLiteral("/launcher/l/package.json"),
                          {TFaultyHttpServer::ok(packageDocument("7"))});
        server.setAnswers(QStringLiteral("/launcher/good/package.json"),
                          {TFaultyHttpServer::ok(packageDocument("1.0"))});
        server.setAnswers(QStringLiteral("/launcher/also/package.json"),
                          {TFaultyHttpServer::delayed(500, TFaultyHttpServer::ok(packageDocument("2.0")))});
        server.setAnswers(QStringLiteral("/launcher/shared/assets.json"),
                          {TFaultyHttpServer::ok(assetDocument("9"))});
        server.setAnswers(QStringLiteral("/launcher/escapes/package.json"),
                          {TFaultyHttpServer::ok(packageDocument("1", QStringLiteral("../../outside")))});
        server.setAnswers(QStringLiteral("/launcher/notjson/package.json"),
                          {TFaultyHttpServer::ok("not json")});
        server.setAnswers(QStringLiteral("/launcher/empty/package.json"),
                          {TFaultyHttpServer::ok(QByteArray())});
        server.setAnswers(QStringLiteral("/launcher/b1/package.json"),
                          {TFaultyHttpServer::ok(packageDocument("3"))});
        server.setAnswers(QStringLiteral("/launcher/b2/package.json"),
                          {TFaultyHttpServer::ok(packageDocument("4"))});
        // "/launcher/broken/assets.json" has no answer: 404.

        THarness harness;
        harness.handler.setConfigurationUrl(server.url(CONFIGURATION_PATH));
        connect(&harness.handler, &TLauncherConfigurationHandler::mainConfigurationLoaded, &harness.handler,
                &TLauncherConfigurationHandler::loadPackageConfigurationsOfSameArchitectureAndOS);
        harness.handler.loadMainConfiguration();
        QTRY_COMPARE_WITH_TIMEOUT(harness.finished.count(), 1, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(harness.pool->getNumberOfUnfinishedDownloads() == 0, 60000);
        QTest::qWait(200);
        QCOMPARE(harness.finished.count(), 1);
        QCOMPARE(harness.loaded.count(), 1);
        QCOMPARE(server.attempts(QStringLiteral("/launcher/shared/assets.json")), 1);
        QCOMPARE(server.attempts(QStringLiteral("/launcher/other/package.json")), 0);

        const auto reader = harness.handler.getMainConfiguration();
        QVERIFY(reader);
        QVERIFY(harness.handler.getLauncherConfiguration());
        QCOMPARE(harness.handler.getLauncherConfiguration()->packageVersion(), QStringLiteral("7"));
        for (const char* name : {"Good", "AlsoGood"}) {
            const TPackageConfigurationReader* configuration =
                packageNamed(*reader, QLatin1String(name))->matchingPackageConfiguration();
            QVERIFY2(configuration, name);
            QCOMPARE(configuration->assetVersion(), QStringLiteral("9"));
        }
        for (const char* name : {"Escapes", "NotJson", "Empty", "BrokenAssets1", "BrokenAssets2", "BadUrl"})
            QVERIFY2(!packageNamed(*reader, QLatin1String(name))->matchingPackageConfiguration(), name);
        QCOMPARE(reader->packagesFilteredByLocalArchitectureAndOS().size(), size_t(2));
    }

    void hints_data() {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("selected");
        QTest::newRow("one displayable") << QByteArray(R"([{"title":"a","richText":"x"}])") << "a";
        QTest::newRow("none displayable")
            << QByteArray(R"([{"title":"old","richText":"x","displayUntil":"2020-01-01T00:00:00Z"}])") << "";
        QTest::newRow("not JSON") << QByteArray("<html>") << "";
    }

    void hints() {
        QFETCH(QByteArray, document);
        QFETCH(QString, selected);
        TFaultyHttpServer server;
        server.setAnswers(QStringLiteral("/hints.json"), {TFaultyHttpServer::ok(document)});
        server.setAnswers(
            CONFIGURATION_PATH,
            {TFaultyHttpServer::ok(QStringLiteral("{\"hints\": \"%1\"}")
                                       .arg(server.url(QStringLiteral("/hints.json")).toString())
                                       .toUtf8())});
        THarness harness;
        QSignalSpy hint(&harness.handler, &TLauncherConfigurationHandler::hintAreaDataReceived);
        QSignalSpy hints(&harness.handler, &TLauncherConfigurationHandler::hintsAreaDataReceived);
        harness.handler.setConfigurationUrl(server.url(CONFIGURATION_PATH));
        harness.handler.loadMainConfiguration();
        QTRY_COMPARE_WITH_TIMEOUT(harness.loaded.count(), 1, 60000);
        harness.handler.loadHintAreaData();
        QTRY_COMPARE_WITH_TIMEOUT(server.attempts(QStringLiteral("/hints.json")), 1, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(harness.pool->getNumberOfUnfinishedDownloads() == 0, 60000);
        QTest::qWait(100);
        QCOMPARE(hint.count(), selected.isEmpty() ? 0 : 1);
        QCOMPARE(hints.count(), hint.count());
        QCOMPARE(harness.handler.getHintAreaData().title(), selected);
        // The hints URL is not the configuration URL: nothing was announced a second time.
        QCOMPARE(harness.announcements(), 1);
    }

    // From the backup: only the copies inside the installed packages are read; the launcher gets
    // nothing, and an installation without an asset document still counts.
    void offlineModeReadsInstalledDocuments() {
        const QString catalogue =
            QStringLiteral("{\"launcher\": %1, \"packages\": [%2]}")
                .arg(packageObject(QStringLiteral("Launcher"),
                                   buildObject(QStringLiteral("http://127.0.0.1:1/l.json"))),
                     QStringList{packageObject(QStringLiteral("Installed"),
                                               buildObject(QStringLiteral("http://127.0.0.1:1/i.json"),
                                                           QStringLiteral("http://127.0.0.1:1/ia.json"))),
                                 packageObject(QStringLiteral("NoAssets"),
                                               buildObject(QStringLiteral("http://127.0.0.1:1/n.json"),
                                                           QStringLiteral("http://127.0.0.1:1/na.json"))),
                                 packageObject(QStringLiteral("Missing"),
                                               buildObject(QStringLiteral("http://127.0.0.1:1/m.json")))}
                         .join(QLatin1Char(',')));
        QVERIFY(TLauncherBundle::writeFile(backupPath(), catalogue.toUtf8()));
        const QString packages = dataFolder() + QStringLiteral("/packages");
        QVERIFY(TLauncherBundle::writeFile(packages + "/Installed.app/package.json", packageDocument("5")));
        QVERIFY(TLauncherBundle::writeFile(packages + "/Installed.app/assets.json", assetDocument("6")));
        QVERIFY(TLauncherBundle::writeFile(packages + "/NoAssets.app/package.json", packageDocument("8")));

        THarness harness;
        harness.handler.setConfigurationUrl(refusedUrl());
        connect(&harness.handler, &TLauncherConfigurationHandler::mainConfigurationLoaded, &harness.handler,
                &TLauncherConfigurationHandler::loadPackageConfigurationsOfSameArchitectureAndOS);
        harness.handler.loadMainConfiguration();
        QTRY_COMPARE_WITH_TIMEOUT(harness.finished.count(), 1, 60000);
        QVERIFY(harness.handler.isLoadedFromBackup());
        QCOMPARE(harness.loaded.count(), 1);

        const auto reader = harness.handler.getMainConfiguration();
        QVERIFY(!harness.handler.getLauncherConfiguration());
        const TPackageConfigurationReader* installed =
            packageNamed(*reader, QStringLiteral("Installed"))->matchingPackageConfiguration();
        QVERIFY(installed);
        QCOMPARE(installed->combinedPackageAndAssetVersion(), QStringLiteral("P5 A6"));
        const TPackageConfigurationReader* noAssets =
            packageNamed(*reader, QStringLiteral("NoAssets"))->matchingPackageConfiguration();
        QVERIFY(noAssets);
        QCOMPARE(noAssets->packageVersion(), QStringLiteral("8"));
        QVERIFY(!packageNamed(*reader, QStringLiteral("Missing"))->matchingPackageConfiguration());
    }
};

int main(int argc, char* argv[]) {
    TTestHome home;
    home.applyToThisProcess();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orvane Online"));
    QCoreApplication::setOrganizationName(QStringLiteral("Kettrel GmbH"));
    TestConfigurationHandler test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_configurationhandler.moc"
