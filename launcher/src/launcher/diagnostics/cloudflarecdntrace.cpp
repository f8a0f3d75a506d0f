#include "launcher/diagnostics/cloudflarecdntrace.h"

#include <QDebug>
#include <QStringList>

namespace quarn::launcher {

TCloudflareCdnTrace::TDiagnosticTraceOutput::TDiagnosticTraceOutput(const QString& traceText) {
    const QStringList lines = traceText.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QStringList parts = line.split(QLatin1Char('='), Qt::SkipEmptyParts);
        if (parts.size() != 2)
            continue;
        const QString& key = parts.at(0);
        const QString value = parts.at(1).trimmed();
        if (key.compare(QLatin1String("fl"), Qt::CaseInsensitive) == 0)
            m_Fl = value;
        else if (key.compare(QLatin1String("ts"), Qt::CaseInsensitive) == 0)
            m_Ts = value;
        else if (key.compare(QLatin1String("colo"), Qt::CaseInsensitive) == 0)
            m_Colo = value;
        else if (key.compare(QLatin1String("ip"), Qt::CaseInsensitive) == 0)
            m_Ip = value;
    }
}

QString TCloudflareCdnTrace::TDiagnosticTraceOutput::diagnosticSummary() const {
    // One substitution for all four values, so that a value holding "%2" stays as it is.
    return QStringLiteral("FL: %1, TS: %2, COLO: %3, IP: %4").arg(m_Fl, m_Ts, m_Colo, m_Ip);
}

TCloudflareCdnTrace::TCloudflareCdnTrace(QUrl traceUrl, std::shared_ptr<shared::TDownloadPool> pool)
    : m_TraceUrl(std::move(traceUrl)), m_Pool(std::move(pool)) {
    connect(m_Pool.get(), &shared::TDownloadPool::success, this, &TCloudflareCdnTrace::onDownloadSuccess);
    connect(m_Pool.get(), &shared::TDownloadPool::failed, this, &TCloudflareCdnTrace::onDownloadFailed);
}

void TCloudflareCdnTrace::startReceivingTraceOutput() {
    if (m_Finished || m_InProgress)
        return;
    if (!m_TraceUrl.isValid()) {
        m_Failed = true;
        m_InProgress = false;
        emit diagnosticsTraceReceived(true);
        return;
    }
    m_Failed = false;
    m_InProgress = true;
    m_Pool->Submit(m_TraceUrl);
}

void TCloudflareCdnTrace::onDownloadSuccess(QUrl Url, QByteArray Data) {
    if (Url != m_TraceUrl || !m_InProgress)
        return;
    const int end = Data.indexOf('\0');
    m_TraceOutput = TDiagnosticTraceOutput(QString::fromUtf8(end < 0 ? Data : Data.left(end)));
    m_Finished = true;
    m_Failed = false;
    m_InProgress = false;
    emit diagnosticsTraceReceived(false);
}

void TCloudflareCdnTrace::onDownloadFailed(QUrl Url, QNetworkReply::NetworkError /*Code*/,
                                           QString ErrorString) {
    if (Url != m_TraceUrl || !m_InProgress)
        return;
    qWarning() << "CDN trace failed:" << ErrorString;
    m_Failed = true;
    m_Finished = false;
    m_InProgress = false;
    emit diagnosticsTraceReceived(true);
}

} // namespace quarn::launcher
