#include "launcher/environment/launchersettings.h"

#include <QSettings>

#include <algorithm>

namespace quarn::launcher {

namespace {
QVariant readValue(QSettings& settings, const char* section, const char* key, const QVariant& fallback) {
    settings.beginGroup(QLatin1String(section));
    QVariant value = settings.value(QLatin1String(key), fallback);
    settings.endGroup();
    return value;
}
} // namespace

TLauncherSettings::TLauncherSettings(const QString& settingsFilePath) {
    QSettings settings(settingsFilePath, QSettings::IniFormat);
    m_ConfigurationUrl = readValue(settings, "URLS", "launcherConfiguration", QUrl()).toUrl();
    m_CdnDiagnosticsTraceUrl = readValue(settings, "URLS", "cdnDiagnosticsTrace", QUrl()).toUrl();
    m_AppendNocache = readValue(settings, "URLS", "appendNocacheToPackageUrls", false).toBool();
    m_PackageSubdirectoryName = readValue(settings, "DIRECTORIES", "packages", QString()).toString();
    m_PackageFileName = readValue(settings, "FILES", "packageFile", QString()).toString();
    m_PartialPackageFileName = readValue(settings, "FILES", "partialPackageFile", QString()).toString();
    m_AssetFileName = readValue(settings, "FILES", "assetFile", QString()).toString();
    m_WaitNotificationTimeout = readValue(settings, "TIMING", "waitNotificationTimeout", 0).toInt();
    m_DownloadErrorTimeout = readValue(settings, "TIMING", "downloadErrorTimeout", 0).toInt();
    m_ClientStartTimeout = readValue(settings, "TIMING", "clientStartTimeout", 0).toInt();
    m_MaxCachedChunks = readValue(settings, "OPTIONS", "maxCachedChunks", 100).toInt();
    m_MaxConcurrentDownloads = readValue(settings, "OPTIONS", "maxConcurrentDownloads", 10).toInt();
    m_DownloadRateLimit =
        std::max<qint64>(0, readValue(settings, "OPTIONS", "downloadRateLimit", 0).toLongLong());
    m_SkipVerification = readValue(settings, "OPTIONS", "skipVerification", true).toBool();
    m_FastScan = readValue(settings, "OPTIONS", "fastScan", true).toBool();
    m_ChunkVerification = readValue(settings, "DEBUG", "chunkVerification", false).toBool();
}

} // namespace quarn::launcher
