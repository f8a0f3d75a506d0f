#pragma once
// Test fixture: a small HTTP server on 127.0.0.1 that misbehaves on purpose, per URL path and per
// attempt: it can answer with given bytes, with an error status, cut the connection in the middle
// of the body, accept and then send nothing, or send other bytes than the real ones. It runs on
// the thread that creates it, driven by the event loop. Header-only.

#include <QByteArray>
#include <QHostAddress>
#include <QMap>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <sys/socket.h>

#include <memory>
#include <vector>

class TFaultyHttpServer {
public:
    // ENDLESS: a body without length that never ends; OVERSIZED: a huge announced Content-Length,
    // then an endless body; ENCODED: the body sent with "Content-Encoding: gzip" whatever was asked
    // for; DRIP: a long announced body sent one byte a second.
    enum EKind { OK, STATUS, RESET_MID_BODY, STALL, ENDLESS, OVERSIZED, ENCODED, DRIP };

    struct TAnswer {
        EKind kind = OK;
        QByteArray body;  // OK and RESET_MID_BODY: the body (half of it for a reset)
        int status = 200; // STATUS: the status code sent with a short text body
        int delayMs = 0;  // wait this long before answering
    };

    static TAnswer ok(const QByteArray& body) { return {OK, body, 200}; }
    // Bytes other than the real ones, same length, delivered with 200.
    static TAnswer wrongBytes(const QByteArray& body) {
        QByteArray other = body;
        for (char& byte : other) {
            byte = static_cast<char>(byte ^ 0x5a);
        }
        if (other.isEmpty()) {
            other = "x";
        }
        return {OK, other, 200};
    }
    static TAnswer status(int code) { return {STATUS, QByteArray(), code}; }
    static TAnswer resetMidBody(const QByteArray& body) { return {RESET_MID_BODY, body, 200}; }
    static TAnswer stall() { return {STALL, QByteArray(), 0}; }
    static TAnswer endless() { return {ENDLESS, QByteArray(), 200}; }
    static TAnswer oversized() { return {OVERSIZED, QByteArray(), 200}; }
    // A gzip-encoded body: the body is sent as given (the caller compresses it).
    static TAnswer encoded(const QByteArray& body) { return {ENCODED, body, 200}; }
    static TAnswer drip() { return {DRIP, QByteArray(), 200}; }
    static TAnswer delayed(int milliseconds, TAnswer answer) {
        answer.delayMs = milliseconds;
        return answer;
    }

    TFaultyHttpServer() {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this]() { acceptAll(); });
    }
    ~TFaultyHttpServer() {
        for (const QPointer<QTcpSocket>& socket : m_sockets) {
            if (socket) {
                socket->abort();
            }
        }
    }
    TFaultyHttpServer(const TFaultyHttpServer&) = delete;
    TFaultyHttpServer& operator=(const TFaultyHttpServer&) = delete;

    bool isListening() const { return m_server.isListening(); }
    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
    }

    // Answers for a path, one per attempt; the last one repeats. A path without answers gets 404.
    void setAnswers(const QString& path, std::vector<TAnswer> answers) {
        m_answers[path] = std::move(answers);
    }
    int attempts(const QString& path) const { return m_attempts.value(path, 0); }
    // The request targets (path and query) in the order they arrived.
    const std::vector<QByteArray>& requestTargets() const { return m_targets; }
    int totalAttempts() const {
        int total = 0;
        for (int count : m_attempts) {
            total += count;
        }
        return total;
    }

