#pragma once

#include "shared/networkwrappers.h"

#include <QMap>
#include <QNetworkReply>
#include <QObject>
#include <QUrl>

#include <deque>
#include <memory>

class QAbstractNetworkCache;
class QAuthenticator;

namespace shared {

// Answers authentication challenges of the pool's access manager. No credential store is
// available here, so it answers none and Qt ends such requests with its authentication error.
class TNetworkAccessManagerAuthenticationHandler : public QObject {
    Q_OBJECT
public:
    void onAuthenticationRequired(const QNetworkReply* reply, QAuthenticator* authenticator);
};

// HTTP GET queue: runs at most a given number of downloads at once, starts waiting URLs first
// in, first out, never fetches one URL twice at the same time, and reports each download once
// with success (whole body) or failed (Qt's error code and text).
//
// Automatic finish mode frees a slot when the download is reported; manual finish mode keeps
// the slot until MarkDownloadAsFinished, so that a client can count processing as in flight.
//
// Every request carries a transfer timeout: a download that makes no progress for that long is
// aborted by Qt and reported as failed, so a stalled server cannot hold a slot forever.
class TDownloadPool : public QObject {
    Q_OBJECT
public:
    static constexpr int DEFAULT_TRANSFER_TIMEOUT_MS = 60000;

    TDownloadPool(int maxConcurrentDownloads, std::shared_ptr<QNetworkAccessManagerWrapper> manager,
                  QObject* parent, bool automaticFinish);
    ~TDownloadPool() override;

    virtual void Submit(const QUrl& url);
    virtual void SubmitPrioritized(const QUrl& url);
    virtual void SetMaxConcurrentDownloads(int maximum);
    virtual int GetMaxConcurrentDownloads() const;
    virtual int GetActiveDownloads() const;
    virtual quint64 getNumberOfUnfinishedDownloads() const;
    virtual void SetCache(QAbstractNetworkCache* cache);
    virtual void MarkDownloadAsFinished(const QUrl& url);

    void RemoveIfEnqueued(const QUrl& url);
    bool IsSubmitted(const QUrl& url) const;
    bool IsInQueue(const QUrl& url) const;
    bool IsInActiveDownloads(const QUrl& url) const;
    void OnEnqueue();

    // Milliseconds without any data after which a request is aborted (0 disables the limit).
    void setTransferTimeout(int milliseconds);
    int transferTimeout() const;

signals:
    void success(QUrl url, QByteArray data);
    void failed(QUrl url, QNetworkReply::NetworkError code, QString errorString);
    void progress(QUrl Url, qlonglong BytesReceivedFromRequest);

private:
    void StartMoreDownloads();
    void StartDownload(const QUrl& url);
    void OnNetworkReplySignalsFinished(QNetworkReplyWrapper* wrapper);
    void OnNetworkReplySignalsError(QNetworkReplyWrapper* wrapper);
    void OnAuthenticationRequired(QNetworkReply* reply, QAuthenticator* authenticator);
    void report(const QUrl& url, QNetworkReplyWrapper* wrapper);

    std::shared_ptr<QNetworkAccessManagerWrapper> m_networkAccessManager;
    QMap<QUrl, QNetworkReplyWrapper*> m_activeDownloads;
    int m_maxConcurrentDownloads;
    std::deque<QUrl> m_queue;
    TNetworkAccessManagerAuthenticationHandler m_authenticationHandler;
    bool m_automaticFinish;
    int m_transferTimeoutMs = DEFAULT_TRANSFER_TIMEOUT_MS;
};

// Appends the query item "nocache" with 32 random letters and digits, so that no cache on the
// way can answer the request. An invalid URL is returned unchanged.
QUrl PreventCachingWithRandomGetParameter(QUrl url);

} // namespace shared
