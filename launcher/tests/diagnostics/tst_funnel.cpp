// Funnel events against a small recording server on loopback: what is posted, the first-time
// flags, the one device identifier, and the identifier file shared with the game client.
#include "launcher/diagnostics/funneleventsender.h"

#include "testenvironment.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <vector>

using quarn::launcher::TFunnelEventSender;

namespace {

struct TRecordedRequest {
    QByteArray method;
    QByteArray path;
    QByteArray contentType;
    QByteArray body;
};

// Records each request (one per connection) and answers 200 with a short text.
class TRecordingServer {
public:
    TRecordingServer() {
        m_Server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_Server, &QTcpServer::newConnection, [this]() {
            while (QTcpSocket* socket = m_Server.nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer]() {
                    buffer->append(socket->readAll());
                    const int end = buffer->indexOf("\r\n\r\n");
                    if (end < 0)
                        return;
                    TRecordedRequest request;
                    int length = 0;
                    const QList<QByteArray> lines = buffer->left(end).split('\n');
                    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
                    request.method = requestLine.value(0);
                    request.path = requestLine.value(1);
                    for (const QByteArray& line : lines) {
                        const int colon = line.indexOf(':');
                        const QByteArray name = line.left(colon).trimmed().toLower();
                        if (name == "content-length")
                            length = line.mid(colon + 1).trimmed().toInt();
                        else if (name == "content-type")
                            request.contentType = line.mid(colon + 1).trimmed();
                    }
                    if (buffer->size() < end + 4 + length)
                        return;
                    request.body = buffer->mid(end + 4, length);
                    buffer->clear();
                    m_Requests.push_back(request);
                    socket->write(
                        "HTTP/1.1 200 OK\r\nContent-Length: 8\r\nConnection: close\r\n\r\nrecorded");
                    socket->disconnectFromHost();
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/funnel").arg(m_Server.serverPort())); }
    const std::vector<TRecordedRequest>& requests() const { return m_Requests; }

private:
    QTcpServer m_Server;
    std::vector<TRecordedRequest> m_Requests;
};

QByteArray expectedBody(const char* step, bool first, const QString& identifier) {
    return QByteArray("{\n    \"first\": ") + (first ? "true" : "false") + ",\n    \"id\": \"" +
           identifier.toUtf8() + "\",\n    \"step\": \"" + step + "\"\n}\n";
}

} // namespace

class TestFunnel : public QObject {
    Q_OBJECT

private:
    QString clientFolder() const {
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
               QStringLiteral("/Orvane Online");
    }

    // Sends one event and waits until its POST has ended.
    bool send(TFunnelEventSender& sender, const QUrl& url, const QString& step, const QString& key) {
        QSignalSpy answered(&sender, &TFunnelEventSender::funnelEventAnswered);
        sender.sendFunnelEvent(url, step, key);
        return answered.wait(30000) || answered.count() == 1;
    }

private slots:
    void init() {
        QSettings().clear();
        QDir(clientFolder()).removeRecursively();
    }

    void eventsCarryFirstFlagAndOneIdentifier() {
        TRecordingServer server;
        TFunnelEventSender sender;
        QVERIFY(send(sender, server.url(), "launcher_started", "FunnelStartedFirst"));
        QVERIFY(send(sender, server.url(), "launcher_started", "FunnelStartedFirst"));
        QVERIFY(send(sender, server.url(), "launcher_downloaded", "FunnelFinishedDownloadingFirst"));

        const QString identifier = QSettings().value(QStringLiteral("FunnelUuid")).toString();
        QCOMPARE(identifier.size(), 36);
        QVERIFY(!identifier.startsWith(QLatin1Char('{')));
        QCOMPARE(server.requests().size(), size_t(3));
        for (const TRecordedRequest& request : server.requests()) {
            QCOMPARE(request.method, QByteArray("POST"));
            QCOMPARE(request.path, QByteArray("/funnel"));
            QCOMPARE(request.contentType, QByteArray("application/json"));
        }
        QCOMPARE(server.requests().at(0).body, expectedBody("launcher_started", true, identifier));
        QCOMPARE(server.requests().at(1).body, expectedBody("launcher_started", false, identifier));
        QCOMPARE(server.requests().at(2).body, expectedBody("launcher_downloaded", true, identifier));
        // Without the client's folder nothing is written there, and the folder is not created.
        QVERIFY(!QFileInfo::exists(clientFolder()));
        // The network objects of each POST went away with its reply.
        QTRY_COMPARE_WITH_TIMEOUT(sender.findChildren<QNetworkAccessManager*>().size(), 0, 10000);
    }

    void sharedFileWrittenWhenClientFolderExists() {
        QVERIFY(QDir().mkpath(clientFolder()));
        TRecordingServer server;
        TFunnelEventSender sender;
        QVERIFY(send(sender, server.url(), "launcher_verified", "FunnelFinished_VerifyingFirst"));
        const QString identifier = QSettings().value(QStringLiteral("FunnelUuid")).toString();
        QFile file(TFunnelEventSender::sharedIdentifierFilePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject shared = QJsonDocument::fromJson(file.readAll()).object();
        QCOMPARE(shared.value(QStringLiteral("DeviceIdentifier")).toString(), identifier);
        QCOMPARE(shared.size(), 1);
    }

    void unreachableEndpointStillClearsTheFirstFlag() {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const QUrl refused(QStringLiteral("http://127.0.0.1:%1/funnel").arg(probe.serverPort()));
        probe.close();
        TFunnelEventSender sender;
        QSignalSpy answered(&sender, &TFunnelEventSender::funnelEventAnswered);
        sender.sendFunnelEvent(refused, QStringLiteral("launcher_started"),
                               QStringLiteral("FunnelStartedFirst"));
        QTRY_COMPARE_WITH_TIMEOUT(answered.count(), 1, 30000);
        QCOMPARE(answered.at(0).at(1).toBool(), true);
        QCOMPARE(QSettings().value(QStringLiteral("FunnelStartedFirst")).toBool(), false);
    }
};

int main(int argc, char* argv[]) {
    TTestHome home;
    home.applyToThisProcess();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orvane Online"));
    QCoreApplication::setOrganizationName(QStringLiteral("Kettrel GmbH"));
    TestFunnel test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_funnel.moc"
