// The survey document and its upload: golden documents from fixed records, the request as a
// recording server on loopback receives it, and how each kind of reply is read.
#include "shared/machineidentifier.h"
#include "systemsurvey/jsondocumenthttppostsender.h"
#include "systemsurvey/systemsurveyasjsondocumentcreator.h"
#include "systemsurvey/systemsurveytojsonconverter.h"
#include "systemsurvey/systemsurveyuploader.h"
#include "systemsurvey/systemsurveyvalueretriever.h"

#include "recordinghttpserver.h"

#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <limits>

#include <unistd.h>

using namespace systemsurvey;

Q_DECLARE_METATYPE(TSystemSurvey)

namespace {

// Hands out a fixed document, optionally after a pause (as a slow helper program would cause).
class TFixedDocumentCreator : public TSystemSurveyAsJsonDocumentCreator {
public:
    explicit TFixedDocumentCreator(const QJsonDocument& document, unsigned long delayMs = 0)
        : TSystemSurveyAsJsonDocumentCreator(nullptr, nullptr), m_Document(document), m_DelayMs(delayMs) {}
    QJsonDocument create() const override {
        QThread::msleep(m_DelayMs);
        return m_Document;
    }

private:
    QJsonDocument m_Document;
    unsigned long m_DelayMs;
};

QJsonDocument fixedDocument() {
    return QJsonDocument(QJsonObject{{"dataType", 0}, {"clientID", "fixture"}, {"monitors", QJsonArray()}});
}

std::unique_ptr<TSystemSurveyUploader> makeUploader(const QUrl& url, const QJsonDocument& document,
                                                    unsigned long delayMs = 0) {
    return std::make_unique<TSystemSurveyUploader>(url,
                                                   std::make_shared<TFixedDocumentCreator>(document, delayMs),
                                                   std::make_shared<shared::TJsonDocumentHttpPostSender>());
}

QUrl refusingUrl() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return QUrl(QStringLiteral("http://127.0.0.1:%1/survey").arg(port));
}

} // namespace

class TestSurveyUpload : public QObject {
    Q_OBJECT

private slots:
    void goldenDocument_data();
    void goldenDocument();
    void requestAndReply_data();
    void requestAndReply();
    void droppedWhenDestroyedWhileCollecting();
    void usableEndpoints_data();
    void usableEndpoints();
    void thisMachineReachesTheEndpoint();
};

void TestSurveyUpload::goldenDocument_data() {
    QTest::addColumn<TSystemSurvey>("survey");
    QTest::addColumn<QByteArray>("json");

    // Every optional key present; counts beyond 32 bits keep their low 32 bits.
    QTest::newRow("optional keys present")
        << TSystemSurvey(
               {{1920, 1080, true, 60}, {2560, 1440, false, (1ull << 32) + 144}},
               {"Linux", "Debian GNU/Linux 12 (bookworm)", "6.1.0-13-amd64"}, 17179869184ull,
               TCPUInformation("Intel", "Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz", true, true, true, 1,
                               (1ull << 32) + 1, 6, 12, 3192.5),
               {TGPUInformation("NVIDIA Corporation AD102", 25769803776ull, 0x10de, 0x2684, "535.54.03")})
        << QByteArray(
               R"j({"clientID":"client-1","cpu":{"64Bit":true,"NUMANumber":1,)j"
               R"j("brandName":"Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz","clockSpeed":3192.5,"coreNumber":6,)j"
               R"j("logicalCoreNumber":12,"manufacturer":"Intel","physicalNumber":1,"sse":true,"sse2":true},)j"
               R"j("dataType":0,"gpu":[{"deviceId":9860,"deviceString":"NVIDIA Corporation AD102",)j"
               R"j("driverVersion":"535.54.03","vendorId":4318,"videoMemorySize":25769803776}],)j"
               R"j("mainMemorySize":17179869184,"monitors":[{"height":1080,"primary":true,"refreshRate":60,)j"
               R"j("width":1920},{"height":1440,"primary":false,"refreshRate":144,"width":2560}],)j"
               R"j("operatingSystem":{"baseSystem":"Linux","name":"Debian GNU/Linux 12 (bookworm)",)j"
               R"j("release":"6.1.0-13-amd64"}})j");

    // What a machine that reports nothing sends: no release, an adapter without ids or driver.
    QTest::newRow("optional keys absent")
        << TSystemSurvey({}, {"Mac", "macOS Mojave (10.14)", ""}, 0,
                         TCPUInformation(QStringLiteral("Unknown Manufacturer"),
                                         QStringLiteral("Acquiring Brand Name not supported"), false, false,
                                         false, 0, 0, 0, 0, 0.0),
                         {TGPUInformation("not found", 0, 0, 0, "")})
        << QByteArray(R"j({"clientID":"client-1","cpu":{"64Bit":false,"NUMANumber":0,)j"
                      R"j("brandName":"Acquiring Brand Name not supported","clockSpeed":0,"coreNumber":0,)j"
                      R"j("logicalCoreNumber":0,"manufacturer":"Unknown Manufacturer","physicalNumber":0,)j"
                      R"j("sse":false,"sse2":false},"dataType":0,"gpu":[{"deviceString":"not found",)j"
                      R"j("videoMemorySize":0}],"mainMemorySize":0,"monitors":[],)j"
                      R"j("operatingSystem":{"baseSystem":"Mac","name":"macOS Mojave (10.14)"}})j");

    // A saturated size is written as the largest exact JSON integer, not wrapped or rounded.
    QTest::newRow("saturated sizes")
        << TSystemSurvey({}, {"Linux", "x", ""}, std::numeric_limits<quint64>::max(), TCPUInformation(),
                         {TGPUInformation("g", std::numeric_limits<quint64>::max(), 0, 0, "")})
        << QByteArray(
               R"j({"clientID":"client-1","cpu":{"64Bit":false,"NUMANumber":0,"brandName":"",)j"
               R"j("clockSpeed":0,"coreNumber":0,"logicalCoreNumber":0,"manufacturer":"","physicalNumber":0,)j"
               R"j("sse":false,"sse2":false},"dataType":0,"gpu":[{"deviceString":"g",)j"
               R"j("videoMemorySize":9007199254740992}],"mainMemorySize":9007199254740992,)j"
               R"j("monitors":[],"operatingSystem":{"baseSystem":"Linux","name":"x"}})j");
}

