#pragma once

#include <QString>
#include <QUrl>

namespace quarn::launcher {

// The launcher's static configuration, read once from an INI file: the built-in resource, or a
// file of the same name next to the executable, which then replaces it completely.
class TLauncherSettings {
public:
    explicit TLauncherSettings(const QString& settingsFilePath);

    QUrl configurationUrl() const { return m_ConfigurationUrl; }
    QUrl cdnDiagnosticsTraceUrl() const { return m_CdnDiagnosticsTraceUrl; }
    bool appendNocacheToJsonFiles() const { return m_AppendNocache; }
    QString packageSubdirectoryName() const { return m_PackageSubdirectoryName; }
    QString packageFileName() const { return m_PackageFileName; }
    // The installed-package marker has the package file's name.
    QString installedPackageMarker() const { return m_PackageFileName; }
    QString partiallyInstalledPackageMarker() const { return m_PartialPackageFileName; }
    QString assetFileName() const { return m_AssetFileName; }
    qint64 waitNotificationTimeout() const { return m_WaitNotificationTimeout; }
    qint64 downloadErrorTimeout() const { return m_DownloadErrorTimeout; }
    qint64 clientStartTimeout() const { return m_ClientStartTimeout; }
    bool fastScan() const { return m_FastScan; }
    bool skipVerification() const { return m_SkipVerification; }
    bool chunkVerification() const { return m_ChunkVerification; }
    int maxCachedChunks() const { return m_MaxCachedChunks; }
    int maxConcurrentDownloads() const { return m_MaxConcurrentDownloads; }
    // Cap on the total download rate of an installation run in bytes per second; 0 for none.
    // Negative or unreadable values count as 0.
    qint64 downloadRateLimit() const { return m_DownloadRateLimit; }

private:
    QUrl m_ConfigurationUrl;
    QUrl m_CdnDiagnosticsTraceUrl;
    bool m_AppendNocache = false;
    QString m_PackageSubdirectoryName;
    QString m_PackageFileName;
    QString m_PartialPackageFileName;
    QString m_AssetFileName;
    qint64 m_WaitNotificationTimeout = 0;
    qint64 m_DownloadErrorTimeout = 0;
    qint64 m_ClientStartTimeout = 0;
    bool m_FastScan = true;
    bool m_SkipVerification = true;
    bool m_ChunkVerification = false;
    int m_MaxCachedChunks = 100;
    int m_MaxConcurrentDownloads = 10;
    qint64 m_DownloadRateLimit = 0;
};

} // namespace quarn::launcher
