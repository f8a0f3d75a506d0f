#include "launcher/installation/packageinstallation.h"

#include "launcher/environment/packagepathguard.h"
#include "launcher/installation/packagedocumentcheck.h"
#include "shared/downloadpool.h"
#include "shared/networkwrappers.h"

#include <QDebug>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QStorageInfo>
#include <QThread>
#include <QtConcurrent>

#include <algorithm>
#include <set>
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

QString describeSize(quint64 bytes) {
    return QStringLiteral("%1 bytes (%2)")
        .arg(bytes)
        .arg(QLocale::c().formattedDataSize(static_cast<qint64>(std::min<quint64>(bytes, INT64_MAX))));
}

// Size of the regular file at the path of the package, 0 when there is none (a link or special
// file there is replaced, never written through).
quint64 sizeOfPackageFile(const QDir& directory, const QString& fullPath) {
    if (TPackagePathGuard::inspect(directory, fullPath) != PACKAGE_PATH_KIND_FILE)
        return 0;
    return static_cast<quint64>(std::max<qint64>(0, QFileInfo(fullPath).size()));
}

// The folder, or its nearest existing parent (on the same file system) while it does not exist yet.
QString nearestExistingFolder(const QString& folder) {
    QString path = QDir(folder).absolutePath();
    while (!QFileInfo(path).isDir()) {
        const QString parent = QFileInfo(path).absolutePath();
        if (parent == path)
            break;
        path = parent;
    }
    return path;
}

bool onSameFileSystem(const QString& first, const QString& second) {
    const QStorageInfo a(nearestExistingFolder(first)), b(nearestExistingFolder(second));
    return a.isValid() && b.isValid() && a.device() == b.device();
}

quint64 saturatingAdd(quint64 a, quint64 b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
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
    m_DownloadPool->setRateLimit(fileSystemHelper->launcherSettings()->downloadRateLimit());
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
        // Nothing is deleted or fetched for a run that would run out of space half way.
        const QString shortage = findSpaceShortage();
        if (!shortage.isEmpty()) {
            qWarning().noquote() << shortage;
            m_InstalledWithoutError = false;
            m_InstallationErrorReason = PACKAGE_DOWNLOADER_ERROR_SAVING_FAILED;
            m_InstallationErrorMessage = shortage;
            emit downloadFinished(m_Package);
            return;
        }
        startDownload();
    } catch (const std::runtime_error& error) {
        emit diskAccessFailed(QString::fromUtf8(error.what()));
    }
}

qint64 TPackageInstallation::freeSpaceOnFileSystemOf(const QString& folder) {
    const QStorageInfo storage(nearestExistingFolder(folder));
    return storage.isValid() && storage.isReady() ? storage.bytesAvailable() : -1;
}

QString TPackageInstallation::findSpaceShortage() const {
    const QDir& directory = m_InstallationBaseDirectory;
    quint64 needed = 0;
    quint64 largestChunk = 0;
    quint64 bytesToWrite = 0;
    std::set<QByteArray> distinctChunks;
    for (const TFileToDownload& file : m_FilesToDownload) {
        const TChunkedFileInPackage& data = file.fileData();
        const quint64 newSize = data.unpackedFileMetadata().fileSize();
        const QString fullPath = m_FileSystemHelper->getFullPath(directory, data.relativeLocalPath());
        const quint64 oldSize = sizeOfPackageFile(directory, fullPath);
        // A file rewritten from scratch loses its old copy first; one changed in place keeps its
        // blocks: either way the file system gains the difference.
        if (newSize > oldSize)
            needed = saturatingAdd(needed, newSize - oldSize);
        for (int index : file.chunksToDownload()) {
            if (index < 0 || static_cast<size_t>(index) >= data.chunks().size())
                continue;
            const TFileMetadata& chunk = data.chunks()[static_cast<size_t>(index)].unpackedFileMetadata();
            const quint64 size = chunk.fileSize();
            distinctChunks.insert(chunk.fileHash());
            largestChunk = std::max(largestChunk, size);
            bytesToWrite = saturatingAdd(bytesToWrite, size);
        }
    }
    if (needed == 0 && bytesToWrite == 0)
        return QString();
    // Chunks that arrive before the places they belong to are set aside: in memory up to the
    // downloader's cache, beyond it in temporary files. When a download has more chunks than the
    // cache holds and those files lie on this file system, room for one chunk per download slot
    // is kept.
    const QString folder = directory.absolutePath();
    const quint64 cached = static_cast<quint64>(std::max(0, m_Downloader->maxCachedChunks()));
    if (distinctChunks.size() > cached && onSameFileSystem(QDir::tempPath(), folder)) {
        const quint64 downloadSlots =
            static_cast<quint64>(std::max(1, m_DownloadPool->GetMaxConcurrentDownloads()));
        const quint64 reserve =
            largestChunk > UINT64_MAX / downloadSlots ? UINT64_MAX : largestChunk * downloadSlots;
        needed = saturatingAdd(needed, std::min(bytesToWrite, reserve));
    }
    const TFreeSpaceProvider provider = m_FreeSpaceProvider ? m_FreeSpaceProvider : freeSpaceOnFileSystemOf;
    const qint64 freeBytes = provider(folder);
    if (freeBytes < 0) {
        qWarning().noquote() << "free space of " << folder << " unknown: not checked";
        return QString();
    }
    // The deletion phase runs before the downloads and gives the space of the dropped files back.
    quint64 available = static_cast<quint64>(freeBytes);
    for (const TFileInPackage& file : m_FilesToRemove)
        available =
            saturatingAdd(available, sizeOfPackageFile(directory, m_FileSystemHelper->getFullPath(
                                                                      directory, file.relativeLocalPath())));
    qInfo().noquote() << "space check for " << folder << ": needed " << needed << ", available " << available;
    if (needed <= available)
        return QString();
    return QStringLiteral(
               "Not enough free disk space in \"%1\": the installation needs %2, available are %3.")
        .arg(QDir::toNativeSeparators(folder), describeSize(needed), describeSize(available));
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
    m_InstallationErrorMessage.clear();
    emit downloadFinished(m_Package);
}

void TPackageInstallation::onDownloadFailed(EPackageDownloaderError ErrorReason) {
    qInfo() << "onDownloadFailed" << packageName() << " " << int(ErrorReason)
            << " Thread: " << QThread::currentThreadId();
    m_InstalledWithoutError = false;
    m_InstallationErrorReason = ErrorReason;
    m_InstallationErrorMessage.clear();
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
    m_InstallationErrorMessage.clear();
    emit verificationFinished(m_Package);
}

} // namespace quarn::launcher