private:
    void acceptAll() {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            m_sockets.push_back(socket);
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer]() {
                buffer->append(socket->readAll());
                // One request per connection is enough: every answer closes it.
                const int end = buffer->indexOf("\r\n\r\n");
                if (end < 0 || buffer->isEmpty()) {
                    return;
                }
                const QList<QByteArray> requestLine = buffer->left(buffer->indexOf("\r\n")).split(' ');
                buffer->clear();
                QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
                const QString path =
                    requestLine.size() >= 2 ? QUrl(QString::fromLatin1(requestLine.at(1))).path() : QString();
                m_targets.push_back(requestLine.value(1));
                answer(socket, path);
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    void answer(QTcpSocket* socket, const QString& path) {
        const int attempt = m_attempts.value(path, 0);
        m_attempts[path] = attempt + 1;
        const auto found = m_answers.constFind(path);
        TAnswer answer = status(404);
        if (found != m_answers.constEnd() && !found->empty()) {
            answer = found->at(std::min<size_t>(static_cast<size_t>(attempt), found->size() - 1));
        }
        if (answer.delayMs > 0) {
            QPointer<QTcpSocket> guarded(socket);
            QTimer::singleShot(answer.delayMs, socket, [guarded, answer]() {
                if (guarded) {
                    respond(guarded, answer);
                }
            });
        } else {
            respond(socket, answer);
        }
    }

    static void respond(QTcpSocket* socket, const TAnswer& answer) {
        switch (answer.kind) {
        case OK:
            socket->write(header(200, answer.body.size()) + answer.body);
            socket->disconnectFromHost();
            break;
        case STATUS: {
            const QByteArray body = "error " + QByteArray::number(answer.status) + "\n";
            socket->write(header(answer.status, body.size()) + body);
            socket->disconnectFromHost();
            break;
        }
        case RESET_MID_BODY: {
            socket->write(header(200, answer.body.size()) + answer.body.left(answer.body.size() / 2));
            socket->flush();
            socket->waitForBytesWritten(1000);
            // Linger 0: closing sends a reset instead of an orderly end.
            struct linger option = {1, 0};
            ::setsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &option,
                         sizeof(option));
            socket->abort();
            break;
        }
        case STALL:
            // Accept and say nothing; the client has to give up by itself.
            break;
        case ENDLESS:
            socket->write(
                "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n");
            stream(socket, 1, 64 * 1024);
            break;
        case OVERSIZED:
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: "
                          "1099511627776\r\nConnection: close\r\n\r\n");
            stream(socket, 1, 64 * 1024);
            break;
        case ENCODED:
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Encoding: "
                          "gzip\r\nContent-Length: " +
                          QByteArray::number(answer.body.size()) + "\r\nConnection: close\r\n\r\n" +
                          answer.body);
            socket->disconnectFromHost();
            break;
        case DRIP:
            socket->write(header(200, 1024 * 1024));
            stream(socket, 1000, 1);
            break;
        }
    }

    // Writes blocks of the given size every interval for as long as the connection is open, keeping
    // at most a few blocks queued so that the server itself stays small.
    static void stream(QTcpSocket* socket, int intervalMs, int blockSize) {
        auto* timer = new QTimer(socket);
        QObject::connect(timer, &QTimer::timeout, socket, [socket, blockSize]() {
            if (socket->state() != QAbstractSocket::ConnectedState) {
                return;
            }
            if (socket->bytesToWrite() < 4 * blockSize) {
                socket->write(QByteArray(blockSize, 'z'));
            }
        });
        timer->start(intervalMs);
    }

    static QByteArray header(int code, qsizetype length) {
        const QByteArray reason = code == 200   ? "OK"
                                  : code == 403 ? "Forbidden"
                                  : code == 404 ? "Not Found"
                                                : "Internal Server Error";
        return "HTTP/1.1 " + QByteArray::number(code) + ' ' + reason +
               "\r\nContent-Type: application/octet-stream\r\nContent-Length: " + QByteArray::number(length) +
               "\r\nConnection: close\r\n\r\n";
    }

    QTcpServer m_server;
    QMap<QString, std::vector<TAnswer>> m_answers;
    QMap<QString, int> m_attempts;
    std::vector<QPointer<QTcpSocket>> m_sockets;
    std::vector<QByteArray> m_targets;
};
