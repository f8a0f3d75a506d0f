// The download pool against real servers on loopback: nginx for the normal paths (queue order,
// de-duplication, both finish modes), and a misbehaving server of our own for failures.
#include "shared/downloadpool.h"

#include "faultyhttpserver.h"
#include "nginxfixture.h"

#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using shared::TDownloadPool;

Q_DECLARE_METATYPE(TFaultyHttpServer::TAnswer)

namespace {

std::shared_ptr<shared::QNetworkAccessManagerWrapper> makeManager() {
    return std::make_shared<shared::QNetworkAccessManagerWrapper>(std::make_shared<QNetworkAccessManager>());
}

QByteArray fileContent(int index) {
    return QByteArray("file ") + QByteArray::number(index) +
           QByteArray(1000 * (index + 1), char('a' + index));
}

} // namespace

class TestDownloadPool : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void queueOrderAndPrioritizing();
    void duplicateSubmissionsFetchOnce();
    void automaticFinishFreesSlotOnReport();
    void manualFinishKeepsSlotUntilMarked();
    void raisingTheMaximumStartsWaitingUrls();
    void invalidUrlIsReportedAtOnce();
    void percentEncodedUrlsAreFetched();
    void failureIsReportedOnce_data();
    void failureIsReportedOnce();
    void preventCaching();
    void slowRequestsAreAbortedOnTheirOwnWindow();
    void lowRateLimitRunsFewerAndCanBeLifted();

private:
    QUrl url(int index) const { return m_nginx->url(QStringLiteral("f%1.bin").arg(index)); }

    QTemporaryDir m_root;
    std::unique_ptr<TNginxFixture> m_nginx;
};

