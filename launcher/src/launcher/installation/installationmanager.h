#pragma once

#include "launcher/configuration/launcherconfiguration.h"
#include "launcher/configuration/package.h"
#include "launcher/configuration/packageconfiguration.h"
#include "launcher/download/packagefiledownloader.h"
#include "launcher/environment/launcherfilesystemhelper.h"
#include "launcher/installation/packageinstallation.h"

#include <QByteArray>
#include <QDir>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace quarn::launcher {

// The launcher's single authority over what is installed: decides every package's status from the
// marker files in its directory, records the default client, starts installation, update and
// verification runs, keeps them while they are in progress and writes the markers as they get on.
// It never hashes or downloads itself. Main thread only.
//
// File errors of the public operations are thrown as std::runtime_error; those that happen while a
// run ends are reported through diskAccessFailed.
class TInstallationManager : public QObject {
    Q_OBJECT
public:
    // Without a configuration (the self updater's private manager) nothing that walks the catalogue
    // may be called; with one, every package's status and the default are determined at once.
    TInstallationManager(const std::shared_ptr<TLauncherConfigurationReader>& configuration,
                         const std::shared_ptr<TLauncherFilesystemHelper>& fileSystemHelper);
    ~TInstallationManager() override;

    void determineUpdateAndDefaultStatusOfCurrentPackages();
    EPackageStatus determineInstallationStatus(const std::shared_ptr<TPackage>& package) const;
    QDir getPackageDirectory(const std::shared_ptr<TPackage>& package) const;
    TPackageConfigurationReader
    readPackageConfigurationFromInstallationDirectory(const QDir& directory) const;
    std::pair<QString, QString> packageInstallationMarkerNames(const QDir& directory) const;
    bool HasFullInstallationMarker(const QDir& directory) const;
    QString getPackageExecutable(const std::shared_ptr<TPackage>& package) const;
    QStringList getPackageExecutableParameters(const std::shared_ptr<TPackage>& package) const;
    std::shared_ptr<TPackage> getPackageForExecutablePath(const QString& path) const;
    std::shared_ptr<TPackage> getDefaultPackage() const;
    // Whether a run of the package (same name) is in progress.
    bool isInstallationInProgress(const std::shared_ptr<TPackage>& package) const;

    void installOrUpdatePackage(const std::shared_ptr<TPackage>& package);
    void verifyPackage(const std::shared_ptr<TPackage>& package);
    void installPackagesMarkedForAutoInstallation();
    void setDefaultPackage(const std::shared_ptr<TPackage>& package);
    void removeDefaultPackageMarkerFromCurrentPackages();

    void markPackageAsPartiallyInstalled(const std::shared_ptr<TPackage>& package,
                                         const QByteArray& packageJson, const QByteArray& assetJson);
    void updatePartiallyInstalledPackage(const std::shared_ptr<TPackage>& package,
                                         const QByteArray& packageJson, const QByteArray& assetJson);
    void markPackageAsFullyInstalled(const std::shared_ptr<TPackage>& package, const QByteArray& packageJson,
                                     const QByteArray& assetJson);

    // Affects runs started afterwards.
    void setFileRemovalStrategy(EFileRemovalStrategy strategy) { m_FileRemovalStrategy = strategy; }
    // Where the launcher package is installed; the application base directory unless set.
    void setLauncherPackageDirectory(const QDir& directory) { m_LauncherPackageDirectory = directory; }

    // File name of the default package marker.
    static const char DEFAULT_PACKAGE_MARKER[];

signals:
    void installationOrUpdateStarted(const quarn::launcher::TPackageInstallation& InstallationInProgress);
    void installationOrUpdateFinished(const quarn::launcher::TPackageInstallation& InstallationInProgress);
    void allStartedUpdatesFinished();
    void diskAccessFailed(QString ErrorMessage);
    // A funnel event to send (a package was downloaded or verified); the application sends it.
    void funnelEventRequested(QString Step, QString FirstTimeKey);

private slots:
    void onDownloadFinished(std::shared_ptr<quarn::launcher::TPackage> PackageBeingInstalled);
    void onVerificationFinished(std::shared_ptr<quarn::launcher::TPackage> PackageBeingInstalled);
    void onDiskAccessFailed(QString ErrorMessage);

private:
    struct TRunInProgress {
        std::shared_ptr<TPackageInstallation> run;
        // A verification alone checks the recorded build and may only restore the full marker it
        // found; an installation records the service's build.
        bool verificationOnly = false;
        bool hadFullMarker = false;
        // The documents of the build the run brings the directory to, taken when it started: a
        // configuration attached to the package meanwhile describes files the run never fetched.
        QByteArray packageJson;
        QByteArray assetJson;
    };

    std::vector<TRunInProgress>::iterator findRun(const std::shared_ptr<TPackage>& package);
    std::shared_ptr<TPackageInstallation> createRun(const std::shared_ptr<TPackage>& package,
                                                    const QDir& directory);
    // Emits installationOrUpdateFinished, drops the run and hands it to the event loop: the run
    // is never destroyed inside one of its own signals.
    void finishRun(std::shared_ptr<TPackageInstallation> run);
    void emitAllFinishedWhenIdle();
    static void releaseLater(std::shared_ptr<TPackageInstallation> run);
    const TPackageVector& packages() const;

    std::shared_ptr<TLauncherConfigurationReader> m_Configuration;
    std::shared_ptr<TLauncherFilesystemHelper> m_pLauncherFilesystemHelper;
    std::vector<TRunInProgress> m_InstallationsInProgress;
    EFileRemovalStrategy m_FileRemovalStrategy = FILE_REMOVAL_STRATEGY_REMOVE;
    std::optional<QDir> m_LauncherPackageDirectory;
};

} // namespace quarn::launcher
