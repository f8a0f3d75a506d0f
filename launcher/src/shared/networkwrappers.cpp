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

void QNetworkReplyWrapper::EmitFinished() {
    emit finished();
}

} // namespace shared
