#include "systemsurvey/jsondocumenthttppostsender.h"

#include <QPointer>

namespace shared {

namespace {
const char REPLY_TOO_LARGE_PROPERTY[] = "orvaneReplyTooLarge";
}

const qint64 TJsonDocumentHttpPostSender::MAX_REPLY_SIZE = 1024 * 1024;
const int TJsonDocumentHttpPostSender::TRANSFER_TIMEOUT_MS = 30000;

TJsonDocumentHttpPostSender::TJsonDocumentHttpPostSender(QObject* Parent)
    : QObject(Parent), m_NetworkAccessManager(std::make_shared<QNetworkAccessManager>()) {
    connect(m_NetworkAccessManager.get(), &QNetworkAccessManager::finished, this,
            &TJsonDocumentHttpPostSender::onFinished);
}

TJsonDocumentHttpPostSender::~TJsonDocumentHttpPostSender() {
    // Replies aborted while the access manager goes away must not reach a half-destroyed sender.
    QObject::disconnect(m_NetworkAccessManager.get(), nullptr, this, nullptr);
}

void TJsonDocumentHttpPostSender::post(const QUrl& Url, const QJsonDocument& Document) {
    QNetworkRequest request(Url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setHeader(QNetworkRequest::ContentDispositionHeader,
                      QStringLiteral("form-data; name=\"metadata\""));
    request.setTransferTimeout(TRANSFER_TIMEOUT_MS);
    QNetworkReply* reply = postWrapper(request, Document.toJson(QJsonDocument::Compact));
    if (reply == nullptr)
        return;
    QPointer<QNetworkReply> guarded(reply);
    connect(reply, &QNetworkReply::downloadProgress, this, [guarded](qint64 Received, qint64 Total) {
        if (guarded && (Received > MAX_REPLY_SIZE || Total > MAX_REPLY_SIZE) &&
            !guarded->property(REPLY_TOO_LARGE_PROPERTY).toBool()) {
            guarded->setProperty(REPLY_TOO_LARGE_PROPERTY, true);
            guarded->abort();
        }
    });
}

QNetworkReply* TJsonDocumentHttpPostSender::postWrapper(const QNetworkRequest& Request,
                                                        const QByteArray& Data) {
    return m_NetworkAccessManager->post(Request, Data);
}

void TJsonDocumentHttpPostSender::onFinished(QNetworkReply* Reply) {
    if (Reply->property(REPLY_TOO_LARGE_PROPERTY).toBool()) {
        emit finished(QNetworkReply::UnknownContentError,
                      QStringLiteral("The reply is larger than %1 bytes").arg(MAX_REPLY_SIZE), QByteArray());
    } else {
        emit finished(Reply->error(), Reply->errorString(), Reply->readAll());
    }
    Reply->deleteLater();
}

} // namespace shared
