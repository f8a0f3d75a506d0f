#pragma once

#include "launcher/configuration/package.h"
#include "launcher/configuration/packageconfiguration.h"
#include "launcher/download/filesize.h"
#include "launcher/download/packagefiledownloader.h"
#include "launcher/environment/launcherfilesystemhelper.h"
#include "launcher/installation/packagescan.h"

#include <QDir>
#include <QObject>

#include <memory>

class QNetworkAccessManager;

namespace shared {
class QNetworkAccessManagerWrapper;
class TDownloadPool;
} // namespace shared

namespace quarn::launcher {

// One run of the installation engine for one package: an installation or update (scan, delete,
// download, then verification) or a verification alone. The run owns its own network access
// manager, download pool and package file downloader.
class TPackageInstallation : public QObject {
    Q_OBJECT
public:
    TPackageInstallation(const std::shared_ptr<TPackage>& package,
                         const std::shared_ptr<TLauncherFilesystemHelper>& fileSystemHelper);
    ~TPackageInstallation() override;

    void setInstallationBaseDirectory(const QDir& directory) { m_InstallationBaseDirectory = directory; }
    void setFileRemovalStrategy(EFileRemovalStrategy strategy) { m_FileRemovalStrategy = strategy; }
    void setFilesToRemove(const TFileInPackageVector& files) { m_FilesToRemove = files; }
    void setFilesToDownload(const TFileToDownloadVector& files) { m_FilesToDownload = files; }

    // Starts an installation or update; returns at once.
    void startScan(const TPackageConfigurationReader& localConfiguration,
                   const TPackageConfigurationReader& serverConfiguration, bool fastScan);
    // Starts the verification of the configuration's files; when not forced and the settings skip
    // verification, reports success before returning.
    void verify(const TPackageConfigurationReader& configuration, bool forced);

    std::shared_ptr<TPackage> packageBeingInstalled() const { return m_Package; }
    TPackageFileDownloader* downloader() const { return m_Downloader; }
    bool isInstalledWithoutError() const { return m_InstalledWithoutError; }
    EPackageDownloaderError installationErrorReason() const { return m_InstallationErrorReason; }
    // The owner could not record the outcome of a finished phase (a marker file could not be
    // written): the run no longer counts as installed without error.
    void markFailed(EPackageDownloaderError reason) {
        m_InstalledWithoutError = false;
        m_InstallationErrorReason = reason;
    }

signals:
    void scanProgress(quarn::launcher::TFileSize BytesDownloaded, quarn::launcher::TFileSize BytesTotal);
    void writeProgress(quarn::launcher::TFileSize BytesDownloaded, quarn::launcher::TFileSize BytesTotal);
    void verificationProgress(quarn::launcher::TFileSize BytesDownloaded,
                              quarn::launcher::TFileSize BytesTotal);
    void downloadFinished(std::shared_ptr<quarn::launcher::TPackage> PackageBeingInstalled);
    void verificationFinished(std::shared_ptr<quarn::launcher::TPackage> PackageBeingInstalled);
    void diskAccessFailed(QString Message);

private slots:
    void onDownloadCompleted();
    void onDownloadFailed(quarn::launcher::EPackageDownloaderError ErrorReason);
    void onRequiredChangesComputedForInstallation(quarn::launcher::TPackageDifference Changes);
    void onVerifyFinished(bool Result);

private:
    void startDownload();
    void deleteFilesFromExistingInstallation() const;
    QString packageName() const;

    std::shared_ptr<TPackage> m_Package;
    std::shared_ptr<QNetworkAccessManager> m_NetworkAccessManager;
    std::shared_ptr<shared::QNetworkAccessManagerWrapper> m_NetworkAccessManagerWrapper;
    std::shared_ptr<shared::TDownloadPool> m_DownloadPool;
    TPackageFileDownloader* m_Downloader = nullptr;
    std::shared_ptr<TLauncherFilesystemHelper> m_FileSystemHelper;
    bool m_InstalledWithoutError = false;
    EPackageDownloaderError m_InstallationErrorReason = PACKAGE_DOWNLOADER_ERROR_NONE;
    EFileRemovalStrategy m_FileRemovalStrategy = FILE_REMOVAL_STRATEGY_REMOVE;
    QDir m_InstallationBaseDirectory{QString()};
    TFileInPackageVector m_FilesToRemove;
    TFileToDownloadVector m_FilesToDownload;
    // Files of the new build that the scan found wrong and that cannot be fetched: the run
    // installs everything else and then reports a download failure.
    QStringList m_UnfetchableFiles;
};

} // namespace quarn::launcher