void TestSurveyUpload::goldenDocument() {
    QFETCH(TSystemSurvey, survey);
    QFETCH(QByteArray, json);
    QCOMPARE(TSystemSurveyToJsonConverter::convertSystemSurvey(survey, QStringLiteral("client-1"))
                 .toJson(QJsonDocument::Compact),
             json);

    // Through the converter object the client is this machine's anonymous identifier.
    const QJsonObject object = TSystemSurveyToJsonConverter().convertSystemSurveyDelegated(survey).object();
    QCOMPARE(object.value("clientID").toString(), shared::TMachineIdentifier::getUniqueIdentifier());
    QCOMPARE(object.value("clientID").toString().size(), 40);
}

void TestSurveyUpload::requestAndReply_data() {
    QTest::addColumn<bool>("refused");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("success");
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<QString>("errorMessage"); // a regular expression

    QJsonParseError parseError;
    QJsonDocument::fromJson("<html>busy</html>", &parseError);

    QTest::newRow("empty object") << false << 200 << QByteArray("{}") << true << 0 << "^$";
    QTest::newRow("error code 0") << false << 200 << QByteArray(R"j({"errorCode":0})j") << true << 0 << "^$";
    QTest::newRow("error code 5") << false << 200 << QByteArray(R"j({"errorCode":5,"errorMessage":"x"})j")
                                  << false << 5 << "^x$";
    QTest::newRow("not JSON") << false << 200 << QByteArray("<html>busy</html>") << false << -100
                              << QStringLiteral("^%1$").arg(
                                     QRegularExpression::escape(parseError.errorString()));
    QTest::newRow("JSON but no object")
        << false << 200 << QByteArray("[0]") << false << -100 << "^The reply is not a JSON object$";
    QTest::newRow("server error status") << false << 500 << QByteArray(R"j({"errorCode":0})j") << false << 0
                                         << "Internal Server Error|server replied";
    QTest::newRow("reply too large") << false << 200 << QByteArray(3 * 1024 * 1024, ' ') << false << 0
                                     << "^The reply is larger than 1048576 bytes$";
    QTest::newRow("connection refused") << true << 0 << QByteArray() << false << 0 << "[Cc]onnection refused";
}

