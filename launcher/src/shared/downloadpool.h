#pragma once

#include "shared/networkwrappers.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QNetworkReply>
#include <QObject>
#include <QTimer>
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
// aborted by Qt and reported as failed, so a stalled server cannot hold a slot forever. Besides,
// what a server sends is bounded: the body is taken as it is sent (identity encoding, so nothing
// inflates behind the pool's back), a response announced or grown beyond its size limit is
// aborted, and a request that receives less than a minimum amount within each window of time
// (a server dripping bytes) is aborted as too slow.
class TDownloadPool : public QObject {
    Q_OBJECT
public:
    static constexpr int DEFAULT_TRANSFER_TIMEOUT_MS = 60000;
    // Size limit of a response without a limit of its own: documents, pages and images stay far
    // below it.
    static constexpr qint64 DEFAULT_MAXIMUM_RESPONSE_SIZE = 64ll * 1024 * 1024;
    // A running request must receive at least this many bytes in every window (about 546 bytes a
    // second); the window is long enough for slow starts.
    static constexpr qint64 DEFAULT_MINIMUM_BYTES_PER_WINDOW = 16 * 1024;
    static constexpr int DEFAULT_TRANSFER_RATE_WINDOW_MS = 30000;

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

    // Largest body accepted for this URL from now on (bytes), instead of the default limit.
    void SetResponseSizeLimit(const QUrl& url, qint64 bytes);
    void setDefaultResponseSizeLimit(qint64 bytes);
    // Bytes a running request must receive within each window of the given length; 0 bytes
    // switches the check off.
    void setMinimumTransferRate(qint64 bytesPerWindow, int windowMilliseconds);

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
    void emitFailed(const QUrl& url, QNetworkReplyWrapper* wrapper);
    void checkResponseSize(QNetworkReplyWrapper* wrapper);
    void checkTransferRates();
    void abortTransfer(QNetworkReplyWrapper* wrapper, QNetworkReply::NetworkError code,
                       const QString& reason);
    void forgetTransfer(QNetworkReplyWrapper* wrapper);

    // What the pool knows of one running request.
    struct TTransfer {
        qint64 limit = 0;
        qint64 received = 0;
        qint64 receivedAtWindowStart = 0;
        qint64 windowStartMs = 0;
        bool aborted = false;
        QNetworkReply::NetworkError abortCode = QNetworkReply::NoError;
        QString abortReason;
    };

    std::shared_ptr<QNetworkAccessManagerWrapper> m_networkAccessManager;
    QMap<QUrl, QNetworkReplyWrapper*> m_activeDownloads;
    int m_maxConcurrentDownloads;
    std::deque<QUrl> m_queue;
    TNetworkAccessManagerAuthenticationHandler m_authenticationHandler;
    bool m_automaticFinish;
    int m_transferTimeoutMs = DEFAULT_TRANSFER_TIMEOUT_MS;
    qint64 m_defaultResponseSizeLimit = DEFAULT_MAXIMUM_RESPONSE_SIZE;
    QHash<QUrl, qint64> m_responseSizeLimits;
    QHash<QNetworkReplyWrapper*, TTransfer> m_transfers;
    qint64 m_minimumBytesPerWindow = DEFAULT_MINIMUM_BYTES_PER_WINDOW;
    int m_transferRateWindowMs = DEFAULT_TRANSFER_RATE_WINDOW_MS;
    // Looks at the running requests a few times per window; each request is judged on a window
    // of its own, counted from its start.
    QTimer m_transferRateTimer;
    QElapsedTimer m_clock;
};

// Appends the query item "nocache" with 32 random letters and digits, so that no cache on the
// way can answer the request. An invalid URL is returned unchanged.
QUrl PreventCachingWithRandomGetParameter(QUrl url);

} // namespace shared
