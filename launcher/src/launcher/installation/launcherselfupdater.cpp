#include "launcher/installation/launcherselfupdater.h"

#include "launcher/installation/packagemarkers.h"
#include "launcher/version.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <unistd.h>

namespace quarn::launcher {

namespace {

const QString COPY_SUFFIX = QStringLiteral(".update-copy");

[[noreturn]] void throwFileError(const QString& path, const QString& reason) {
    throw std::runtime_error(QStringLiteral("I/O error on file '%1': %2").arg(path, reason).toStdString());
}

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// rename(2): replaces the target in one step, so the path never stands empty.
bool renameReplacing(const QString& source, const QString& target) {
    return std::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) == 0;
}

} // namespace

TLauncherSelfUpdater::TLauncherSelfUpdater(const std::shared_ptr<TLauncherFilesystemHelper>& fileSystemHelper)
    : m_FileSystemHelper(fileSystemHelper) {}

TLauncherSelfUpdater::~TLauncherSelfUpdater() = default;

void TLauncherSelfUpdater::setLauncherLocation(const QDir& bundleDirectory, const QString& executablePath) {
    m_BundleDirectory = bundleDirectory;
    m_ExecutablePath = executablePath;
    m_LocationSet = true;
}

QDir TLauncherSelfUpdater::bundleDirectory() const {
    return m_LocationSet ? m_BundleDirectory : m_FileSystemHelper->getApplicationBaseDirectory();
}

QString TLauncherSelfUpdater::executablePath() const {
    return m_LocationSet ? m_ExecutablePath : m_FileSystemHelper->getLauncherExecutablePath();
}

bool TLauncherSelfUpdater::isLauncherToDate(const TPackageConfigurationReader* configuration) const {
    if (!configuration)
        return true;
    return configuration->packageVersion() == LAUNCHER_VERSION;
}

void TLauncherSelfUpdater::startSelfUpdate(const std::shared_ptr<TPackage>& package) {
    if (!package)
        return;
    qInfo() << "startSelfUpdate " << package->packageName() << " Thread: " << QThread::currentThreadId();
    if (m_UpdateRunning) {
        qWarning() << "startSelfUpdate: an update is already running";
        return;
    }
    m_InstallationManager = std::make_unique<TInstallationManager>(nullptr, m_FileSystemHelper);
    m_InstallationManager->setLauncherPackageDirectory(bundleDirectory());
    connect(m_InstallationManager.get(), &TInstallationManager::installationOrUpdateFinished, this,
            &TLauncherSelfUpdater::onInstallationOrUpdateFinished);
    connect(m_InstallationManager.get(), &TInstallationManager::diskAccessFailed, this,
            &TLauncherSelfUpdater::onDiskAccessFailed);
    // Files of the bundle that cannot be removed are moved aside instead.
    m_InstallationManager->setFileRemovalStrategy(FILE_REMOVAL_STRATEGY_MOVE_TO_BACKUP);

    m_UpdateRunning = true;
    try {
        protectExecutable();
        m_InstallationManager->installOrUpdatePackage(package);
    } catch (const std::runtime_error& error) {
        fail(QString::fromUtf8(error.what()));
        return;
    }
    if (m_UpdateRunning && !m_InstallationManager->isInstallationInProgress(package)) {
        // No build of the launcher for this machine: nothing to do, nothing changed.
        qCritical() << "Updating Orvane Online failed: no build for this machine";
        try {
            restoreExecutable();
        } catch (const std::runtime_error& error) {
            fail(QString::fromUtf8(error.what()));
            return;
        }
        finish(&TLauncherSelfUpdater::updateFailed);
    }
}

void TLauncherSelfUpdater::protectExecutable() {
    const QString executable = executablePath();
    const QString backup = m_FileSystemHelper->getFileBackupPath(executable);
    const QString copy = executable + COPY_SUFFIX;
    if (!QFileInfo(executable).isFile())
        throwFileError(executable, QStringLiteral("the launcher executable is missing"));
    // The copy is made beside the executable first, so that the executable's path never stands
    // empty: the original is kept under its backup name, the copy then takes its place.
    m_FileSystemHelper->removeFileOrDirectory(copy);
    if (!QFile::copy(executable, copy)) {
        m_FileSystemHelper->removeFileOrDirectory(copy);
        throwFileError(copy, QStringLiteral("could not copy the launcher executable"));
    }
    QFile::setPermissions(copy, QFile::permissions(executable));
    m_FileSystemHelper->removeFileOrDirectory(backup);
    // A second name for the running file where the file system allows it, else a rename.
    const bool linked =
        ::link(QFile::encodeName(executable).constData(), QFile::encodeName(backup).constData()) == 0;
    if (!linked && !renameReplacing(executable, backup)) {
        const QString reason = systemError();
        m_FileSystemHelper->removeFileOrDirectory(copy);
        throwFileError(executable, QStringLiteral("could not be moved to its backup: ") + reason);
    }
    if (!renameReplacing(copy, executable)) {
        const QString reason = systemError();
        if (linked)
            m_FileSystemHelper->removeFileOrDirectory(backup);
        else
            renameReplacing(backup, executable);
        m_FileSystemHelper->removeFileOrDirectory(copy);
        throwFileError(executable, QStringLiteral("could not be replaced by its copy: ") + reason);
    }
    m_ExecutableProtected = true;
}

