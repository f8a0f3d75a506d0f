#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

namespace shared {

class TJsonDocumentHttpPostSender;

// Posts a JSON document through a sender and reads the endpoint's JSON answer: an object whose
// "errorCode" (0 or missing: success) and "errorMessage" tell the outcome. Error codes: 0 for
// success or a network failure (the message tells them apart), ERROR_CODE_INVALID_REPLY for a
// reply that is not a JSON object, otherwise the code the endpoint sent.
class TJsonDocumentUploaderBase : public QObject {
    Q_OBJECT
public:
    static const int ERROR_CODE_INVALID_REPLY;

    explicit TJsonDocumentUploaderBase(std::shared_ptr<TJsonDocumentHttpPostSender> Sender,
                                       QObject* Parent = nullptr);
    ~TJsonDocumentUploaderBase() override;

    virtual void post(const QUrl& Url, const QJsonDocument& Document);

    QString getErrorMessage() const { return m_ErrorMessage; }
    int getErrorCode() const { return m_ErrorCode; }

public slots:
    void onFinished(QNetworkReply::NetworkError NetworkErrorCode, QString NetworkErrorString,
                    QByteArray ReplyFromServer);

signals:
    // The reply document is empty unless the reply was a JSON object.
    void finished(bool UploadSuccessful, QJsonDocument ReplyFromServer);

private:
    std::shared_ptr<TJsonDocumentHttpPostSender> m_Sender;
    QString m_ErrorMessage;
    int m_ErrorCode = 0;
};

} // namespace shared
