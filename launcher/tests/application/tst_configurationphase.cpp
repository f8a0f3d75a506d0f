// The real launcher, copied into a private bundle with its own settings file, loads a tree that
// orvane-publish wrote and nginx serves on loopback: what it logs, the backup it keeps, its exit
// code, and the messages it ends with when the service is down or the backup is damaged.
#include "faultyhttpserver.h"
#include "launcherbundle.h"
#include "nginxfixture.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char MAINTENANCE_TEXT[] = "Orvane Online is currently down for maintenance. Please try again later.";
const char FILE_ERROR_TEXT[] = "A critical error occurred while accessing a file:";
const QByteArray OLD_BACKUP = "{\"packages\": [], \"old\": true}";

QUrl refusedUrl() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return QUrl(QStringLiteral("http://127.0.0.1:%1/vammetadata.json").arg(port));
}

int countOf(const QByteArray& text, const QByteArray& part) {
    int count = 0;
    for (int at = text.indexOf(part); at >= 0; at = text.indexOf(part, at + 1))
        ++count;
    return count;
}

} // namespace

class TestConfigurationPhase : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_Work;
    std::unique_ptr<TNginxFixture> m_Nginx;
    QString m_WebFolder;

    std::unique_ptr<TLauncherBundle> makeBundle(const QUrl& configurationUrl, qint64 waitMs = 60000,
                                                qint64 errorMs = 30000) {
        auto bundle = std::make_unique<TLauncherBundle>(QStringLiteral(ORVANE_LAUNCHER_EXECUTABLE));
        TLauncherSettingsValues settings;
        settings.configurationUrl = configurationUrl;
        settings.waitNotificationTimeoutMs = waitMs;
        settings.downloadErrorTimeoutMs = errorMs;
        if (!bundle->isReady() || !bundle->writeSettings(settings))
            return nullptr;
        return bundle;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_Work.isValid());
        m_WebFolder = m_Work.path() + QStringLiteral("/web");
        const QByteArray failure =
            publishSmallClient(qEnvironmentVariable("ORVANE_PUBLISH"), m_Work.path(), m_WebFolder);
        QVERIFY2(failure.isEmpty(), failure.constData());
        m_Nginx = std::make_unique<TNginxFixture>(m_WebFolder);
        QVERIFY2(m_Nginx->start(), qPrintable(m_Nginx->errorText()));
    }

    void onlineStartLoadsTheServedTree() {
        const auto bundle = makeBundle(m_Nginx->url(QStringLiteral("vammetadata.json")));
        QVERIFY(bundle);
        QVERIFY(TLauncherBundle::writeFile(bundle->backupPath(), OLD_BACKUP));
        const TLauncherRun run = bundle->run();
        QVERIFY2(run.exitCode == 0, run.log.constData());
        QCOMPARE(TLauncherBundle::readFile(bundle->backupPath()),
                 TLauncherBundle::readFile(m_WebFolder + QStringLiteral("/vammetadata.json")));
        QVERIFY2(run.log.contains("onMainConfigurationLoaded network"), run.log.constData());
        QVERIFY2(run.log.contains("Package \"Orvane Online\" configuration: \"P1.0.0 A1.0.0\""),
                 run.log.constData());
        QVERIFY2(run.log.contains("Launcher ready for action"), run.log.constData());
        QVERIFY2(!run.log.contains("Message box shown"), run.log.constData());
        QCOMPARE(countOf(run.log, "showWaitSplashScreen"), 0);
    }

    void configurationNotFoundIsMaintenance() {
        const auto bundle = makeBundle(m_Nginx->url(QStringLiteral("no-such/vammetadata.json")));
        QVERIFY(bundle);
        QVERIFY(TLauncherBundle::writeFile(bundle->backupPath(), OLD_BACKUP));
        const TLauncherRun run = bundle->run();
        QVERIFY2(run.exitCode == 1, run.log.constData());
        QCOMPARE(countOf(run.log, MAINTENANCE_TEXT), 1);
        QVERIFY2(!run.log.contains("Launcher ready for action"), run.log.constData());
        QCOMPARE(TLauncherBundle::readFile(bundle->backupPath()), OLD_BACKUP);
    }

    void unreachableService_data() {
        QTest::addColumn<bool>("withBackup");
        QTest::newRow("with backup") << true;
        QTest::newRow("without backup") << false;
    }

    void unreachableService() {
        QFETCH(bool, withBackup);
        const auto bundle = makeBundle(refusedUrl());
        QVERIFY(bundle);
        if (withBackup)
            QVERIFY(TLauncherBundle::writeFile(bundle->backupPath(), OLD_BACKUP));
        const TLauncherRun run = bundle->run();
        if (withBackup) {
            QVERIFY2(run.exitCode == 0, run.log.constData());
            QVERIFY2(run.log.contains("onMainConfigurationLoaded backup"), run.log.constData());
            QVERIFY2(run.log.contains("Launcher ready for action"), run.log.constData());
            QCOMPARE(TLauncherBundle::readFile(bundle->backupPath()), OLD_BACKUP);
        } else {
            QVERIFY2(run.exitCode == 1, run.log.constData());
            QCOMPARE(countOf(run.log, MAINTENANCE_TEXT), 1);
            QVERIFY(!QFileInfo::exists(bundle->backupPath()));
        }
    }

    void slowConfigurationShowsOneSplash() {
        TFaultyHttpServer server;
        server.setAnswers(QStringLiteral("/vammetadata.json"),
                          {TFaultyHttpServer::delayed(2500, TFaultyHttpServer::ok("{\"packages\": []}"))});
        const auto bundle = makeBundle(server.url(QStringLiteral("/vammetadata.json")), 300, 60000);
        QVERIFY(bundle);
        const TLauncherRun run = bundle->run();
        QVERIFY2(run.exitCode == 0, run.log.constData());
        QCOMPARE(countOf(run.log, "showWaitSplashScreen"), 1);
        QVERIFY2(run.log.contains("onMainConfigurationLoaded network"), run.log.constData());
    }

    // With appendNocacheToPackageUrls every package and asset document is asked for with a fresh
    // "nocache" parameter; the configuration never is, and relative paths still resolve.
    void nocacheOnlyOnPackageDocuments() {
        TFaultyHttpServer server;
        server.setAnswers(QStringLiteral("/launcher/vammetadata.json"),
                          {TFaultyHttpServer::ok(
                              QStringLiteral(R"({"packages": [{"name": "Client", "directoryname": "Client",
                                 "builds": [{"os": "%1", "architecture": "%2", "url": "client/package.json",
                                             "assetsurl": "client/assets.json"}]}]})")
                                  .arg(TLauncherBundle::localOperatingSystemName(),
                                       TLauncherBundle::localArchitectureName())
                                  .toUtf8())});
        server.setAnswers(QStringLiteral("/launcher/client/package.json"),
                          {TFaultyHttpServer::ok(R"({"version": "3"})")});
        server.setAnswers(QStringLiteral("/launcher/client/assets.json"),
                          {TFaultyHttpServer::ok(R"({"version": "4"})")});
        auto bundle = std::make_unique<TLauncherBundle>(QStringLiteral(ORVANE_LAUNCHER_EXECUTABLE));
        TLauncherSettingsValues settings;
        settings.configurationUrl = server.url(QStringLiteral("/launcher/vammetadata.json"));
        settings.appendNocache = true;
        settings.waitNotificationTimeoutMs = 60000;
        QVERIFY(bundle->isReady() && bundle->writeSettings(settings));
        const TLauncherRun run = bundle->run();
        QVERIFY2(run.exitCode == 0, run.log.constData());
        QVERIFY2(run.log.contains("Package \"Client\" configuration: \"P3 A4\""), run.log.constData());
        const QRegularExpression nocache(
            QStringLiteral("^/launcher/client/(package|assets)\\.json\\?nocache=[A-Za-z0-9]{32}$"));
        QCOMPARE(server.requestTargets().size(), size_t(3));
        QCOMPARE(server.requestTargets().at(0), QByteArray("/launcher/vammetadata.json"));
        for (size_t index = 1; index < 3; ++index)
            QVERIFY2(nocache.match(QString::fromLatin1(server.requestTargets().at(index))).hasMatch(),
                     server.requestTargets().at(index).constData());
    }

    // The configuration arrives but its backup cannot be written (a folder holds its name): the
    // file error ends the launcher, and the configuration announced after it starts nothing.
    void unwritableBackupEndsTheLauncher() {
        const auto bundle = makeBundle(m_Nginx->url(QStringLiteral("vammetadata.json")));
        QVERIFY(bundle);
        QVERIFY(TLauncherBundle::writeFile(bundle->backupPath() + QStringLiteral("/occupied"), "x"));
        const TLauncherRun run = bundle->run();
        QVERIFY2(run.exitCode == 1, run.log.constData());
        QCOMPARE(countOf(run.log, FILE_ERROR_TEXT), 1);
        QVERIFY2(!run.log.contains("onMainConfigurationLoaded"), run.log.constData());
        QVERIFY2(!run.log.contains("Launcher ready for action"), run.log.constData());
    }

    void damagedBackupWithServiceUnreachable() {
        const auto bundle = makeBundle(refusedUrl());
        QVERIFY(bundle);
        QVERIFY(TLauncherBundle::writeFile(bundle->backupPath(), "{\"packages\": ["));
        const TLauncherRun run = bundle->run();
        QVERIFY2(run.exitCode == 1, run.log.constData());
        QCOMPARE(countOf(run.log, FILE_ERROR_TEXT), 1);
        QCOMPARE(countOf(run.log, MAINTENANCE_TEXT), 0);
        QCOMPARE(TLauncherBundle::readFile(bundle->backupPath()), QByteArray("{\"packages\": ["));
    }
};

QTEST_GUILESS_MAIN(TestConfigurationPhase)
#include "tst_configurationphase.moc"
