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
//
// A rate limit caps the total rate at which the bodies of all running requests are taken in: each
// reply holds only a small unread buffer (so Qt stops reading from the socket while it is full), and
// the pool reads from the replies out of a budget that grows at the limit's rate, shared evenly
// between them, with at most half a second's worth saved up. A reply whose network transfer ended
// is reported once its last bytes have been taken within the budget. Under a limit, fewer requests
// run at once when the limit could not feed each at the minimum transfer rate.
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
    // Smallest rate limit in bytes per second; a lower positive limit is raised to it.
    static constexpr qint64 MINIMUM_RATE_LIMIT = 4096;

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
    // Cap on the total rate of all running requests in bytes per second; 0 (or less) for none.
    // Applies to requests started from now on.
    void setRateLimit(qint64 bytesPerSecond);
    qint64 rateLimit() const;

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
    // Requests that may run at once: the maximum, lowered under a rate limit as described above.
    int effectiveMaxConcurrentDownloads() const;
    // Hands the budget earned since the last call to the replies that hold unread bytes, then
    // reports the replies that have ended and are read completely.
    void readWithinRateLimit();

    // What the pool knows of one running request.
    struct TTransfer {
        qint64 limit = 0;
        qint64 received = 0;
        qint64 receivedAtWindowStart = 0;
        qint64 windowStartMs = 0;
        bool aborted = false;
        QNetworkReply::NetworkError abortCode = QNetworkReply::NoError;
        QString abortReason;
        // Under a rate limit: the body read so far, and whether the reply has ended and waits
        // until its last bytes are read.
        QByteArray body;
        bool finishPending = false;
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
    qint64 m_rateLimit = 0;
    // Bytes that may be read now, and when this figure was brought up to date.
    double m_rateBudget = 0.0;
    qint64 m_rateBudgetAtMs = 0;
    QTimer m_rateLimitTimer;
};

// Appends the query item "nocache" with 32 random letters and digits, so that no cache on the
// way can answer the request. An invalid URL is returned unchanged.
QUrl PreventCachingWithRandomGetParameter(QUrl url);

} // namespace shared
