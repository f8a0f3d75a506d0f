#include "systemsurvey/jsondocumentuploaderbase.h"

#include "systemsurvey/jsondocumenthttppostsender.h"

#include <QJsonObject>
#include <QJsonParseError>

namespace shared {

const int TJsonDocumentUploaderBase::ERROR_CODE_INVALID_REPLY = -100;

TJsonDocumentUploaderBase::TJsonDocumentUploaderBase(std::shared_ptr<TJsonDocumentHttpPostSender> Sender,
                                                     QObject* Parent)
    : QObject(Parent), m_Sender(std::move(Sender)) {
    connect(m_Sender.get(), &TJsonDocumentHttpPostSender::finished, this,
            &TJsonDocumentUploaderBase::onFinished);
}

TJsonDocumentUploaderBase::~TJsonDocumentUploaderBase() {
    // The sender may outlive this object (it is shared) or report while it is released here.
    QObject::disconnect(m_Sender.get(), nullptr, this, nullptr);
}

void TJsonDocumentUploaderBase::post(const QUrl& Url, const QJsonDocument& Document) {
    m_Sender->post(Url, Document);
}

void TJsonDocumentUploaderBase::onFinished(QNetworkReply::NetworkError NetworkErrorCode,
                                           QString NetworkErrorString, QByteArray ReplyFromServer) {
    m_ErrorMessage.clear();
    m_ErrorCode = 0;
    if (NetworkErrorCode != QNetworkReply::NoError) {
        m_ErrorMessage = NetworkErrorString;
        emit finished(false, QJsonDocument());
        return;
    }
    QJsonParseError parseError;
    const QJsonDocument reply = QJsonDocument::fromJson(ReplyFromServer, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        m_ErrorMessage = parseError.errorString();
        m_ErrorCode = ERROR_CODE_INVALID_REPLY;
        emit finished(false, QJsonDocument());
        return;
    }
    // An array is JSON but says nothing about the outcome; it is no confirmation either.
    if (!reply.isObject()) {
        m_ErrorMessage = QStringLiteral("The reply is not a JSON object");
        m_ErrorCode = ERROR_CODE_INVALID_REPLY;
        emit finished(false, QJsonDocument());
        return;
    }
    const QJsonObject answer = reply.object();
    const int errorCode = answer.value(QStringLiteral("errorCode")).toInt(0);
    if (errorCode == 0) {
        emit finished(true, reply);
        return;
    }
    m_ErrorMessage = answer.value(QStringLiteral("errorMessage")).toString();
    m_ErrorCode = errorCode;
    emit finished(false, reply);
}

} // namespace shared
