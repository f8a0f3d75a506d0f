#pragma once

#include "launcher/configuration/launcherconfiguration.h"
#include "launcher/environment/launcherfilesystemhelper.h"
#include "shared/downloadpool.h"
#include "shared/randomhints.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <vector>

namespace quarn::launcher {

// The two documents of one build: the package document and the optional asset document.
class TPackageUrls {
public:
    TPackageUrls() = default;
    TPackageUrls(QUrl packageUrl, QUrl assetsUrl)
        : m_PackageUrl(std::move(packageUrl)), m_AssetsUrl(std::move(assetsUrl)) {}

    const QUrl& packageUrl() const { return m_PackageUrl; }
    const QUrl& assetsUrl() const { return m_AssetsUrl; }
    bool containsUrl(const QUrl& url) const { return url == m_PackageUrl || url == m_AssetsUrl; }

private:
    QUrl m_PackageUrl;
    QUrl m_AssetsUrl;
};

// One build whose documents are being fetched. The package is held as well, so that the build
// stays alive while its documents are on the way.
class TPackageDownloadData {
public:
    TPackageDownloadData(std::shared_ptr<TPackage> package, TPackageBuild* build, TPackageUrls urls)
        : m_Package(std::move(package)), m_Build(build), m_Urls(std::move(urls)) {}

    bool containsUrl(const QUrl& url) const { return m_Urls.containsUrl(url); }
    const TPackageUrls& urls() const { return m_Urls; }
    TPackageBuild* build() const { return m_Build; }
    void setJsonDataForUrl(const QUrl& url, QByteArray data);
    // True when every document with a URL has arrived; an empty URL never waits.
    bool allDataAvailable() const;
    // Reads both documents and attaches the result to the build. A reader that refused the
    // documents is not attached: the build then has no package configuration, as if its documents
    // had failed to download, so that nobody mistakes it for an empty build. Returns whether a
    // configuration was attached.
    bool constructPackageConfigurationReader();

private:
    std::shared_ptr<TPackage> m_Package;
    TPackageBuild* m_Build;
    TPackageUrls m_Urls;
    QByteArray m_PackageData;
    QByteArray m_AssetsData;
};

// Obtains the launcher configuration from the update service through the shared download pool,
// keeps a backup of the last good one in the data folder and falls back to it when the service
// does not answer in time; then fetches the package and asset documents of every build for this
// machine (or, working from the backup, reads the installed copies). Also fetches the hints.
//
// Each load of the launcher configuration ends with exactly one announcement:
// mainConfigurationLoaded() or mainConfigurationDownloadFailed() (or diskAccessFailed() when the
// backup cannot be read). Whatever arrives for the configuration URL after that is logged and
// ignored.
class TLauncherConfigurationHandler : public QObject {
    Q_OBJECT
public:
    TLauncherConfigurationHandler(const std::shared_ptr<shared::TDownloadPool>& downloadPool,
                                  const std::shared_ptr<TLauncherFilesystemHelper>& filesystemHelper);
    ~TLauncherConfigurationHandler() override;

    void loadMainConfiguration();
    std::shared_ptr<TLauncherConfigurationReader> getMainConfiguration() const { return m_MainConfiguration; }
    // The package configuration of the launcher's own build for this machine, or null.
    TPackageConfigurationReader* getLauncherConfiguration() const;
    bool isLoadedFromBackup() const { return m_LoadedFromBackup; }
    void loadPackageConfigurationsOfSameArchitectureAndOS();
    void loadHintAreaData();
    shared::THint getHintAreaData() const { return m_SelectedHint; }
    std::vector<shared::THint> getHintsAreaData() const { return m_Hints; }
    QUrl preventCachingForURLIfEnabledByConfig(const QUrl& url) const;
    TPackageUrls getDownloadUrlForBuildFromPackage(const std::shared_ptr<TPackage>& package) const;
    // Replace the values read from the settings (before loadMainConfiguration).
    void setErrorTimerInterval(int milliseconds);
    void setConfigurationUrl(const QUrl& url) { m_ConfigurationUrl = url; }

signals:
    void mainConfigurationLoaded();
    void mainConfigurationDownloadFailed();
    void diskAccessFailed(QString ErrorMessage);
    void packageConfigurationDownloadsFinished();
    void hintAreaDataReceived(const shared::THint& Hint);
    void hintsAreaDataReceived(std::vector<shared::THint> Hints);

public slots:
    void onConfigurationDownloadFinished(QUrl Url, QByteArray Data);
    void onConfigurationDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code, QString ErrorString);
    void onErrorTimerExpired();

private:
    void acceptDownloadedConfiguration(const QByteArray& data);
    void saveConfigurationBackup();
    void loadConfigurationBackupFromDisk();
    // Marks the running load as decided; false (with a log line) when it was decided before.
    bool decideMainConfiguration(const char* event);
    bool isPendingPackageUrl(const QUrl& url) const;
    void finishPendingEntries(const QUrl& url, const QByteArray* data);

    std::shared_ptr<shared::TDownloadPool> m_DownloadPool;
    std::shared_ptr<TLauncherFilesystemHelper> m_FilesystemHelper;
    QUrl m_ConfigurationUrl;
    QTimer m_ErrorTimer;
    std::shared_ptr<TLauncherConfigurationReader> m_MainConfiguration;
    bool m_LoadedFromBackup = false;
    // True while a load of the launcher configuration waits for its outcome.
    bool m_MainConfigurationPending = false;
    shared::THint m_SelectedHint;
    std::vector<shared::THint> m_Hints;
    std::vector<TPackageDownloadData> m_PendingDownloads;
};

} // namespace quarn::launcher
