#pragma once

#include "launcher/environment/launchersettings.h"
#include "shared/filesystemhelper.h"

#include <QDir>
#include <QString>

#include <memory>

namespace quarn::launcher {

// File name of the local copy of the launcher configuration.
extern const char LOCAL_CONFIGURATION_BACKUP_NAME[];

// The launcher's single place for where things live on disk (bundle, data folder, packages
// folder, configuration backup) and for the few file operations beyond plain reading and
// writing. It also owns the launcher settings.
class TLauncherFilesystemHelper {
public:
    TLauncherFilesystemHelper();

    const std::shared_ptr<TLauncherSettings>& launcherSettings() const { return m_Settings; }

    // The application bundle when the executable lives in one ("Contents/MacOS", any letter
    // case), otherwise the executable's own folder.
    QDir getApplicationBaseDirectory() const;
    // The per-user data folder; not created here.
    QDir getWritableBaseDirectory() const;
    QDir getOrCreatePackagesDirectory() const;
    QString getFullPath(const QDir& directory, const QString& relativePath) const;
    QString getMainConfigurationPath() const;
    QString getLauncherExecutablePath() const;

    QByteArray loadBinaryFileIfExisting(const QString& path) const;
    // Creates the file's folder when needed, then writes the data.
    void writeBinaryFileWithPath(const QString& path, const QByteArray& data) const;
    // Creates the file's folder when needed, then replaces the file as a whole or not at all
    // (temporary file in the same folder, flush, rename). For markers and backups.
    void writeFileAtomically(const QString& path, const QByteArray& data) const;
    bool fileExists(const QString& path) const;
    void removeFileOrDirectory(const QString& path) const;
    // Replaces the target by the source; nothing happens when the source does not exist.
    void moveFileOrDirectory(const QString& sourcePath, const QString& targetPath) const;
    QString getFileBackupPath(const QString& path) const;
    void deleteBackupFilesInDirectory(const QString& directoryPath) const;
    // Creates the folder that contains the given path when it does not exist.
    void createDirectoryIfNotExists(const QString& path) const;
    void setExecutableBits(const QString& path) const;
    void createSymbolicLinkToLauncherExecutable() const;

    // The folder an executable in the given folder takes as its application base directory.
    static QDir applicationBaseDirectoryFor(const QDir& executableDirectory);

private:
    shared::TFileSystemHelper m_FileSystemHelper;
    std::shared_ptr<TLauncherSettings> m_Settings;
};

} // namespace quarn::launcher
