// The real launcher, started in a private home against a catalogue served by nginx on loopback:
// when the catalogue names a survey endpoint, a recording server there receives one survey that
// describes this machine; without one, nothing is posted.
#include "launcherbundle.h"
#include "nginxfixture.h"
#include "recordinghttpserver.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

class TestSurveyProcess : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void surveyReachesTheEndpoint();
    void noEndpointNoRequest();
    void silentEndpointDoesNotHoldTheLauncher();

private:
    // Publishes a small client and serves the tree; surveyUrl empty: the catalogue names none.
    void startLauncher(const QUrl& surveyUrl, TLauncherRun& run);

    QTemporaryDir m_work;
};

void TestSurveyProcess::initTestCase() {
    QVERIFY(m_work.isValid());
}

void TestSurveyProcess::startLauncher(const QUrl& surveyUrl, TLauncherRun& run) {
    const QString tool = QStringLiteral(ORVANE_PUBLISH_EXECUTABLE);
    const QString web =
        m_work.filePath(surveyUrl.isEmpty() ? QStringLiteral("web-plain") : QStringLiteral("web"));
    const QByteArray failure = publishSmallClient(tool, m_work.path(), web);
    QVERIFY2(failure.isEmpty(), failure.constData());
    if (!surveyUrl.isEmpty()) {
        const TPublishResult named = runPublishTool(
            tool, {QStringLiteral("catalogue"), web + QStringLiteral("/vammetadata.json"),
                   QStringLiteral("--hardwaresurvey"), surveyUrl.toString(QUrl::FullyEncoded)});
        QVERIFY2(named.ok, named.output.constData());
    }
    TNginxFixture nginx(web);
    QVERIFY2(nginx.start(), qPrintable(nginx.errorText()));

    TLauncherBundle bundle(QStringLiteral(ORVANE_LAUNCHER_EXECUTABLE));
    QVERIFY(bundle.isReady());
    TLauncherSettingsValues settings;
    settings.configurationUrl = nginx.url(QStringLiteral("vammetadata.json"));
    settings.cdnDiagnosticsTraceUrl = nginx.url(QStringLiteral("cdn-cgi/trace"));
    QVERIFY(bundle.writeSettings(settings));
    run = bundle.run({}, 120000);
    QVERIFY2(!run.timedOut, run.log.constData());
    QVERIFY2(run.exitCode == 0, run.output.constData());
}

void TestSurveyProcess::surveyReachesTheEndpoint() {
    TRecordingHttpServer survey;
    QVERIFY(survey.isListening());
    survey.setReply(R"({"errorCode":0})");
    const QUrl endpoint = survey.url(QStringLiteral("/hardwaresurvey/upload"));
    TLauncherRun run;
    startLauncher(endpoint, run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(survey.requestCount(), 1);
    const TRecordingHttpServer::TRequest request = survey.requests().at(0);
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/hardwaresurvey/upload"));
    QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
    QJsonParseError error;
    const QJsonObject document = QJsonDocument::fromJson(request.body, &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, request.body.constData());
    QCOMPARE(document.value("dataType").toInt(-1), 0);
    QCOMPARE(document.value("clientID").toString().size(), 40);
    const QJsonObject cpu = document.value("cpu").toObject();
    QCOMPARE(cpu.value("logicalCoreNumber").toInt(), int(sysconf(_SC_NPROCESSORS_ONLN)));
    QCOMPARE(qint64(document.value("mainMemorySize").toDouble()),
             qint64(sysconf(_SC_PHYS_PAGES)) * qint64(sysconf(_SC_PAGESIZE)));
    QCOMPARE(document.value("operatingSystem").toObject().value("baseSystem").toString(),
             QStringLiteral("Linux"));
    QVERIFY(!document.value("gpu").toArray().isEmpty());

    QVERIFY2(run.log.contains("System survey uploaded to " + endpoint.toString().toUtf8()),
             run.log.constData());
    // The configuration phase went on to its end.
    QVERIFY2(run.log.contains("Launcher ready for action"), run.log.constData());
}

void TestSurveyProcess::noEndpointNoRequest() {
    TRecordingHttpServer survey;
    TLauncherRun run;
    startLauncher(QUrl(), run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(survey.requestCount(), 0);
    QVERIFY2(run.log.contains("submitSystemSurvey: no survey endpoint"), run.log.constData());
    QVERIFY(!run.log.contains("System survey upload"));
}

// An endpoint that accepts the connection and never answers: the launcher still ends, after a
// short grace for the upload, with the configuration phase complete.
void TestSurveyProcess::silentEndpointDoesNotHoldTheLauncher() {
    // Not served by an event loop while the launcher runs: the kernel accepts, nobody answers.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    QElapsedTimer clock;
    clock.start();
    TLauncherRun run;
    startLauncher(QUrl(QStringLiteral("http://127.0.0.1:%1/survey").arg(silent.serverPort())), run);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(run.log.contains("Launcher ready for action"), run.log.constData());
    QVERIFY(!run.log.contains("System survey uploaded"));
    QVERIFY2(clock.elapsed() < 60000, qPrintable(QString::number(clock.elapsed())));
}

QTEST_MAIN(TestSurveyProcess)
#include "tst_surveyprocess.moc"
