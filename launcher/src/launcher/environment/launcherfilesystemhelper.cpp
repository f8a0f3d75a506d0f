#include "launcher/environment/launcherfilesystemhelper.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

// Resources compiled into a static library must be registered explicitly, outside any namespace.
static void initialiseSettingsResource() {
    Q_INIT_RESOURCE(settings);
}

namespace quarn::launcher {

const char LOCAL_CONFIGURATION_BACKUP_NAME[] = "launchermetadata.json";

namespace {
const QString BACKUP_SUFFIX = QStringLiteral(".old");
const QString SETTINGS_FILE_NAME = QStringLiteral("launchersettings.ini");
const QString SETTINGS_RESOURCE_PREFIX = QStringLiteral(":/settings/");
const QString BUNDLE_MARKER = QStringLiteral("Contents/MacOS");
} // namespace

TLauncherFilesystemHelper::TLauncherFilesystemHelper() {
    initialiseSettingsResource();
    QString settingsPath =
        m_FileSystemHelper.combinePath({QCoreApplication::applicationDirPath(), SETTINGS_FILE_NAME});
    if (!m_FileSystemHelper.fileExists(settingsPath))
        settingsPath = SETTINGS_RESOURCE_PREFIX + SETTINGS_FILE_NAME;
    m_Settings = std::make_shared<TLauncherSettings>(settingsPath);
}

QDir TLauncherFilesystemHelper::applicationBaseDirectoryFor(const QDir& executableDirectory) {
    const QString path = executableDirectory.absolutePath();
    if (path.endsWith(BUNDLE_MARKER, Qt::CaseInsensitive))
        return QDir(QDir::cleanPath(path + QStringLiteral("/../..")));
    return executableDirectory;
}

QDir TLauncherFilesystemHelper::getApplicationBaseDirectory() const {
    return applicationBaseDirectoryFor(QDir(QCoreApplication::applicationDirPath()));
}

QDir TLauncherFilesystemHelper::getWritableBaseDirectory() const {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
}

QDir TLauncherFilesystemHelper::getOrCreatePackagesDirectory() const {
    return m_FileSystemHelper.getOrCreateDirectory(
        getFullPath(getWritableBaseDirectory(), m_Settings->packageSubdirectoryName()));
}

QString TLauncherFilesystemHelper::getFullPath(const QDir& directory, const QString& relativePath) const {
    return m_FileSystemHelper.getCleanedFullPathRelativeTo(directory, relativePath);
}

QString TLauncherFilesystemHelper::getMainConfigurationPath() const {
    return getFullPath(getWritableBaseDirectory(), QString::fromLatin1(LOCAL_CONFIGURATION_BACKUP_NAME));
}

QString TLauncherFilesystemHelper::getLauncherExecutablePath() const {
    return QCoreApplication::applicationFilePath();
}

QByteArray TLauncherFilesystemHelper::loadBinaryFileIfExisting(const QString& path) const {
    return m_FileSystemHelper.loadBinaryFileWithPathIfExisting(path);
}

void TLauncherFilesystemHelper::writeBinaryFileWithPath(const QString& path, const QByteArray& data) const {
    createDirectoryIfNotExists(path);
    m_FileSystemHelper.writeBinaryFileWithPath(path, data);
}

void TLauncherFilesystemHelper::writeFileAtomically(const QString& path, const QByteArray& data) const {
    createDirectoryIfNotExists(path);
    m_FileSystemHelper.writeFileAtomically(path, data);
}

bool TLauncherFilesystemHelper::fileExists(const QString& path) const {
    return m_FileSystemHelper.fileExists(path);
}

void TLauncherFilesystemHelper::removeFileOrDirectory(const QString& path) const {
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        QDir(path).removeRecursively();
    else if (info.exists() || info.isSymLink())
        m_FileSystemHelper.deleteFileWithPath(path);
}

void TLauncherFilesystemHelper::moveFileOrDirectory(const QString& sourcePath,
                                                    const QString& targetPath) const {
    if (!QFileInfo(sourcePath).exists() && !QFileInfo(sourcePath).isSymLink())
        return;
    removeFileOrDirectory(targetPath);
    QFile::rename(sourcePath, targetPath);
}

QString TLauncherFilesystemHelper::getFileBackupPath(const QString& path) const {
    return path + BACKUP_SUFFIX;
}

void TLauncherFilesystemHelper::deleteBackupFilesInDirectory(const QString& directoryPath) const {
    for (const shared::TLocalFileInfo& file : m_FileSystemHelper.getListOfFilesForDirectory(directoryPath)) {
        if (file.getLocalFilename().endsWith(BACKUP_SUFFIX, Qt::CaseSensitive))
            m_FileSystemHelper.deleteFileWithPath(file.getCompleteFilepath());
    }
}

void TLauncherFilesystemHelper::createDirectoryIfNotExists(const QString& path) const {
    m_FileSystemHelper.getOrCreateDirectory(QFileInfo(path).absolutePath());
}

void TLauncherFilesystemHelper::setExecutableBits(const QString& path) const {
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                                    QFileDevice::ExeOther);
}

void TLauncherFilesystemHelper::createSymbolicLinkToLauncherExecutable() const {
    const QString target = getLauncherExecutablePath();
    const QString link = m_FileSystemHelper.combinePath(
        {getWritableBaseDirectory().absolutePath(), QFileInfo(target).fileName()});
    const QFileInfo linkInfo(link);
    if (linkInfo.exists()) {
        // Something real (a file or folder of that name) is never replaced by the link.
        if (!linkInfo.isSymLink())
            return;
        QFile::remove(link);
    } else if (linkInfo.isSymLink()) {
        QFile::remove(link); // a dangling link
    }
    QFile::link(target, link);
}

} // namespace quarn::launcher
