// The CDN trace: parsing of the trace page and the fetch through the shared pool against a server
// on loopback.
#include "launcher/diagnostics/cloudflarecdntrace.h"

#include "faultyhttpserver.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QtTest>

using quarn::launcher::TCloudflareCdnTrace;

namespace {
std::shared_ptr<shared::TDownloadPool> makePool() {
    return std::make_shared<shared::TDownloadPool>(
        6, std::make_shared<shared::QNetworkAccessManagerWrapper>(std::make_shared<QNetworkAccessManager>()),
        nullptr, true);
}
} // namespace

class TestCdnTrace : public QObject {
    Q_OBJECT

private slots:
    void parse_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("summary");
        QTest::newRow("typical page") << "fl=12f34\nh=example\nip=198.51.100.7\nts=12.5\ncolo=FRA\nuag=x\n"
                                      << "FL: 12f34, TS: 12.5, COLO: FRA, IP: 198.51.100.7";
        QTest::newRow("key case ignored, value trimmed, key not trimmed") << "COLO=AMS\nts= 7 \r\ncolo =XXX\n"
                                                                          << "FL: , TS: 7, COLO: AMS, IP: ";
        QTest::newRow("no value, two equals signs") << "ip=\nfl=a=b\ncolo=LHR\nip=\n"
                                                    << "FL: , TS: , COLO: LHR, IP: ";
        QTest::newRow("a later line overwrites") << "fl=1\nfl=2\n"
                                                 << "FL: 2, TS: , COLO: , IP: ";
        QTest::newRow("placeholders in values stay") << "fl=%2%1\nts=%3\ncolo=%4\nip=%1"
                                                     << "FL: %2%1, TS: %3, COLO: %4, IP: %1";
        QTest::newRow("empty page") << ""
                                    << "FL: , TS: , COLO: , IP: ";
    }

    void parse() {
        QFETCH(QString, text);
        QFETCH(QString, summary);
        QCOMPARE(TCloudflareCdnTrace::TDiagnosticTraceOutput(text).diagnosticSummary(), summary);
    }

    void fetchOnceAndKeepTheResult() {
        TFaultyHttpServer server;
        server.setAnswers(QStringLiteral("/cdn-cgi/trace"),
                          {TFaultyHttpServer::delayed(300, TFaultyHttpServer::ok("fl=9\ncolo=FRA\n"))});
        TCloudflareCdnTrace trace(server.url(QStringLiteral("/cdn-cgi/trace")), makePool());
        QSignalSpy received(&trace, &TCloudflareCdnTrace::diagnosticsTraceReceived);
        trace.startReceivingTraceOutput();
        QVERIFY(trace.isInProgress());
        trace.startReceivingTraceOutput();
        QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1, 30000);
        QCOMPARE(received.at(0).at(0).toBool(), false);
        QVERIFY(trace.isFinished() && !trace.isFailed() && !trace.isInProgress());
        QCOMPARE(trace.traceOutput().colo(), QStringLiteral("FRA"));
        // Finished is final: another start fetches nothing.
        trace.startReceivingTraceOutput();
        QTest::qWait(300);
        QCOMPARE(server.attempts(QStringLiteral("/cdn-cgi/trace")), 1);
        QCOMPARE(received.count(), 1);
    }

    void failures_data() {
        QTest::addColumn<bool>("emptyUrl");
        QTest::newRow("404") << false;
        QTest::newRow("empty URL") << true;
    }

    void failures() {
        QFETCH(bool, emptyUrl);
        TFaultyHttpServer server;
        TCloudflareCdnTrace trace(emptyUrl ? QUrl() : server.url(QStringLiteral("/missing")), makePool());
        QSignalSpy received(&trace, &TCloudflareCdnTrace::diagnosticsTraceReceived);
        trace.startReceivingTraceOutput();
        if (emptyUrl)
            QCOMPARE(received.count(), 1); // reported before the start returns
        QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1, 30000);
        QCOMPARE(received.at(0).at(0).toBool(), true);
        QVERIFY(trace.isFailed() && !trace.isFinished() && !trace.isInProgress());
        QCOMPARE(trace.traceOutput().diagnosticSummary(), QStringLiteral("FL: , TS: , COLO: , IP: "));
    }
};

QTEST_GUILESS_MAIN(TestCdnTrace)
#include "tst_cdntrace.moc"
