#include "shared/networkwrappers.h"

namespace shared {

QNetworkAccessManagerWrapper::QNetworkAccessManagerWrapper(std::shared_ptr<QNetworkAccessManager> manager)
    : QObject(nullptr), m_manager(std::move(manager)) {
    if (m_manager) {
        connect(m_manager.get(), &QNetworkAccessManager::authenticationRequired, this,
                &QNetworkAccessManagerWrapper::authenticationRequired);
    }
}

QNetworkAccessManagerWrapper::~QNetworkAccessManagerWrapper() = default;

QNetworkReplyWrapper* QNetworkAccessManagerWrapper::get(const QNetworkRequest& request) {
    return new QNetworkReplyWrapper(m_manager->get(request));
}

void QNetworkAccessManagerWrapper::setCache(QAbstractNetworkCache* cache) {
    m_manager->setCache(cache);
}

void QNetworkAccessManagerWrapper::setRedirectPolicy(QNetworkRequest::RedirectPolicy policy) {
    m_manager->setRedirectPolicy(policy);
}

QNetworkReplyWrapper::QNetworkReplyWrapper(QNetworkReply* reply) : QObject(reply), m_reply(reply) {
    if (m_reply) {
        connect(m_reply, &QNetworkReply::errorOccurred, this,
                [this](QNetworkReply::NetworkError code) { emit error(code); });
        connect(m_reply, &QNetworkReply::finished, this, &QNetworkReplyWrapper::finished);
        connect(m_reply, &QNetworkReply::downloadProgress, this,
                [this](qint64 bytesReceived, qint64 /*bytesTotal*/) { emit progress(bytesReceived); });
        connect(m_reply, &QNetworkReply::metaDataChanged, this, &QNetworkReplyWrapper::headersReceived);
        connect(m_reply, &QNetworkReply::readyRead, this, &QNetworkReplyWrapper::readyRead);
    }
}

QNetworkReplyWrapper::~QNetworkReplyWrapper() = default;

QNetworkReply::NetworkError QNetworkReplyWrapper::error() const {
    return m_reply ? m_reply->error() : QNetworkReply::UnknownNetworkError;
}

QString QNetworkReplyWrapper::errorString() const {
    return m_reply ? m_reply->errorString() : QString();
}

QByteArray QNetworkReplyWrapper::readAll() {
    return m_reply ? m_reply->readAll() : QByteArray();
}

QUrl QNetworkReplyWrapper::urlOfRequest() const {
    return m_reply ? m_reply->request().url() : QUrl();
}

void QNetworkReplyWrapper::releaseLater() {
    if (m_reply) {
        m_reply->deleteLater();
    } else {
        deleteLater();
    }
}

int QNetworkReplyWrapper::httpStatus() const {
    return m_reply ? m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
}

qint64 QNetworkReplyWrapper::announcedContentLength() const {
    if (!m_reply) {
        return -1;
    }
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    bool ok = false;
    const qint64 value = length.toLongLong(&ok);
    return length.isValid() && ok ? value : -1;
}

void QNetworkReplyWrapper::abort() {
    if (m_reply) {
        m_reply->abort();
    }
}

void QNetworkReplyWrapper::setReadBufferSize(qint64 bytes) {
    if (m_reply) {
        m_reply->setReadBufferSize(bytes);
    }
}

qint64 QNetworkReplyWrapper::bytesAvailable() const {
    return m_reply ? m_reply->bytesAvailable() : 0;
}

QByteArray QNetworkReplyWrapper::read(qint64 maxSize) {
    return m_reply && maxSize > 0 ? m_reply->read(maxSize) : QByteArray();
}

void QNetworkReplyWrapper::EmitFinished() {
    emit finished();
}

} // namespace shared
