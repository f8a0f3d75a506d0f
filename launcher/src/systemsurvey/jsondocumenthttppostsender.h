#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

namespace shared {

// Posts a JSON document over HTTP(S) with its own access manager and hands back the reply's
// error and bytes. A reply larger than MAX_REPLY_SIZE is cut off and reported as failed, and a
// request that makes no progress for TRANSFER_TIMEOUT_MS is given up, so a misbehaving endpoint
// can neither fill the memory nor keep a request open for ever.
class TJsonDocumentHttpPostSender : public QObject {
    Q_OBJECT
public:
    static const qint64 MAX_REPLY_SIZE;
    static const int TRANSFER_TIMEOUT_MS;

    explicit TJsonDocumentHttpPostSender(QObject* Parent = nullptr);
    ~TJsonDocumentHttpPostSender() override;

    // Content type "application/json", content disposition form-data named "metadata", the
    // document as compact JSON.
    virtual void post(const QUrl& Url, const QJsonDocument& Document);
    QNetworkReply* postWrapper(const QNetworkRequest& Request, const QByteArray& Data);

public slots:
    void onFinished(QNetworkReply* Reply);

signals:
    void finished(QNetworkReply::NetworkError NetworkErrorCode, QString NetworkErrorString,
                  QByteArray ReplyFromServer);

private:
    std::shared_ptr<QNetworkAccessManager> m_NetworkAccessManager;
};

} // namespace shared
