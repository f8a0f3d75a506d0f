#include "shared/downloadpool.h"

#include "shared/randomnumbergenerator.h"

#include <QNetworkRequest>
#include <QUrlQuery>

#include <algorithm>
#include <limits>
#include <vector>

namespace shared {

namespace {
// How often the budget of a rate limit is handed out.
constexpr int RATE_LIMIT_TICK_MS = 50;
// Seconds' worth of budget that can be saved up while no reply has bytes waiting.
constexpr double RATE_LIMIT_BURST_SECONDS = 0.5;
// Unread bytes a reply may hold under a rate limit: a sixteenth of a second's worth, within bounds.
qint64 readBufferSizeFor(qint64 rateLimit) {
    return std::clamp<qint64>(rateLimit / 16, 4096, 1024 * 1024);
}
} // namespace

void TNetworkAccessManagerAuthenticationHandler::onAuthenticationRequired(const QNetworkReply* /*reply*/,
                                                                          QAuthenticator* /*authenticator*/) {
}

TDownloadPool::TDownloadPool(int maxConcurrentDownloads,
                             std::shared_ptr<QNetworkAccessManagerWrapper> manager, QObject* parent,
                             bool automaticFinish)
    : QObject(parent), m_networkAccessManager(std::move(manager)),
      m_maxConcurrentDownloads(maxConcurrentDownloads), m_automaticFinish(automaticFinish) {
    if (m_networkAccessManager) {
        // Redirects are followed, except from HTTPS to HTTP.
        m_networkAccessManager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    }
    m_clock.start();
    m_transferRateTimer.setInterval(std::max(1, m_transferRateWindowMs / 4));
    connect(&m_transferRateTimer, &QTimer::timeout, this, [this]() { checkTransferRates(); });
    m_rateLimitTimer.setInterval(RATE_LIMIT_TICK_MS);
    connect(&m_rateLimitTimer, &QTimer::timeout, this, [this]() { readWithinRateLimit(); });
}

TDownloadPool::~TDownloadPool() = default;

void TDownloadPool::Submit(const QUrl& url) {
    // Checked in its fully encoded form: the decoded text of a URL holding "%20" or a file path
    // with a blank is not a valid URL in strict mode although the URL itself is.
    const QUrl checked(url.toString(QUrl::FullyEncoded), QUrl::StrictMode);
    if (!checked.isValid() || checked.isRelative()) {
        emit failed(url, QNetworkReply::ProtocolInvalidOperationError, QStringLiteral("Invalid URL"));
        return;
    }
    RemoveIfEnqueued(url);
    if (!IsSubmitted(url)) {
        m_queue.push_back(url);
        StartMoreDownloads();
    }
}

void TDownloadPool::SubmitPrioritized(const QUrl& url) {
    RemoveIfEnqueued(url);
    if (!IsSubmitted(url)) {
        m_queue.push_front(url);
    }
    StartMoreDownloads();
}

void TDownloadPool::SetMaxConcurrentDownloads(int maximum) {
    m_maxConcurrentDownloads = maximum;
    if (maximum > 0) {
        StartMoreDownloads();
    }
}

int TDownloadPool::GetMaxConcurrentDownloads() const {
    return m_maxConcurrentDownloads;
}

int TDownloadPool::GetActiveDownloads() const {
    return m_activeDownloads.size();
}

quint64 TDownloadPool::getNumberOfUnfinishedDownloads() const {
    return static_cast<quint64>(m_queue.size()) + static_cast<quint64>(m_activeDownloads.size());
}

void TDownloadPool::SetCache(QAbstractNetworkCache* cache) {
    if (m_networkAccessManager) {
        m_networkAccessManager->setCache(cache);
    }
}

void TDownloadPool::MarkDownloadAsFinished(const QUrl& url) {
    if (m_activeDownloads.remove(url) > 0) {
        StartMoreDownloads();
    }
}

void TDownloadPool::RemoveIfEnqueued(const QUrl& url) {
    const auto position = std::find(m_queue.begin(), m_queue.end(), url);
    if (position != m_queue.end()) {
        m_queue.erase(position);
    }
}

bool TDownloadPool::IsSubmitted(const QUrl& url) const {
    return IsInQueue(url) || IsInActiveDownloads(url);
}

bool TDownloadPool::IsInQueue(const QUrl& url) const {
    return std::find(m_queue.begin(), m_queue.end(), url) != m_queue.end();
}

bool TDownloadPool::IsInActiveDownloads(const QUrl& url) const {
    return m_activeDownloads.contains(url);
}

void TDownloadPool::OnEnqueue() {
    StartMoreDownloads();
}

void TDownloadPool::setTransferTimeout(int milliseconds) {
    m_transferTimeoutMs = std::max(0, milliseconds);
}

int TDownloadPool::transferTimeout() const {
    return m_transferTimeoutMs;
}

void TDownloadPool::SetResponseSizeLimit(const QUrl& url, qint64 bytes) {
    m_responseSizeLimits.insert(url, std::max<qint64>(0, bytes));
}

void TDownloadPool::setDefaultResponseSizeLimit(qint64 bytes) {
    m_defaultResponseSizeLimit = std::max<qint64>(0, bytes);
}

void TDownloadPool::setMinimumTransferRate(qint64 bytesPerWindow, int windowMilliseconds) {
    m_minimumBytesPerWindow = std::max<qint64>(0, bytesPerWindow);
    m_transferRateWindowMs = std::max(1, windowMilliseconds);
    m_transferRateTimer.setInterval(std::max(1, m_transferRateWindowMs / 4));
}

void TDownloadPool::setRateLimit(qint64 bytesPerSecond) {
    m_rateLimit = bytesPerSecond > 0 ? std::max(bytesPerSecond, MINIMUM_RATE_LIMIT) : 0;
    m_rateBudget = 0.0;
    m_rateBudgetAtMs = m_clock.elapsed();
    // Running requests follow the new setting; without a limit, what they hold is taken at once.
    for (auto transfer = m_transfers.cbegin(); transfer != m_transfers.cend(); ++transfer) {
        transfer.key()->setReadBufferSize(m_rateLimit > 0 ? readBufferSizeFor(m_rateLimit) : 0);
    }
    if (m_rateLimit > 0 && !m_transfers.isEmpty()) {
        m_rateLimitTimer.start();
    } else if (m_rateLimit == 0) {
        readWithinRateLimit();
    }
    StartMoreDownloads();
}

qint64 TDownloadPool::rateLimit() const {
    return m_rateLimit;
}

int TDownloadPool::effectiveMaxConcurrentDownloads() const {
    if (m_rateLimit <= 0 || m_minimumBytesPerWindow <= 0) {
        return m_maxConcurrentDownloads;
    }
    // Each request must be able to get twice the minimum within a window from its share.
    const double perWindow = static_cast<double>(m_rateLimit) * m_transferRateWindowMs / 1000.0;
    const double feedable = perWindow / (2.0 * static_cast<double>(m_minimumBytesPerWindow));
    const int limit =
        feedable >= m_maxConcurrentDownloads ? m_maxConcurrentDownloads : static_cast<int>(feedable);
    return std::max(1, std::min(m_maxConcurrentDownloads, limit));
}

void TDownloadPool::readWithinRateLimit() {
    const qint64 now = m_clock.elapsed();
    if (m_rateLimit > 0) {
        const double earned =
            static_cast<double>(now - m_rateBudgetAtMs) * static_cast<double>(m_rateLimit) / 1000.0;
        m_rateBudget =
            std::min(m_rateBudget + earned, static_cast<double>(m_rateLimit) * RATE_LIMIT_BURST_SECONDS);
    } else {
        // The limit was lifted: whatever throttled replies hold is taken now.
        m_rateBudget = static_cast<double>(std::numeric_limits<qint64>::max() / 2);
    }
    m_rateBudgetAtMs = now;

    std::vector<QNetworkReplyWrapper*> waiting;
    for (auto transfer = m_transfers.cbegin(); transfer != m_transfers.cend(); ++transfer) {
        if (!transfer->aborted && transfer.key()->bytesAvailable() > 0) {
            waiting.push_back(transfer.key());
        }
    }
    // Even shares; what a reply cannot use goes to the others in the next round.
    while (!waiting.empty() && m_rateBudget >= 1.0) {
        const qint64 share =
            std::max<qint64>(1, static_cast<qint64>(m_rateBudget) / static_cast<qint64>(waiting.size()));
        for (auto wrapper = waiting.begin(); wrapper != waiting.end() && m_rateBudget >= 1.0;) {
            const qint64 take =
                std::min({share, static_cast<qint64>(m_rateBudget), (*wrapper)->bytesAvailable()});
            const QByteArray bytes = (*wrapper)->read(take);
            m_rateBudget -= static_cast<double>(bytes.size());
            const auto transfer = m_transfers.find(*wrapper);
            if (transfer != m_transfers.end()) {
                transfer->body.append(bytes);
            }
            if (bytes.isEmpty() || (*wrapper)->bytesAvailable() <= 0) {
                wrapper = waiting.erase(wrapper);
            } else {
                ++wrapper;
            }
        }
    }
    // Reporting changes the table, so the finished replies are collected first.
    std::vector<QNetworkReplyWrapper*> finished;
    for (auto transfer = m_transfers.cbegin(); transfer != m_transfers.cend(); ++transfer) {
        if (transfer->finishPending && transfer.key()->bytesAvailable() <= 0) {
            finished.push_back(transfer.key());
        }
    }
    for (QNetworkReplyWrapper* wrapper : finished) {
        const auto transfer = m_transfers.find(wrapper);
        if (transfer != m_transfers.end()) {
            transfer->finishPending = false;
            OnNetworkReplySignalsFinished(wrapper);
        }
    }
    if (m_rateLimit <= 0) {
        m_rateBudget = 0.0;
    }
    if (m_transfers.isEmpty() || m_rateLimit <= 0) {
        m_rateLimitTimer.stop();
    }
}

void TDownloadPool::abortTransfer(QNetworkReplyWrapper* wrapper, QNetworkReply::NetworkError code,
                                  const QString& reason) {
    const auto transfer = m_transfers.find(wrapper);
    if (transfer == m_transfers.end() || transfer->aborted || transfer->finishPending) {
        return;
    }
    transfer->aborted = true;
    transfer->abortCode = code;
    transfer->abortReason = reason;
    // Reports the failure from within this call, through the reply's own notifications.
    wrapper->abort();
}

void TDownloadPool::checkResponseSize(QNetworkReplyWrapper* wrapper) {
    const auto transfer = m_transfers.constFind(wrapper);
    if (transfer == m_transfers.constEnd() || transfer->aborted) {
        return;
    }
    const qint64 announced = wrapper->announcedContentLength();
    if (transfer->received > transfer->limit || announced > transfer->limit) {
        abortTransfer(wrapper, QNetworkReply::UnknownContentError,
                      QStringLiteral("Response too large: more than %1 bytes").arg(transfer->limit));
    }
}

void TDownloadPool::checkTransferRates() {
    std::vector<QNetworkReplyWrapper*> tooSlow;
    const qint64 now = m_clock.elapsed();
    for (auto transfer = m_transfers.begin(); transfer != m_transfers.end(); ++transfer) {
        // A reply that has ended receives nothing more; it only waits for its bytes to be read.
        if (transfer->aborted || transfer->finishPending ||
            now - transfer->windowStartMs < m_transferRateWindowMs) {
            continue;
        }
        if (transfer->received - transfer->receivedAtWindowStart < m_minimumBytesPerWindow) {
            tooSlow.push_back(transfer.key());
        }
        transfer->receivedAtWindowStart = transfer->received;
        transfer->windowStartMs = now;
    }
    // Aborting reports at once and changes the table, so the requests are collected first.
    for (QNetworkReplyWrapper* wrapper : tooSlow) {
        abortTransfer(wrapper, QNetworkReply::TimeoutError,
                      QStringLiteral("Transfer too slow: less than %1 bytes in %2 ms")
                          .arg(m_minimumBytesPerWindow)
                          .arg(m_transferRateWindowMs));
    }
}

void TDownloadPool::forgetTransfer(QNetworkReplyWrapper* wrapper) {
    m_transfers.remove(wrapper);
    if (m_transfers.isEmpty()) {
        m_transferRateTimer.stop();
    }
}

void TDownloadPool::emitFailed(const QUrl& url, QNetworkReplyWrapper* wrapper) {
    const auto transfer = m_transfers.constFind(wrapper);
    if (transfer != m_transfers.constEnd() && transfer->aborted) {
        const QNetworkReply::NetworkError code = transfer->abortCode;
        const QString reason = transfer->abortReason;
        forgetTransfer(wrapper);
        emit failed(url, code, reason);
        return;
    }
    forgetTransfer(wrapper);
    QNetworkReply::NetworkError code = wrapper->error();
    QString reason = wrapper->errorString();
    if (code == QNetworkReply::OperationCanceledError && m_transferTimeoutMs > 0) {
        // The pool cancels a request only through abortTransfer, so a cancelled reply that was not
        // aborted here ran into the transfer timeout; Qt itself only says "Operation canceled".
        code = QNetworkReply::TimeoutError;
        reason = QStringLiteral("timed out after %1 s without data").arg(m_transferTimeoutMs / 1000.0);
    }
    // Qt names the status text ("Not Found") but not the status code, which is what a publisher
    // looks up.
    const int status = wrapper->httpStatus();
    if (status > 0 && !reason.contains(QString::number(status)))
        reason += QStringLiteral(" (HTTP %1)").arg(status);
    emit failed(url, code, reason);
}

void TDownloadPool::StartMoreDownloads() {
    while (!m_queue.empty() && GetActiveDownloads() < effectiveMaxConcurrentDownloads()) {
        const QUrl url = m_queue.front();
        m_queue.pop_front();
        StartDownload(url);
    }
}

void TDownloadPool::StartDownload(const QUrl& url) {
    if (!m_networkAccessManager) {
        emit failed(url, QNetworkReply::UnknownNetworkError, QStringLiteral("No network access"));
        return;
    }
    QNetworkRequest request(url);
    request.setTransferTimeout(m_transferTimeoutMs);
    // The body exactly as sent: Qt would otherwise ask for gzip and inflate it without a limit.
    request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), QByteArrayLiteral("identity"));
    QNetworkReplyWrapper* wrapper = m_networkAccessManager->get(request);
    TTransfer transfer;
    transfer.limit = m_responseSizeLimits.value(url, m_defaultResponseSizeLimit);
    transfer.windowStartMs = m_clock.elapsed();
    m_transfers.insert(wrapper, transfer);
    if (!m_transferRateTimer.isActive() && m_minimumBytesPerWindow > 0) {
        m_transferRateTimer.start();
    }
    if (m_rateLimit > 0) {
        wrapper->setReadBufferSize(readBufferSizeFor(m_rateLimit));
        if (!m_rateLimitTimer.isActive()) {
            // The budget counts from now: time spent idle earns nothing beyond the burst.
            readWithinRateLimit();
            m_rateLimitTimer.start();
        }
    }
    connect(wrapper, &QNetworkReplyWrapper::readyRead, this, [this]() {
        if (m_rateLimit > 0) {
            readWithinRateLimit();
        }
    });
    connect(wrapper, &QNetworkReplyWrapper::finished, this,
            [this, wrapper]() { OnNetworkReplySignalsFinished(wrapper); });
    connect(wrapper, QOverload<QNetworkReply::NetworkError>::of(&QNetworkReplyWrapper::error), this,
            [this, wrapper](QNetworkReply::NetworkError) { OnNetworkReplySignalsError(wrapper); });
    connect(wrapper, &QNetworkReplyWrapper::headersReceived, this,
            [this, wrapper]() { checkResponseSize(wrapper); });
    connect(wrapper, &QNetworkReplyWrapper::progress, this, [this, wrapper](qlonglong bytes) {
        const auto transfer = m_transfers.find(wrapper);
        if (transfer != m_transfers.end()) {
            transfer->received = bytes;
        }
        checkResponseSize(wrapper);
        if (m_transfers.contains(wrapper)) {
            emit progress(wrapper->urlOfRequest(), bytes);
        }
    });
    m_activeDownloads.insert(url, wrapper);
}

