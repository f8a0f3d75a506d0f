#pragma once

#include <QAuthenticator>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QUrl>

#include <memory>

class QAbstractNetworkCache;
class QAuthenticator;

namespace shared {

class QNetworkReplyWrapper;

// Thin layer over QNetworkAccessManager so that the download pool can be driven by another
// implementation (the operations are virtual).
class QNetworkAccessManagerWrapper : public QObject {
    Q_OBJECT
public:
    explicit QNetworkAccessManagerWrapper(std::shared_ptr<QNetworkAccessManager> manager);
    ~QNetworkAccessManagerWrapper() override;

    // Starts a GET; the returned wrapper is a child of the new reply.
    virtual QNetworkReplyWrapper* get(const QNetworkRequest& request);
    virtual void setCache(QAbstractNetworkCache* cache);
    virtual void setRedirectPolicy(QNetworkRequest::RedirectPolicy policy);

signals:
    void authenticationRequired(QNetworkReply* pReply, QAuthenticator* pAuthenticator);

private:
    std::shared_ptr<QNetworkAccessManager> m_manager;
};

// Thin layer over one QNetworkReply; a child object of the reply it wraps.
class QNetworkReplyWrapper : public QObject {
    Q_OBJECT
public:
    explicit QNetworkReplyWrapper(QNetworkReply* reply);
    ~QNetworkReplyWrapper() override;

    virtual QNetworkReply::NetworkError error() const;
    virtual QString errorString() const;
    virtual QByteArray readAll();
    // URL of the request, not of any redirect target.
    virtual QUrl urlOfRequest() const;
    // Schedules the wrapped reply (and with it this wrapper) for deletion, so that finished
    // replies do not pile up in the access manager until it is destroyed.
    virtual void releaseLater();
    // The body length the response announces (Content-Length), or -1 when it announces none.
    virtual qint64 announcedContentLength() const;
    // The HTTP status of the response, or 0 when there is none (no response, not HTTP).
    virtual int httpStatus() const;
    // Ends the request at once; the reply then reports an error and finishes.
    virtual void abort();
    // Flow control for a throttled reader: the reply stops taking data from the network while
    // this many bytes wait in it unread (0: no limit).
    virtual void setReadBufferSize(qint64 bytes);
    virtual qint64 bytesAvailable() const;
    // At most maxSize of the body bytes received so far.
    virtual QByteArray read(qint64 maxSize);

    void EmitFinished();

signals:
    void error(QNetworkReply::NetworkError code);
    // The response's status line and headers have arrived (again after a redirect).
    void headersReceived();
    void finished();
    void progress(qlonglong BytesReceivedFromRequest);
    // More body bytes can be read.
    void readyRead();

private:
    QNetworkReply* m_reply;
};

} // namespace shared
