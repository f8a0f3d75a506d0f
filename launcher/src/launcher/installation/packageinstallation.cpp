#include "launcher/installation/packageinstallation.h"

#include "shared/downloadpool.h"
#include "shared/networkwrappers.h"

#include <QDebug>
#include <QFutureWatcher>
#include <QNetworkAccessManager>
#include <QThread>
#include <QtConcurrent>

#include <algorithm>
#include <stdexcept>

namespace quarn::launcher {

TPackageInstallation::TPackageInstallation(const std::shared_ptr<TPackage>& package,
                                           const std::shared_ptr<TLauncherFilesystemHelper>& fileSystemHelper)
    : m_Package(package), m_FileSystemHelper(fileSystemHelper) {
    qRegisterMetaType<TPackageDifference>();
    m_NetworkAccessManager = std::make_shared<QNetworkAccessManager>();
    m_NetworkAccessManagerWrapper = std::make_shared<shared::QNetworkAccessManagerWrapper>(m_NetworkAccessManager);
    // A replacement settings file may say 0 or less; a pool without a slot would never finish.
    const int concurrentDownloads = std::max(1, fileSystemHelper->launcherSettings()->maxConcurrentDownloads());
    m_DownloadPool = std::make_shared<shared::TDownloadPool>(concurrentDownloads, m_NetworkAccessManagerWrapper,
                                                             nullptr, false);
    m_Downloader = new TPackageFileDownloader(m_DownloadPool, fileSystemHelper);
    connect(m_Downloader, &TPackageFileDownloader::downloadCompleted, this,
            &TPackageInstallation::onDownloadCompleted);
    connect(m_Downloader, &TPackageFileDownloader::downloadFailed, this, &TPackageInstallation::onDownloadFailed);
}

TPackageInstallation::~TPackageInstallation() {
    // The run may be destroyed while the downloader is still emitting its final signal.
    m_Downloader->deleteLater();
}

QString TPackageInstallation::packageName() const { return m_Package ? m_Package->packageName() : QString(); }

void TPackageInstallation::startScan(const TPackageConfigurationReader& localConfiguration,
                                     const TPackageConfigurationReader& serverConfiguration, bool fastScan) {
    auto* watcher = new QFutureWatcher<TPackageDifference>();
    connect(watcher, &QFutureWatcher<TPackageDifference>::finished, this, [this, watcher] {
        const TPackageDifference changes = watcher->result();
        delete watcher;
        onRequiredChangesComputedForInstallation(changes);
    });
    const auto progress = [this](TFileSize done, TFileSize total) { emit scanProgress(done, total); };
    watcher->setFuture(QtConcurrent::run([directory = m_InstallationBaseDirectory, helper = m_FileSystemHelper,
                                          serverConfiguration, localConfiguration, fastScan, progress] {
        return TPackageScanner::FindDifferencesBetweenLocalPackageAndServerPackage(
            directory, helper, serverConfiguration, localConfiguration, fastScan, progress);
    }));
}

void TPackageInstallation::onRequiredChangesComputedForInstallation(TPackageDifference Changes) {
    qInfo() << "onRequiredChangesComputedForInstallation"
            << " files to download: " << Changes.filesToDownload.size()
            << " files to delete: " << Changes.filesToDelete.size() << " Thread: " << QThread::currentThreadId();
    if (!Changes.failure.isEmpty()) {
        emit diskAccessFailed(Changes.failure);
        return;
    }
    m_FilesToDownload = std::move(Changes.filesToDownload);
    m_FilesToRemove = std::move(Changes.filesToDelete);
    m_UnfetchableFiles = Changes.unfetchableFiles;
    try {
        startDownload();
    } catch (const std::runtime_error& error) {
        emit diskAccessFailed(QString::fromUtf8(error.what()));
    }
}

void TPackageInstallation::startDownload() {
    qInfo() << "startDownload: " << packageName() << " Thread: " << QThread::currentThreadId();
    deleteFilesFromExistingInstallation();
    if (m_FilesToDownload.empty()) {
        onDownloadCompleted();
        return;
    }
    m_Downloader->setDownloadDirectory(m_InstallationBaseDirectory);
    m_Downloader->setFileRemovalStrategy(m_FileRemovalStrategy);
    m_Downloader->submitFiles(m_FilesToDownload);
    m_Downloader->startDownload();
}

void TPackageInstallation::deleteFilesFromExistingInstallation() const {
    for (const TFileInPackage& file : m_FilesToRemove) {
        const QString fullPath = m_FileSystemHelper->getFullPath(m_InstallationBaseDirectory, file.relativeLocalPath());
        try {
            m_FileSystemHelper->removeFileOrDirectory(fullPath);
        } catch (const std::runtime_error&) {
            if (m_FileRemovalStrategy != FILE_REMOVAL_STRATEGY_MOVE_TO_BACKUP)
                throw;
            m_FileSystemHelper->moveFileOrDirectory(fullPath, m_FileSystemHelper->getFileBackupPath(fullPath));
        }
    }
}

void TPackageInstallation::onDownloadCompleted() {
    if (!m_UnfetchableFiles.isEmpty()) {
        qWarning() << "files without a download source: " << m_UnfetchableFiles;
        onDownloadFailed(PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED);
        return;
    }
    qInfo() << "onDownloadCompleted" << packageName() << " Thread: " << QThread::currentThreadId();
    m_InstalledWithoutError = true;
    m_InstallationErrorReason = PACKAGE_DOWNLOADER_ERROR_NONE;
    emit downloadFinished(m_Package);
}

void TPackageInstallation::onDownloadFailed(EPackageDownloaderError ErrorReason) {
    qInfo() << "onDownloadFailed" << packageName() << " " << int(ErrorReason) << " Thread: "
            << QThread::currentThreadId();
    m_InstalledWithoutError = false;
    m_InstallationErrorReason = ErrorReason;
    emit downloadFinished(m_Package);
}

void TPackageInstallation::verify(const TPackageConfigurationReader& configuration, bool forced) {
    if (!forced && m_FileSystemHelper->launcherSettings()->skipVerification()) {
        onVerifyFinished(true);
        return;
    }
    auto* watcher = new QFutureWatcher<bool>();
    connect(watcher, &QFutureWatcher<bool>::finished, this, [this, watcher] {
        const bool result = watcher->result();
        delete watcher;
        onVerifyFinished(result);
    });
    const auto progress = [this](TFileSize done, TFileSize total) { emit verificationProgress(done, total); };
    watcher->setFuture(QtConcurrent::run([directory = m_InstallationBaseDirectory, helper = m_FileSystemHelper,
                                          files = configuration.containedFiles(), progress] {
        return TPackageScanner::VerifyPackage(directory, helper, files, progress);
    }));
}

void TPackageInstallation::onVerifyFinished(bool Result) {
    qInfo() << "onVerifyFinished with " << (Result ? "true" : "false") << " Thread: " << QThread::currentThreadId();
    m_InstalledWithoutError = Result;
    m_InstallationErrorReason = Result ? PACKAGE_DOWNLOADER_ERROR_NONE : PACKAGE_DOWNLOADER_ERROR_VERIFICATION_FAILED;
    emit verificationFinished(m_Package);
}

} // namespace quarn::launcher
