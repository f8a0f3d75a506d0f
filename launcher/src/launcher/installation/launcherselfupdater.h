#pragma once

#include "launcher/configuration/package.h"
#include "launcher/configuration/packageconfiguration.h"
#include "launcher/environment/launcherfilesystemhelper.h"
#include "launcher/installation/installationmanager.h"

#include <QDir>
#include <QObject>
#include <QString>

#include <memory>

namespace quarn::launcher {

// Keeps the launcher itself current: a private installation manager installs the launcher
// package's build over the launcher's own bundle. The restart is the controller's.
//
// The running executable is protected for the whole update: before the run it is renamed to its
// ".old" name and a copy takes its place, so the run only ever changes the copy. A failed run, and
// any file error, puts the original back. Exactly one of the three signals ends an update.
class TLauncherSelfUpdater : public QObject {
    Q_OBJECT
public:
    explicit TLauncherSelfUpdater(const std::shared_ptr<TLauncherFilesystemHelper>& fileSystemHelper);
    ~TLauncherSelfUpdater() override;

    // Whether the build on the service has exactly the running version; no configuration (no
    // launcher package for this machine) counts as current.
    bool isLauncherToDate(const TPackageConfigurationReader* configuration) const;
    void startSelfUpdate(const std::shared_ptr<TPackage>& package);
    // Deletes the backups an earlier update left: the executable's, and inside a real bundle every
    // ".old" file at its top and the backups of the files the launcher package records. File
    // errors are logged, never thrown.
    void cleanupOldLauncherVersion() const;

    // The bundle the launcher package is installed in and the running executable; by default the
    // application base directory and the running program.
    void setLauncherLocation(const QDir& bundleDirectory, const QString& executablePath);

signals:
    void updateDownloadFinishedAndRestartRequired();
    void updateFailed();
    void diskAccessFailed(QString ErrorMessage);

private slots:
    void onInstallationOrUpdateFinished(const quarn::launcher::TPackageInstallation& InstallationInProgress);
    void onDiskAccessFailed(QString ErrorMessage);

private:
    QDir bundleDirectory() const;
    QString executablePath() const;
    // Renames the executable to its backup and puts a copy in its place; throws on failure, with
    // the original back in place.
    void protectExecutable();
    // Puts the original executable back over whatever the run left; throws on failure.
    void restoreExecutable();
    // Ends the update with one signal (queued: the controller is never re-entered).
    void finish(void (TLauncherSelfUpdater::*signal)());
    void fail(const QString& message);
    void removeOwnBackups() const;

    std::shared_ptr<TLauncherFilesystemHelper> m_FileSystemHelper;
    std::unique_ptr<TInstallationManager> m_InstallationManager;
    QDir m_BundleDirectory;
    QString m_ExecutablePath;
    bool m_LocationSet = false;
    bool m_ExecutableProtected = false;
    bool m_UpdateRunning = false;
};

} // namespace quarn::launcher
