#include "launcher/installation/packageinstallation.h"

#include "launcher/environment/packagepathguard.h"
#include "launcher/installation/packagedocumentcheck.h"
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

namespace {
// How often a run that waits for its folder's lock looks again.
constexpr int FOLDER_LOCK_POLL_MS = 100;

// The names of the launcher's own files at the top of a package folder: the fixed ones and those
// the settings give.
QStringList reservedNames(const TLauncherFilesystemHelper& helper) {
    QStringList names = TPackageDocumentCheck::defaultReservedNames();
    const std::shared_ptr<TLauncherSettings>& settings = helper.launcherSettings();
    if (settings) {
        names << settings->installedPackageMarker() << settings->partiallyInstalledPackageMarker()
              << settings->assetFileName();
    }
    names.removeAll(QString());
    return names;
}
} // namespace

TPackageInstallation::TPackageInstallation(const std::shared_ptr<TPackage>& package,
                                           const std::shared_ptr<TLauncherFilesystemHelper>& fileSystemHelper)
    : m_Package(package), m_FileSystemHelper(fileSystemHelper) {
    qRegisterMetaType<TPackageDifference>();
    m_NetworkAccessManager = std::make_shared<QNetworkAccessManager>();
    m_NetworkAccessManagerWrapper =
        std::make_shared<shared::QNetworkAccessManagerWrapper>(m_NetworkAccessManager);
    // A replacement settings file may say 0 or less; a pool without a slot would never finish.
    const int concurrentDownloads =
        std::max(1, fileSystemHelper->launcherSettings()->maxConcurrentDownloads());
    m_DownloadPool = std::make_shared<shared::TDownloadPool>(concurrentDownloads,
                                                             m_NetworkAccessManagerWrapper, nullptr, false);
    m_Downloader = new TPackageFileDownloader(m_DownloadPool, fileSystemHelper);
    connect(m_Downloader, &TPackageFileDownloader::downloadCompleted, this,
            &TPackageInstallation::onDownloadCompleted);
    connect(m_Downloader, &TPackageFileDownloader::downloadFailed, this,
            &TPackageInstallation::onDownloadFailed);
    m_FolderLockTimer.setInterval(FOLDER_LOCK_POLL_MS);
    connect(&m_FolderLockTimer, &QTimer::timeout, this, &TPackageInstallation::onFolderLockPoll);
}

TPackageInstallation::~TPackageInstallation() {
    // The run may be destroyed while the downloader is still emitting its final signal.
    m_Downloader->deleteLater();
}

QString TPackageInstallation::packageName() const {
    return m_Package ? m_Package->packageName() : QString();
}

TPackageFolderLock& TPackageInstallation::folderLock() {
    const QString folder = m_InstallationBaseDirectory.absolutePath();
    if (!m_FolderLock || (m_FolderLock->folder() != folder && !m_FolderLock->isLocked()))
        m_FolderLock = std::make_unique<TPackageFolderLock>(folder);
    return *m_FolderLock;
}

bool TPackageInstallation::lockInstallationFolder() {
    return folderLock().lock(m_FolderLockTimeoutMs);
}

QString TPackageInstallation::folderLockError() const {
    return m_FolderLock ? m_FolderLock->errorString() : QString();
}

void TPackageInstallation::releaseInstallationFolder() {
    m_FolderLockTimer.stop();
    m_AfterFolderLock = nullptr;
    if (m_FolderLock)
        m_FolderLock->unlock();
}

void TPackageInstallation::failLater(const QString& message) {
    qWarning().noquote() << message;
    QTimer::singleShot(0, this, [this, message] { emit diskAccessFailed(message); });
}

void TPackageInstallation::runWithFolderLocked(std::function<void()> next) {
    TPackageFolderLock& lock = folderLock();
    if (lock.tryLock()) {
        next();
        return;
    }
    if (!lock.isBusy()) {
        failLater(lock.errorString());
        return;
    }
    qInfo() << "waiting for the folder lock of " << lock.folder();
    m_AfterFolderLock = std::move(next);
    m_FolderLockWaited.start();
    m_FolderLockTimer.start();
}

void TPackageInstallation::onFolderLockPoll() {
    if (!m_FolderLock || !m_AfterFolderLock) {
        m_FolderLockTimer.stop();
        return;
    }
    if (m_FolderLock->tryLock()) {
        m_FolderLockTimer.stop();
        const std::function<void()> next = std::move(m_AfterFolderLock);
        m_AfterFolderLock = nullptr;
        next();
        return;
    }
    if (m_FolderLockWaited.elapsed() >= m_FolderLockTimeoutMs) {
        m_FolderLockTimer.stop();
        m_AfterFolderLock = nullptr;
        const QString message = TPackageFolderLock::busyMessage(m_FolderLock->folder());
        qWarning().noquote() << message;
        emit diskAccessFailed(message);
    }
}

