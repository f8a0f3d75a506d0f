#include "launcher/diagnostics/funneleventsender.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QStandardPaths>
#include <QUuid>

namespace quarn::launcher {

const char TFunnelEventSender::FUNNEL_UUID_KEY[] = "FunnelUuid";
const char TFunnelEventSender::SHARED_FILE_NAME[] = "orvaneShared.json";

namespace {
// The answer is only logged; a few kilobytes are plenty for that.
constexpr qint64 MAXIMUM_LOGGED_ANSWER = 4096;
} // namespace

TFunnelEventSender::TFunnelEventSender(QString funnelSettingsKey, QObject* parent)
    : QObject(parent), m_FunnelSettingsKey(std::move(funnelSettingsKey)) {}

QString TFunnelEventSender::sharedIdentifierFilePath() {
    return QDir::cleanPath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                           QStringLiteral("/Orvane Online/") + QLatin1String(SHARED_FILE_NAME));
}

void TFunnelEventSender::sendFunnelEvent(const QUrl& funnelUrl, const QString& step,
                                         const QString& firstTimeKey) {
    qInfo() << "sendFunnelEvent: " << step;
    QSettings settings;
    QString identifier = settings.value(m_FunnelSettingsKey).toString();
    if (identifier.isEmpty()) {
        identifier = QUuid::createUuid().toString(QUuid::WithoutBraces);
        settings.setValue(m_FunnelSettingsKey, identifier);
        // The folder belongs to the game client: the file is only written when the client
        // created it.
        QFile sharedFile(sharedIdentifierFilePath());
        if (QFileInfo(sharedFile).dir().exists() &&
            sharedFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            QJsonObject shared;
            shared.insert(QStringLiteral("DeviceIdentifier"), identifier);
            sharedFile.write(QJsonDocument(shared).toJson(QJsonDocument::Indented));
        }
    }
    const bool first = settings.value(firstTimeKey, true).toBool();
    if (first)
        settings.setValue(firstTimeKey, false);
    settings.sync();

    QJsonObject event;
    event.insert(QStringLiteral("step"), step);
    event.insert(QStringLiteral("first"), first);
    event.insert(QStringLiteral("id"), identifier);
    const QByteArray document = QJsonDocument(event).toJson(QJsonDocument::Indented);

    QNetworkRequest request(funnelUrl);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    // One access manager per event, released together with its reply.
    auto* manager = new QNetworkAccessManager(this);
    qInfo() << "Sending funnel event for step " << step;
    QNetworkReply* reply = manager->post(request, document);
    connect(reply, &QNetworkReply::finished, this, [this, reply, manager, step]() {
        const bool failed = reply->error() != QNetworkReply::NoError;
        if (failed) {
            qWarning() << "Error funnel sending (Step: " << step << "):" << reply->errorString();
        } else {
            QByteArray answer = reply->read(MAXIMUM_LOGGED_ANSWER);
            const int end = answer.indexOf('\0');
            if (end >= 0)
                answer.truncate(end);
            qInfo() << "Funnel response received (Step: " << step << "):" << QString::fromUtf8(answer);
        }
        reply->deleteLater();
        manager->deleteLater();
        emit funnelEventAnswered(step, failed);
    });
}

} // namespace quarn::launcher