void TDownloadPool::report(const QUrl& url, QNetworkReplyWrapper* wrapper) {
    // Nothing of the wrapper is needed after this; it may not get another chance to report.
    disconnect(wrapper, nullptr, this, nullptr);
    const auto transfer = m_transfers.constFind(wrapper);
    if (wrapper->error() != QNetworkReply::NoError ||
        (transfer != m_transfers.constEnd() && transfer->aborted)) {
        emitFailed(url, wrapper);
    } else {
        QByteArray body = transfer != m_transfers.constEnd() ? transfer->body : QByteArray();
        forgetTransfer(wrapper);
        body.append(wrapper->readAll());
        emit success(url, body);
    }
    wrapper->deleteLater();
    wrapper->releaseLater();
}

void TDownloadPool::OnNetworkReplySignalsFinished(QNetworkReplyWrapper* wrapper) {
    const QUrl url = wrapper->urlOfRequest();
    const auto entry = m_activeDownloads.find(url);
    // The entry must be this very request: a URL submitted again after its slot was freed has
    // a new entry that an old request must not take over.
    if (entry == m_activeDownloads.end() || entry.value() != wrapper) {
        forgetTransfer(wrapper);
        return;
    }
    if (m_rateLimit > 0 && wrapper->error() == QNetworkReply::NoError && wrapper->bytesAvailable() > 0) {
        const auto transfer = m_transfers.find(wrapper);
        if (transfer != m_transfers.end() && !transfer->aborted) {
            // The last bytes are taken within the budget; the reply is reported then.
            transfer->finishPending = true;
            return;
        }
    }
    if (m_automaticFinish) {
        m_activeDownloads.erase(entry);
        report(url, wrapper);
        StartMoreDownloads();
    } else {
        report(url, wrapper);
    }
}