void TestDownloadPool::initTestCase() {
    QVERIFY(m_root.isValid());
    for (int index = 0; index < 6; ++index) {
        QFile file(m_root.filePath(QStringLiteral("f%1.bin").arg(index)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(fileContent(index));
    }
    m_nginx = std::make_unique<TNginxFixture>(m_root.path());
    QVERIFY2(m_nginx->start(), qPrintable(m_nginx->errorText()));
}

void TestDownloadPool::queueOrderAndPrioritizing() {
    TDownloadPool pool(0, makeManager(), nullptr, true);
    QSignalSpy success(&pool, &TDownloadPool::success);
    pool.Submit(url(0));
    pool.Submit(url(1));
    pool.Submit(url(2));
    pool.Submit(url(0));            // moves to the back: 1, 2, 0
    pool.SubmitPrioritized(url(2)); // moves to the front: 2, 1, 0
    QCOMPARE(pool.getNumberOfUnfinishedDownloads(), quint64(3));
    QCOMPARE(pool.GetActiveDownloads(), 0);

    pool.SetMaxConcurrentDownloads(1);
    QCOMPARE(pool.GetActiveDownloads(), 1);
    QTRY_COMPARE(success.count(), 3);
    QCOMPARE(success.at(0).at(0).toUrl(), url(2));
    QCOMPARE(success.at(1).at(0).toUrl(), url(1));
    QCOMPARE(success.at(2).at(0).toUrl(), url(0));
    QCOMPARE(success.at(0).at(1).toByteArray(), fileContent(2));
    QCOMPARE(pool.getNumberOfUnfinishedDownloads(), quint64(0));
}

void TestDownloadPool::duplicateSubmissionsFetchOnce() {
    TFaultyHttpServer server;
    QVERIFY(server.isListening());
    server.setAnswers("/a", {TFaultyHttpServer::ok("alpha")});
    TDownloadPool pool(2, makeManager(), nullptr, true);
    QSignalSpy success(&pool, &TDownloadPool::success);
    QSignalSpy failed(&pool, &TDownloadPool::failed);
    pool.Submit(server.url("/a"));
    pool.Submit(server.url("/a")); // running: dropped
    QCOMPARE(pool.getNumberOfUnfinishedDownloads(), quint64(1));
    QTRY_COMPARE(success.count(), 1);
    QTest::qWait(200);
    QCOMPARE(success.count(), 1);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(server.attempts("/a"), 1);
    QCOMPARE(success.at(0).at(1).toByteArray(), QByteArray("alpha"));
}

void TestDownloadPool::automaticFinishFreesSlotOnReport() {
    TDownloadPool pool(2, makeManager(), nullptr, true);
    QList<bool> submittedInHandler;
    QList<int> activeInHandler;
    connect(&pool, &TDownloadPool::success, this, [&](const QUrl& reported, const QByteArray&) {
        submittedInHandler.append(pool.IsSubmitted(reported));
        activeInHandler.append(pool.GetActiveDownloads());
    });
    pool.Submit(url(0));
    pool.Submit(url(1));
    pool.Submit(url(2));
    QCOMPARE(pool.GetActiveDownloads(), 2);
    QVERIFY(pool.IsInQueue(url(2)));
    QTRY_COMPARE(submittedInHandler.size(), 3);
    // The slot is free before the handler runs; the next download starts after it returned.
    QCOMPARE(submittedInHandler, QList<bool>({false, false, false}));
    QCOMPARE(activeInHandler.at(0), 1);
    QCOMPARE(pool.GetActiveDownloads(), 0);
}

void TestDownloadPool::manualFinishKeepsSlotUntilMarked() {
    TDownloadPool pool(2, makeManager(), nullptr, false);
    QSignalSpy success(&pool, &TDownloadPool::success);
    pool.Submit(url(0));
    pool.Submit(url(1));
    pool.Submit(url(2));
    QTRY_COMPARE(success.count(), 2);
    QTest::qWait(200);
    // Both slots stay taken after the reports; the third waits.
    QCOMPARE(success.count(), 2);
    QCOMPARE(pool.GetActiveDownloads(), 2);
    QVERIFY(pool.IsInQueue(url(2)));
    pool.MarkDownloadAsFinished(url(5)); // unknown: starts nothing
    QVERIFY(pool.IsInQueue(url(2)));
    const QUrl first = success.at(0).at(0).toUrl();
    pool.MarkDownloadAsFinished(first);
    QVERIFY(pool.IsInActiveDownloads(url(2)));
    QTRY_COMPARE(success.count(), 3);
    QCOMPARE(success.at(2).at(0).toUrl(), url(2));
    QCOMPARE(pool.GetActiveDownloads(), 2);
    // Submitting a reported but unmarked URL does nothing.
    pool.Submit(first == url(0) ? url(1) : url(0));
    QCOMPARE(pool.getNumberOfUnfinishedDownloads(), quint64(2));
}

void TestDownloadPool::raisingTheMaximumStartsWaitingUrls() {
    TDownloadPool pool(1, makeManager(), nullptr, true);
    QSignalSpy success(&pool, &TDownloadPool::success);
    pool.SetMaxConcurrentDownloads(0);
    for (int index = 0; index < 5; ++index) {
        pool.Submit(url(index));
    }
    QCOMPARE(pool.GetActiveDownloads(), 0);
    pool.SetMaxConcurrentDownloads(3);
    QCOMPARE(pool.GetActiveDownloads(), 3);
    QTRY_COMPARE(success.count(), 5);
}

void TestDownloadPool::invalidUrlIsReportedAtOnce() {
    TDownloadPool pool(2, makeManager(), nullptr, true);
    QSignalSpy failed(&pool, &TDownloadPool::failed);
    pool.Submit(url(0));
    const quint64 before = pool.getNumberOfUnfinishedDownloads();
    for (const QString& text :
         {QStringLiteral("relative/path.bin"), QStringLiteral("http://127.0.0.1:99999/a")}) {
        pool.Submit(QUrl(text));
    }
    QCOMPARE(failed.count(), 2);
    for (const QList<QVariant>& report : failed) {
        QCOMPARE(report.at(1).value<QNetworkReply::NetworkError>(),
                 QNetworkReply::ProtocolInvalidOperationError);
        QCOMPARE(int(report.at(1).value<QNetworkReply::NetworkError>()), 302);
        QCOMPARE(report.at(2).toString(), QStringLiteral("Invalid URL"));
    }
    QCOMPARE(pool.getNumberOfUnfinishedDownloads(), before);
}

void TestDownloadPool::percentEncodedUrlsAreFetched() {
    // A blank in a served name and in a local folder name: both URLs carry "%20" when encoded.
    const QByteArray content("blank in the name");
    QVERIFY(QDir(m_root.path()).mkpath(QStringLiteral("Kettrel GmbH")));
    const QString localPath = m_root.filePath(QStringLiteral("Kettrel GmbH/with blank.json"));
    for (const QString& path : {m_root.filePath(QStringLiteral("with blank.json")), localPath}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    const QUrl served = m_nginx->url(QStringLiteral("with%20blank.json"));
    const QUrl local = QUrl::fromLocalFile(localPath);
    QVERIFY(served.toString(QUrl::FullyEncoded).contains(QLatin1String("%20")));

    TDownloadPool pool(2, makeManager(), nullptr, true);
    QSignalSpy success(&pool, &TDownloadPool::success);
    QSignalSpy failed(&pool, &TDownloadPool::failed);
    pool.Submit(served);
    pool.Submit(local);
    QTRY_COMPARE_WITH_TIMEOUT(success.count() + failed.count(), 2, 30000);
    QCOMPARE(failed.count(), 0);
    for (const QList<QVariant>& report : success) {
        QVERIFY(report.at(0).toUrl() == served || report.at(0).toUrl() == local);
        QCOMPARE(report.at(1).toByteArray(), content);
    }
}

void TestDownloadPool::failureIsReportedOnce_data() {
    QTest::addColumn<bool>("automaticFinish");
    QTest::addColumn<TFaultyHttpServer::TAnswer>("answer");
    QTest::addColumn<int>("expectedError");
    QTest::addColumn<QString>("reasonPart"); // expected in the reported reason
    const QByteArray body(200000, 'z');
    for (bool automatic : {true, false}) {
        const QString mode = automatic ? "automatic" : "manual";
        QTest::newRow(qPrintable(mode + ", 404")) << automatic << TFaultyHttpServer::status(404)
                                                  << int(QNetworkReply::ContentNotFoundError) << "(HTTP 404)";
        QTest::newRow(qPrintable(mode + ", 403")) << automatic << TFaultyHttpServer::status(403)
                                                  << int(QNetworkReply::ContentAccessDenied) << "(HTTP 403)";
        QTest::newRow(qPrintable(mode + ", 500")) << automatic << TFaultyHttpServer::status(500)
                                                  << int(QNetworkReply::InternalServerError) << "(HTTP 500)";
        QTest::newRow(qPrintable(mode + ", reset mid-body"))
            << automatic << TFaultyHttpServer::resetMidBody(body) << -1 << "";
        // Qt reports its transfer timeout as a cancelled operation; the pool says what happened.
        QTest::newRow(qPrintable(mode + ", stall"))
            << automatic << TFaultyHttpServer::stall() << int(QNetworkReply::TimeoutError)
            << "timed out after 0.7 s";
    }
}

void TestDownloadPool::failureIsReportedOnce() {
    QFETCH(bool, automaticFinish);
    QFETCH(TFaultyHttpServer::TAnswer, answer);
    QFETCH(int, expectedError);
    QFETCH(QString, reasonPart);
    TFaultyHttpServer server;
    server.setAnswers("/bad", {answer});
    server.setAnswers("/good", {TFaultyHttpServer::ok("fine")});
    TDownloadPool pool(1, makeManager(), nullptr, automaticFinish);
    pool.setTransferTimeout(700);
    QSignalSpy success(&pool, &TDownloadPool::success);
    QSignalSpy failed(&pool, &TDownloadPool::failed);
    pool.Submit(server.url("/bad"));
    pool.Submit(server.url("/good"));
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 30000);
    QCOMPARE(failed.at(0).at(0).toUrl(), server.url("/bad"));
    const auto code = failed.at(0).at(1).value<QNetworkReply::NetworkError>();
    QVERIFY2(failed.at(0).at(2).toString().contains(reasonPart), qPrintable(failed.at(0).at(2).toString()));
    if (expectedError >= 0) {
        QCOMPARE(int(code), expectedError);
    } else {
        QVERIFY(code != QNetworkReply::NoError);
    }
    if (!automaticFinish) {
        QCOMPARE(pool.GetActiveDownloads(), 1);
        pool.MarkDownloadAsFinished(server.url("/bad"));
    }
    QTRY_COMPARE(success.count(), 1);
    QTest::qWait(100);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(server.attempts("/bad"), 1);
}

void TestDownloadPool::preventCaching() {
    const QUrl plain(QStringLiteral("https://cdn.example.invalid/p/package.json?x=1"));
    const QUrl first = shared::PreventCachingWithRandomGetParameter(plain);
    const QUrl second = shared::PreventCachingWithRandomGetParameter(plain);
    const QRegularExpression form(QStringLiteral("^x=1&nocache=[A-Za-z0-9]{32}$"));
    QVERIFY2(form.match(first.query()).hasMatch(), qPrintable(first.query()));
    QVERIFY(form.match(second.query()).hasMatch());
    QVERIFY(first != second);
    QCOMPARE(first.adjusted(QUrl::RemoveQuery), plain.adjusted(QUrl::RemoveQuery));
    const QUrl invalid(QStringLiteral("http://[::1"));
    QVERIFY(!invalid.isValid());
    QCOMPARE(shared::PreventCachingWithRandomGetParameter(invalid), invalid);
}

// A request that receives too little in its window is aborted as too slow; a request that starts
// late in another's window is judged on a window of its own and completes.
void TestDownloadPool::slowRequestsAreAbortedOnTheirOwnWindow() {
    TFaultyHttpServer server;
    server.setAnswers("/stalled", {TFaultyHttpServer::stall()});
    server.setAnswers("/late", {TFaultyHttpServer::delayed(700, TFaultyHttpServer::ok("late but whole"))});
    TDownloadPool pool(4, makeManager(), nullptr, true);
    pool.setMinimumTransferRate(1, 2000);
    QSignalSpy succeeded(&pool, &TDownloadPool::success);
    QSignalSpy failed(&pool, &TDownloadPool::failed);
    pool.Submit(server.url("/stalled"));
    QTest::qWait(1500);
    pool.Submit(server.url("/late"));
    QTRY_COMPARE_WITH_TIMEOUT(succeeded.size() + failed.size(), 2, 60000);
    QCOMPARE(succeeded.size(), 1);
    QCOMPARE(succeeded.first().at(0).toUrl(), server.url("/late"));
    QCOMPARE(failed.first().at(0).toUrl(), server.url("/stalled"));
    QVERIFY(failed.first().at(2).toString().contains("too slow"));
}

// A limit too low to feed ten requests at the minimum transfer rate runs three at once; bodies
// are whole although taken in pieces, and lifting the limit mid-way hands over what the throttled
// replies hold instead of leaving them waiting.
void TestDownloadPool::lowRateLimitRunsFewerAndCanBeLifted() {
    TFaultyHttpServer server;
    std::map<QUrl, QByteArray> bodies;
    for (int i = 0; i < 8; ++i) {
        const QString path = QStringLiteral("/body%1").arg(i);
        QByteArray body(64 * 1024, Qt::Uninitialized);
        for (int j = 0; j < body.size(); ++j)
            body[j] = static_cast<char>((j * 131 + i * 7) >> 3);
        server.setAnswers(path, {TFaultyHttpServer::ok(body)});
        bodies[server.url(path)] = body;
    }
    TDownloadPool pool(10, makeManager(), nullptr, true);
    pool.setRateLimit(1000);
    QCOMPARE(pool.rateLimit(), TDownloadPool::MINIMUM_RATE_LIMIT);
    std::map<QUrl, QByteArray> received;
    connect(&pool, &TDownloadPool::success, this,
            [&](const QUrl& url, const QByteArray& data) { received[url] = data; });
    QSignalSpy failed(&pool, &TDownloadPool::failed);
    for (const auto& entry : bodies)
        pool.Submit(entry.first);
    // 4096 bytes a second over 30 s windows feed three requests with twice the 16 KiB minimum.
    QCOMPARE(pool.GetActiveDownloads(), 3);
    QTest::qWait(1000);
    // 512 KiB at 4 KiB a second would take two minutes.
    QVERIFY(received.empty());
    pool.setRateLimit(0);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), bodies.size(), 30000);
    QVERIFY(failed.isEmpty());
    for (const auto& entry : bodies)
        QVERIFY2(received[entry.first] == entry.second, qPrintable(entry.first.toString()));
}

QTEST_GUILESS_MAIN(TestDownloadPool)
#include "tst_downloadpool.moc"