void TestSurveyUpload::requestAndReply() {
    QFETCH(bool, refused);
    QFETCH(int, status);
    QFETCH(QByteArray, reply);
    QFETCH(bool, success);
    QFETCH(int, errorCode);
    QFETCH(QString, errorMessage);

    TRecordingHttpServer server;
    QVERIFY(server.isListening());
    server.setReply(reply, status);
    const QUrl url = refused ? refusingUrl() : server.url(QStringLiteral("/survey?v=1"));
    const auto uploader = makeUploader(url, fixedDocument());
    QSignalSpy finished(uploader.get(), &TSystemSurveyUploader::finished);
    if (success)
        QTest::ignoreMessage(QtInfoMsg,
                             qPrintable(QStringLiteral("System survey uploaded to %1").arg(url.toString())));
    else
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(QStringLiteral("^System survey upload to %1 failed \\(error code %2\\)")
                                   .arg(QRegularExpression::escape(url.toString()))
                                   .arg(errorCode)));

    uploader->requestsSystemSurveyAndUploadToServer();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
    QCOMPARE(finished.at(0).at(0).toBool(), success);
    QCOMPARE(uploader->getErrorCode(), errorCode);
    QVERIFY2(QRegularExpression(errorMessage).match(uploader->getErrorMessage()).hasMatch(),
             qPrintable(uploader->getErrorMessage()));
    const QJsonDocument replyDocument = finished.at(0).at(1).value<QJsonDocument>();
    QCOMPARE(replyDocument.isObject(), reply.startsWith('{') && status == 200);

    if (refused) {
        QCOMPARE(server.requestCount(), 0);
        return;
    }
    const QList<TRecordingHttpServer::TRequest> requests = server.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0].method, QByteArray("POST"));
    QCOMPARE(requests[0].target, QByteArray("/survey?v=1"));
    QCOMPARE(requests[0].headers.value("content-type"), QByteArray("application/json"));
    QCOMPARE(requests[0].headers.value("content-disposition"), QByteArray(R"j(form-data; name="metadata")j"));
    QCOMPARE(requests[0].body, fixedDocument().toJson(QJsonDocument::Compact));
}

// Collection runs on a worker thread; an uploader destroyed meanwhile drops the survey.
void TestSurveyUpload::droppedWhenDestroyedWhileCollecting() {
    TRecordingHttpServer server;
    auto uploader = makeUploader(server.url(QStringLiteral("/survey")), fixedDocument(), 300);
    uploader->requestsSystemSurveyAndUploadToServer();
    uploader.reset();
    QThreadPool::globalInstance()->waitForDone(10000);
    QTest::qWait(200);
    QCOMPARE(server.requestCount(), 0);
}

void TestSurveyUpload::usableEndpoints_data() {
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<bool>("usable");
    QTest::newRow("none") << QUrl() << false;
    QTest::newRow("relative") << QUrl("survey/upload") << false;
    QTest::newRow("file") << QUrl("file:///tmp/survey") << false;
    QTest::newRow("no host") << QUrl("http:///survey") << false;
    QTest::newRow("http") << QUrl("http://127.0.0.1:8080/survey") << true;
    QTest::newRow("https") << QUrl("HTTPS://survey.example/upload") << true;
}

void TestSurveyUpload::usableEndpoints() {
    QFETCH(QUrl, url);
    QFETCH(bool, usable);
    QCOMPARE(TSystemSurveyUploader::isUsableEndpoint(url), usable);
}

// The whole chain on this machine: the values posted are the machine's.
void TestSurveyUpload::thisMachineReachesTheEndpoint() {
    TRecordingHttpServer server;
    const auto uploader = TSystemSurveyUploader::createForThisSystem(server.url(QStringLiteral("/hw")));
    QSignalSpy finished(uploader.get(), &TSystemSurveyUploader::finished);
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression("^System survey uploaded to "));
    uploader->requestsSystemSurveyAndUploadToServer();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 60000);
    QVERIFY(finished.at(0).at(0).toBool());

    QCOMPARE(server.requestCount(), 1);
    const QJsonObject survey = QJsonDocument::fromJson(server.requests().at(0).body).object();
    QCOMPARE(survey.value("dataType").toInt(-1), 0);
    QCOMPARE(survey.value("clientID").toString(), shared::TMachineIdentifier::getUniqueIdentifier());
    QCOMPARE(survey.value("cpu").toObject().value("logicalCoreNumber").toInt(),
             int(sysconf(_SC_NPROCESSORS_ONLN)));
    QCOMPARE(qint64(survey.value("mainMemorySize").toDouble()),
             qint64(sysconf(_SC_PHYS_PAGES)) * qint64(sysconf(_SC_PAGESIZE)));
    QCOMPARE(survey.value("monitors").toArray().size(), QGuiApplication::screens().size());
    QVERIFY(!survey.value("gpu").toArray().isEmpty());
}

QTEST_MAIN(TestSurveyUpload)
#include "tst_surveyupload.moc"