void TLauncherSelfUpdater::restoreExecutable() {
    if (!m_ExecutableProtected)
        return;
    const QString executable = executablePath();
    const QString backup = m_FileSystemHelper->getFileBackupPath(executable);
    if (!renameReplacing(backup, executable))
        throwFileError(executable, QStringLiteral("could not be restored from its backup: ") + systemError());
    m_ExecutableProtected = false;
}

void TLauncherSelfUpdater::finish(void (TLauncherSelfUpdater::*signal)()) {
    m_UpdateRunning = false;
    QMetaObject::invokeMethod(
        this, [this, signal] { emit(this->*signal)(); }, Qt::QueuedConnection);
}

void TLauncherSelfUpdater::fail(const QString& message) {
    QString text = message;
    try {
        restoreExecutable();
    } catch (const std::runtime_error& error) {
        text += QLatin1Char('\n') + QString::fromUtf8(error.what());
    }
    m_UpdateRunning = false;
    QMetaObject::invokeMethod(
        this, [this, text] { emit diskAccessFailed(text); }, Qt::QueuedConnection);
}

void TLauncherSelfUpdater::onInstallationOrUpdateFinished(
    const TPackageInstallation& InstallationInProgress) {
    if (!m_UpdateRunning)
        return;
    if (InstallationInProgress.isInstalledWithoutError()) {
        // The original stays as the backup until the restarted launcher cleans up.
        m_ExecutableProtected = false;
        finish(&TLauncherSelfUpdater::updateDownloadFinishedAndRestartRequired);
        return;
    }
    try {
        restoreExecutable();
    } catch (const std::runtime_error& error) {
        fail(QString::fromUtf8(error.what()));
        return;
    }
    qCritical() << "Updating Orvane Online failed: Error"
                << int(InstallationInProgress.installationErrorReason());
    finish(&TLauncherSelfUpdater::updateFailed);
}

void TLauncherSelfUpdater::onDiskAccessFailed(QString ErrorMessage) {
    if (m_UpdateRunning)
        fail(ErrorMessage);
}

void TLauncherSelfUpdater::cleanupOldLauncherVersion() const {
    qInfo() << "cleanupOldLauncherVersion"
            << " Thread: " << QThread::currentThreadId();
    try {
        removeOwnBackups();
    } catch (const std::runtime_error& error) {
        // A backup that stays does no harm; the next start tries again.
        qWarning() << "cleanupOldLauncherVersion: " << error.what();
    }
}

void TLauncherSelfUpdater::removeOwnBackups() const {
    const QDir bundle = bundleDirectory();
    const QString executable = executablePath();
    const auto removeBackupOf = [&](const QString& path) {
        const QString backup = m_FileSystemHelper->getFileBackupPath(path);
        const QFileInfo info(backup);
        if (info.isFile() || info.isSymLink())
            m_FileSystemHelper->removeFileOrDirectory(backup);
    };
    removeBackupOf(executable);
    // Everything else only inside a real bundle: a launcher started from an ordinary folder (a
    // downloads folder) shares it with other programs and their files.
    const QDir executableFolder = QFileInfo(executable).absoluteDir();
    const QString bundlePath = QDir::cleanPath(bundle.absolutePath());
    const bool insideBundle =
        QDir::cleanPath(executableFolder.absolutePath()) != bundlePath &&
        QDir::cleanPath(
            TLauncherFilesystemHelper::applicationBaseDirectoryFor(executableFolder).absolutePath()) ==
            bundlePath;
    if (!insideBundle)
        return;
    m_FileSystemHelper->deleteBackupFilesInDirectory(bundlePath);
    // Backups the update made of the launcher's own files deeper in the bundle.
    const TPackageConfigurationReader recorded =
        TPackageMarkerFiles(*m_FileSystemHelper, bundle).localConfiguration();
    for (const TFileInPackage& file : recorded.containedFiles())
        removeBackupOf(m_FileSystemHelper->getFullPath(bundle, file.relativeLocalPath()));
}

} // namespace quarn::launcher
