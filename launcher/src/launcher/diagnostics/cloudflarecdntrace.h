#pragma once

#include "shared/downloadpool.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

namespace quarn::launcher {

// Fetches the CDN's plain-text trace page once, on demand, through the shared download pool, and
// keeps four of its values so that a failed download can tell which edge location served it.
class TCloudflareCdnTrace : public QObject {
    Q_OBJECT
public:
    // The values taken from a trace page ("key=value" per line).
    class TDiagnosticTraceOutput {
    public:
        TDiagnosticTraceOutput() = default;
        explicit TDiagnosticTraceOutput(const QString& traceText);

        const QString& fl() const { return m_Fl; }
        const QString& ts() const { return m_Ts; }
        const QString& colo() const { return m_Colo; }
        const QString& ip() const { return m_Ip; }
        // "FL: .., TS: .., COLO: .., IP: ..", the values as they stand.
        QString diagnosticSummary() const;

    private:
        QString m_Fl;
        QString m_Ts;
        QString m_Colo;
        QString m_Ip;
    };

    TCloudflareCdnTrace(QUrl traceUrl, std::shared_ptr<shared::TDownloadPool> pool);

    // Starts the fetch unless it is running or has succeeded. With no trace URL the trace fails
    // at once: diagnosticsTraceReceived(true) is emitted before this returns.
    void startReceivingTraceOutput();
    TDiagnosticTraceOutput traceOutput() const { return m_TraceOutput; }
    bool isFinished() const { return m_Finished; }
    bool isFailed() const { return m_Failed; }
    bool isInProgress() const { return m_InProgress; }

signals:
    void diagnosticsTraceReceived(bool Failed);

private slots:
    void onDownloadSuccess(QUrl Url, QByteArray Data);
    void onDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code, QString ErrorString);

private:
    QUrl m_TraceUrl;
    std::shared_ptr<shared::TDownloadPool> m_Pool;
    TDiagnosticTraceOutput m_TraceOutput;
    bool m_Finished = false;
    bool m_Failed = false;
    bool m_InProgress = false;
};

} // namespace quarn::launcher