void TPackageInstallation::startScan(const TPackageConfigurationReader& localConfiguration,
                                     const TPackageConfigurationReader& serverConfiguration, bool fastScan) {
    // Nothing on disk changes for a build that is not valid as a whole.
    const QStringList reserved = reservedNames(*m_FileSystemHelper);
    const QString problem = TPackageDocumentCheck::findProblem(serverConfiguration, reserved, true);
    if (!problem.isEmpty()) {
        failLater(problem);
        return;
    }
    // The recorded configuration decides what is deleted and, for a fast scan, what is trusted.
    // One that is not valid is not used: every file is read and nothing is deleted.
    TPackageConfigurationReader local = localConfiguration;
    if (!local.containedFiles().empty()) {
        const QString localProblem = TPackageDocumentCheck::findProblem(local, reserved, false);
        if (!localProblem.isEmpty()) {
            qWarning().noquote() << "recorded configuration not used: " << localProblem;
            local = TPackageConfigurationReader();
        }
    }
    runWithFolderLocked([this, local, serverConfiguration, fastScan] {
        startScanLocked(local, serverConfiguration, fastScan);
    });
}

void TPackageInstallation::startScanLocked(const TPackageConfigurationReader& localConfiguration,
                                           const TPackageConfigurationReader& serverConfiguration,
                                           bool fastScan) {
    auto* watcher = new QFutureWatcher<TPackageDifference>();
    connect(watcher, &QFutureWatcher<TPackageDifference>::finished, this, [this, watcher] {
        const TPackageDifference changes = watcher->result();
        delete watcher;
        onRequiredChangesComputedForInstallation(changes);
    });
    const auto progress = [this](TFileSize done, TFileSize total) { emit scanProgress(done, total); };
    watcher->setFuture(
        QtConcurrent::run([directory = m_InstallationBaseDirectory, helper = m_FileSystemHelper,
                           serverConfiguration, localConfiguration, fastScan, progress] {
            return TPackageScanner::FindDifferencesBetweenLocalPackageAndServerPackage(
                directory, helper, serverConfiguration, localConfiguration, fastScan, progress);
        }));
}

void TPackageInstallation::onRequiredChangesComputedForInstallation(TPackageDifference Changes) {
    qInfo() << "onRequiredChangesComputedForInstallation"
            << " files to download: " << Changes.filesToDownload.size()
            << " files to delete: " << Changes.filesToDelete.size()
            << " Thread: " << QThread::currentThreadId();
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
        const QString fullPath =
            m_FileSystemHelper->getFullPath(m_InstallationBaseDirectory, file.relativeLocalPath());
        try {
            // Only the file itself goes: never a folder that now stands there, never through a link.
            if (!TPackagePathGuard::removeFile(m_InstallationBaseDirectory, fullPath))
                qWarning() << "not removed, it is not a file of the package: " << fullPath;
        } catch (const std::runtime_error&) {
            if (m_FileRemovalStrategy != FILE_REMOVAL_STRATEGY_MOVE_TO_BACKUP)
                throw;
            m_FileSystemHelper->moveFileOrDirectory(fullPath,
                                                    m_FileSystemHelper->getFileBackupPath(fullPath));
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
    qInfo() << "onDownloadFailed" << packageName() << " " << int(ErrorReason)
            << " Thread: " << QThread::currentThreadId();
    m_InstalledWithoutError = false;
    m_InstallationErrorReason = ErrorReason;
    emit downloadFinished(m_Package);
}

void TPackageInstallation::verify(const TPackageConfigurationReader& configuration, bool forced) {
    if (!forced && m_FileSystemHelper->launcherSettings()->skipVerification()) {
        onVerifyFinished(true);
        return;
    }
    runWithFolderLocked([this, configuration] { startVerificationLocked(configuration); });
}

void TPackageInstallation::startVerificationLocked(const TPackageConfigurationReader& configuration) {
    auto* watcher = new QFutureWatcher<bool>();
    connect(watcher, &QFutureWatcher<bool>::finished, this, [this, watcher] {
        const bool result = watcher->result();
        delete watcher;
        onVerifyFinished(result);
    });
    const auto progress = [this](TFileSize done, TFileSize total) { emit verificationProgress(done, total); };
    watcher->setFuture(
        QtConcurrent::run([directory = m_InstallationBaseDirectory, helper = m_FileSystemHelper,
                           files = configuration.containedFiles(), progress] {
            return TPackageScanner::VerifyPackage(directory, helper, files, progress);
        }));
}

void TPackageInstallation::onVerifyFinished(bool Result) {
    qInfo() << "onVerifyFinished with " << (Result ? "true" : "false")
            << " Thread: " << QThread::currentThreadId();
    m_InstalledWithoutError = Result;
    m_InstallationErrorReason =
        Result ? PACKAGE_DOWNLOADER_ERROR_NONE : PACKAGE_DOWNLOADER_ERROR_VERIFICATION_FAILED;
    emit verificationFinished(m_Package);
}

} // namespace quarn::launcher
