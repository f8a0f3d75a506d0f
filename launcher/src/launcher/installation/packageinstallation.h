#pragma once

#include "launcher/configuration/package.h"
#include "launcher/configuration/packageconfiguration.h"
#include "launcher/download/filesize.h"
#include "launcher/download/packagefiledownloader.h"
#include "launcher/environment/launcherfilesystemhelper.h"
#include "launcher/installation/packagefolderlock.h"
#include "launcher/installation/packagescan.h"

#include <QDir>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>
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
//
// A run changes its package folder only while it holds the folder's lock (TPackageFolderLock):
// it takes the lock before the scan (or a verification) and keeps it until it is destroyed or
// releaseInstallationFolder() is called, so that its owner writes the markers of the result while
// no other run can change the folder. A run that finds the lock taken waits up to the lock timeout
// and then ends with diskAccessFailed and a message that says so. The server build is checked as
// a whole before the disk is touched (TPackageDocumentCheck); an invalid build ends the run the
// same way, with the reason.
//
// Before anything is deleted or downloaded, the run compares the bytes it will add to the package
// folder's file system (new files, grown files, room for set-aside chunks) with the free space
// there plus what the files it deletes give back; when that is too little it ends at once as a
// failed installation (downloadFinished with PACKAGE_DOWNLOADER_ERROR_SAVING_FAILED) whose
// installationErrorMessage() names both sizes.
class TPackageInstallation : public QObject {
    Q_OBJECT
public:
    static constexpr int DEFAULT_FOLDER_LOCK_TIMEOUT_MS = 30000;
    // Free bytes for unprivileged writers on the file system that holds the folder; negative when
    // unknown (the check is then skipped).
    using TFreeSpaceProvider = std::function<qint64(const QString& folder)>;
    TPackageInstallation(const std::shared_ptr<TPackage>& package,
                         const std::shared_ptr<TLauncherFilesystemHelper>& fileSystemHelper);
    ~TPackageInstallation() override;

    void setInstallationBaseDirectory(const QDir& directory) { m_InstallationBaseDirectory = directory; }
    void setFileRemovalStrategy(EFileRemovalStrategy strategy) { m_FileRemovalStrategy = strategy; }
    void setFilesToRemove(const TFileInPackageVector& files) { m_FilesToRemove = files; }
    void setFilesToDownload(const TFileToDownloadVector& files) { m_FilesToDownload = files; }
    void setFolderLockTimeout(int milliseconds) { m_FolderLockTimeoutMs = milliseconds; }
    // Replaces the file system query of the free-space check (for tests); an empty function
    // restores it.
    void setFreeSpaceProvider(TFreeSpaceProvider provider) { m_FreeSpaceProvider = std::move(provider); }
    static qint64 freeSpaceOnFileSystemOf(const QString& folder);

    // Takes the installation folder's lock now, waiting up to the lock timeout in this thread;
    // for owners that write markers before the run starts. False when it could not be taken
    // (folderLockError() says why). The run's own phases take the lock when they start.
    bool lockInstallationFolder();
    QString folderLockError() const;
    // Lets other runs change the folder; the owner calls it after writing its markers.
    void releaseInstallationFolder();

    // Starts an installation or update; returns at once.
    void startScan(const TPackageConfigurationReader& localConfiguration,
                   const TPackageConfigurationReader& serverConfiguration, bool fastScan);
    // Starts the verification of the configuration's files; when not forced and the settings skip
    // verification, reports success before returning.
    void verify(const TPackageConfigurationReader& configuration, bool forced);

    std::shared_ptr<TPackage> packageBeingInstalled() const { return m_Package; }
    TPackageFileDownloader* downloader() const { return m_Downloader; }
    const std::shared_ptr<shared::TDownloadPool>& downloadPool() const { return m_DownloadPool; }
    bool isInstalledWithoutError() const { return m_InstalledWithoutError; }
    EPackageDownloaderError installationErrorReason() const { return m_InstallationErrorReason; }
    // A readable reason for the failure of the last phase when the run knows more than the error
    // reason says (for example too little free space); empty otherwise.
    QString installationErrorMessage() const { return m_InstallationErrorMessage; }
    // The owner could not record the outcome of a finished phase (a marker file could not be
    // written): the run no longer counts as installed without error.
    void markFailed(EPackageDownloaderError reason, const QString& message = QString()) {
        m_InstalledWithoutError = false;
        m_InstallationErrorReason = reason;
        m_InstallationErrorMessage = message;
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
    // The reason the package folder's file system cannot take what the run will write, or an
    // empty text when it can (or its free space is unknown).
    QString findSpaceShortage() const;
    // Runs next once the folder's lock is held: at once when it is free, otherwise when it becomes
    // free within the lock timeout; after that the run fails.
    void runWithFolderLocked(std::function<void()> next);
    void onFolderLockPoll();
    void startScanLocked(const TPackageConfigurationReader& localConfiguration,
                         const TPackageConfigurationReader& serverConfiguration, bool fastScan);
    void startVerificationLocked(const TPackageConfigurationReader& configuration);
    // Ends the run with diskAccessFailed(message) from the event loop, so that a starting call
    // returns first.
    void failLater(const QString& message);
    TPackageFolderLock& folderLock();
    QString packageName() const;

    std::shared_ptr<TPackage> m_Package;
    std::shared_ptr<QNetworkAccessManager> m_NetworkAccessManager;
    std::shared_ptr<shared::QNetworkAccessManagerWrapper> m_NetworkAccessManagerWrapper;
    std::shared_ptr<shared::TDownloadPool> m_DownloadPool;
    TPackageFileDownloader* m_Downloader = nullptr;
    std::shared_ptr<TLauncherFilesystemHelper> m_FileSystemHelper;
    bool m_InstalledWithoutError = false;
    EPackageDownloaderError m_InstallationErrorReason = PACKAGE_DOWNLOADER_ERROR_NONE;
    QString m_InstallationErrorMessage;
    TFreeSpaceProvider m_FreeSpaceProvider;
    EFileRemovalStrategy m_FileRemovalStrategy = FILE_REMOVAL_STRATEGY_REMOVE;
    QDir m_InstallationBaseDirectory{QString()};
    TFileInPackageVector m_FilesToRemove;
    TFileToDownloadVector m_FilesToDownload;
    // Files of the new build that the scan found wrong and that cannot be fetched: the run
    // installs everything else and then reports a download failure.
    QStringList m_UnfetchableFiles;
    std::unique_ptr<TPackageFolderLock> m_FolderLock;
    int m_FolderLockTimeoutMs = DEFAULT_FOLDER_LOCK_TIMEOUT_MS;
    QTimer m_FolderLockTimer;
    QElapsedTimer m_FolderLockWaited;
    std::function<void()> m_AfterFolderLock;
};

} // namespace quarn::launcher