void TDownloadPool::OnNetworkReplySignalsError(QNetworkReplyWrapper* wrapper) {
    if (!m_automaticFinish) {
        // Reported once, by the finished notification.
        return;
    }
    const QUrl url = wrapper->urlOfRequest();
    const auto entry = m_activeDownloads.find(url);
    if (entry == m_activeDownloads.end() || entry.value() != wrapper) {
        return;
    }
    m_activeDownloads.erase(entry);
    disconnect(wrapper, nullptr, this, nullptr);
    emitFailed(url, wrapper);
    wrapper->deleteLater();
    wrapper->releaseLater();
    StartMoreDownloads();
}

void TDownloadPool::OnAuthenticationRequired(QNetworkReply* reply, QAuthenticator* authenticator) {
    m_authenticationHandler.onAuthenticationRequired(reply, authenticator);
}

QUrl PreventCachingWithRandomGetParameter(QUrl url) {
    if (!url.isValid()) {
        return url;
    }
    static const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const auto generator = TRandomNumberGenerator::getInstance();
    QString text;
    text.reserve(32);
    for (int index = 0; index < 32; ++index) {
        text.append(QLatin1Char(ALPHABET[generator->getRandomNumberInRange(0, 61)]));
    }
    QUrlQuery query(url.query());
    query.addQueryItem(QStringLiteral("nocache"), text);
    url.setQuery(query.query());
    return url;
}

} // namespace shared
