#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

namespace quarn::launcher {

// Posts funnel milestones (launcher window shown, client downloaded, client verified) to the
// funnel endpoint of the launcher configuration. A random identifier, created once per user
// account in the launcher's settings store, ties the events of one machine together; when it is
// created it is also written to "orvaneShared.json" in the client's data folder, if that folder
// exists. Fire and forget: the answer is only logged.
class TFunnelEventSender : public QObject {
    Q_OBJECT
public:
    static const char FUNNEL_UUID_KEY[];
    static const char SHARED_FILE_NAME[];

    explicit TFunnelEventSender(QString funnelSettingsKey = QString::fromLatin1(FUNNEL_UUID_KEY),
                                QObject* parent = nullptr);

    // Sends one event; firstTimeKey names the settings flag that tells whether this step happens
    // for the first time on this user account.
    void sendFunnelEvent(const QUrl& funnelUrl, const QString& step, const QString& firstTimeKey);

    // Path of the identifier file the game client reads.
    static QString sharedIdentifierFilePath();

signals:
    // The POST of a step ended (Failed: no answer or an error status).
    void funnelEventAnswered(QString Step, bool Failed);

private:
    QString m_FunnelSettingsKey;
};

} // namespace quarn::launcher
