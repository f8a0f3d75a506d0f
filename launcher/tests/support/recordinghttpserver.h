#pragma once
// Test fixture: an HTTP server on 127.0.0.1 that records every request (method, path, headers,
// body) and answers each with one configured reply. It runs on a thread of its own, so it keeps
// answering while the test thread waits for a child process. Header-only.

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QUrl>

#include <memory>

class TRecordingHttpServer {
public:
    struct TRequest {
        QByteArray method;
        QByteArray target;                    // path and query as sent
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    TRecordingHttpServer() {
        m_thread.start();
        m_context = new QObject;
        m_context->moveToThread(&m_thread);
        QMetaObject::invokeMethod(
            m_context,
            [this]() {
                m_server = new QTcpServer(m_context);
                QObject::connect(m_server, &QTcpServer::newConnection, m_server, [this]() { acceptAll(); });
                m_server->listen(QHostAddress::LocalHost, 0);
                m_port = m_server->serverPort();
            },
            Qt::BlockingQueuedConnection);
    }
    ~TRecordingHttpServer() {
        QMetaObject::invokeMethod(
            m_context, [this]() { delete m_server; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
        delete m_context;
    }
    TRecordingHttpServer(const TRecordingHttpServer&) = delete;
    TRecordingHttpServer& operator=(const TRecordingHttpServer&) = delete;

    bool isListening() const { return m_port != 0; }
    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path));
    }

    // The reply to every request from now on.
    void setReply(const QByteArray& body, int status = 200) {
        QMutexLocker lock(&m_mutex);
        m_replyBody = body;
        m_replyStatus = status;
    }
    QList<TRequest> requests() const {
        QMutexLocker lock(&m_mutex);
        return m_requests;
    }
    int requestCount() const {
        QMutexLocker lock(&m_mutex);
        return m_requests.size();
    }
    // Waits (handling the calling thread's events) until count requests have arrived.
    bool waitForRequests(int count, int timeoutMs) const {
        QElapsedTimer clock;
        clock.start();
        while (requestCount() < count) {
            if (clock.elapsed() > timeoutMs)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            QThread::msleep(10);
        }
        return true;
    }

private:
    static constexpr int MAX_HEADER_BYTES = 64 * 1024;
    static constexpr int MAX_BODY_BYTES = 16 * 1024 * 1024;

    void acceptAll() {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            socket->setParent(m_server);
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer]() {
                buffer->append(socket->readAll());
                receive(socket, *buffer);
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    void receive(QTcpSocket* socket, QByteArray& buffer) {
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0) {
            if (buffer.size() > MAX_HEADER_BYTES)
                socket->abort();
            return;
        }
        TRequest request;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        for (int index = 1; index < lines.size(); ++index) {
            const int colon = lines.at(index).indexOf(':');
            if (colon > 0)
                request.headers.insert(lines.at(index).left(colon).trimmed().toLower(),
                                       lines.at(index).mid(colon + 1).trimmed());
        }
        const int length = request.headers.value("content-length", "0").toInt();
        if (length < 0 || length > MAX_BODY_BYTES) {
            socket->abort();
            return;
        }
        if (buffer.size() - headerEnd - 4 < length)
            return;
        request.body = buffer.mid(headerEnd + 4, length);
        buffer.clear();
        QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);

        QByteArray body;
        int status = 200;
        {
            QMutexLocker lock(&m_mutex);
            m_requests.append(request);
            body = m_replyBody;
            status = m_replyStatus;
        }
        socket->write("HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Error") +
                      "\r\nContent-Type: application/json\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    }

    QThread m_thread;
    QObject* m_context = nullptr;
    QTcpServer* m_server = nullptr;
    quint16 m_port = 0;
    mutable QMutex m_mutex;
    QByteArray m_replyBody = "{}";
    int m_replyStatus = 200;
    QList<TRequest> m_requests;
};
