#include "launcher/installation/installationmanager.h"

#include "launcher/installation/packagemarkers.h"

#include <QCoreApplication>
#include <QDebug>
#include <QThread>
#include <QUrl>

#include <algorithm>
#include <stdexcept>

namespace quarn::launcher {

const char TInstallationManager::DEFAULT_PACKAGE_MARKER[] = "default";

namespace {

QString nameOf(const std::shared_ptr<TPackage>& package) {
    return package ? package->packageName() : QString();
}

bool samePackage(const std::shared_ptr<TPackage>& left, const std::shared_ptr<TPackage>& right) {
    if (!left || !right)
        return left == right;
    return *left == *right;
}

} // namespace

TInstallationManager::TInstallationManager(const std::shared_ptr<TLauncherConfigurationReader>& configuration,
                                           const std::shared_ptr<TLauncherFilesystemHelper>& fileSystemHelper)
    : m_Configuration(configuration), m_pLauncherFilesystemHelper(fileSystemHelper) {
    if (m_Configuration)
        determineUpdateAndDefaultStatusOfCurrentPackages();
}

TInstallationManager::~TInstallationManager() {
    // The manager may go while a run is emitting; the runs go through the event loop as well.
    for (TRunInProgress& entry : m_InstallationsInProgress) {
        entry.run->disconnect(this);
        releaseLater(std::move(entry.run));
    }
}

const TPackageVector& TInstallationManager::packages() const {
    static const TPackageVector none;
    return m_Configuration ? m_Configuration->packages() : none;
}

void TInstallationManager::releaseLater(std::shared_ptr<TPackageInstallation> run) {
    QCoreApplication* application = QCoreApplication::instance();
    if (!run || !application)
        return; // without an application there is no event loop, hence no signal still running
    // Kept on the heap: a call still queued when the application ends is dropped under the event
    // queue's lock, where destroying a run (which posts events itself) would deadlock. Such a run
    // is left to the end of the process.
    auto* holder = new std::shared_ptr<TPackageInstallation>(std::move(run));
    QMetaObject::invokeMethod(
        application, [holder] { delete holder; }, Qt::QueuedConnection);
}

// --- Status and queries -----------------------------------------------------------------------

QDir TInstallationManager::getPackageDirectory(const std::shared_ptr<TPackage>& package) const {
    if (package->isLauncherPackage())
        return m_LauncherPackageDirectory ? *m_LauncherPackageDirectory
                                          : m_pLauncherFilesystemHelper->getApplicationBaseDirectory();
    return QDir(m_pLauncherFilesystemHelper->getFullPath(
        m_pLauncherFilesystemHelper->getOrCreatePackagesDirectory(), package->directoryName()));
}

EPackageStatus
TInstallationManager::determineInstallationStatus(const std::shared_ptr<TPackage>& package) const {
    const TPackageConfigurationReader* server = package->matchingPackageConfiguration();
    if (!server)
        return PACKAGE_STATUS_NOT_INSTALLED;
    return TPackageMarkerFiles(*m_pLauncherFilesystemHelper, getPackageDirectory(package))
        .installationStatus(*server);
}

void TInstallationManager::determineUpdateAndDefaultStatusOfCurrentPackages() {
    bool defaultFound = false;
    for (const std::shared_ptr<TPackage>& package : packages()) {
        const EPackageStatus status = determineInstallationStatus(package);
        package->setLocalPackageStatus(status);
        if (defaultFound)
            continue;
        if (status == PACKAGE_STATUS_INSTALLED || status == PACKAGE_STATUS_PARTIALLY_INSTALLED ||
            status == PACKAGE_STATUS_UPDATE_REQUIRED) {
            const QString marker = m_pLauncherFilesystemHelper->getFullPath(
                getPackageDirectory(package), QString::fromLatin1(DEFAULT_PACKAGE_MARKER));
            if (m_pLauncherFilesystemHelper->fileExists(marker)) {
                package->setIsDefaultPackage(true);
                defaultFound = true;
            }
        }
    }
}

TPackageConfigurationReader
TInstallationManager::readPackageConfigurationFromInstallationDirectory(const QDir& directory) const {
    const std::shared_ptr<TLauncherSettings>& settings = m_pLauncherFilesystemHelper->launcherSettings();
    qInfo() << "readPackageConfigurationFromInstallationDirectory m_pLauncherFilesystemHelper: "
            << static_cast<const void*>(m_pLauncherFilesystemHelper.get())
            << " launcherSettings: " << static_cast<const void*>(settings.get())
            << " installedPackageMarker: " << settings->installedPackageMarker()
            << " partiallyInstalledPackageMarker: " << settings->partiallyInstalledPackageMarker()
            << " Thread: " << QThread::currentThreadId();
    const TPackageMarkerFiles markers(*m_pLauncherFilesystemHelper, directory);
    if (markers.hasFullMarker()) {
        qInfo() << "FullInstallationMarker " << markers.fullMarkerPath() << markers.assetFilePath()
                << " Thread:" << QThread::currentThreadId();
    } else if (markers.hasPartialMarker()) {
        qInfo() << "PartialInstallationMarker " << markers.partialMarkerPath() << markers.assetFilePath()
                << " Thread:" << QThread::currentThreadId();
    }
    return markers.localConfiguration();
}

std::pair<QString, QString>
TInstallationManager::packageInstallationMarkerNames(const QDir& directory) const {
    const TPackageMarkerFiles markers(*m_pLauncherFilesystemHelper, directory);
    return {markers.fullMarkerPath(), markers.partialMarkerPath()};
}

bool TInstallationManager::HasFullInstallationMarker(const QDir& directory) const {
    return TPackageMarkerFiles(*m_pLauncherFilesystemHelper, directory).hasFullMarker();
}

QString TInstallationManager::getPackageExecutable(const std::shared_ptr<TPackage>& package) const {
    if (!package)
        return QString();
    const TPackageConfigurationReader* server = package->matchingPackageConfiguration();
    if (!server || server->relativeExecutablePath().isEmpty())
        return QString();
    return m_pLauncherFilesystemHelper->getFullPath(getPackageDirectory(package),
                                                    server->relativeExecutablePath());
}

QStringList
TInstallationManager::getPackageExecutableParameters(const std::shared_ptr<TPackage>& package) const {
    const TPackageConfigurationReader* server = package ? package->matchingPackageConfiguration() : nullptr;
    return server ? server->executableParameters() : QStringList();
}

std::shared_ptr<TPackage> TInstallationManager::getPackageForExecutablePath(const QString& path) const {
    if (path.isEmpty())
        return nullptr;
    const QString cleaned = QDir::cleanPath(path);
    for (const std::shared_ptr<TPackage>& package : packages()) {
        const QString executable = getPackageExecutable(package);
        if (!executable.isEmpty() && QDir::cleanPath(executable) == cleaned)
            return package;
    }
    return nullptr;
}

std::shared_ptr<TPackage> TInstallationManager::getDefaultPackage() const {
    for (const std::shared_ptr<TPackage>& package : packages()) {
        if (package->isDefaultPackage())
            return package;
    }
    return nullptr;
}

bool TInstallationManager::isInstallationInProgress(const std::shared_ptr<TPackage>& package) const {
    return std::any_of(m_InstallationsInProgress.begin(), m_InstallationsInProgress.end(),
                       [&](const TRunInProgress& entry) {
                           return samePackage(entry.run->packageBeingInstalled(), package);
                       });
}

std::vector<TInstallationManager::TRunInProgress>::iterator
TInstallationManager::findRun(const std::shared_ptr<TPackage>& package) {
    return std::find_if(m_InstallationsInProgress.begin(), m_InstallationsInProgress.end(),
                        [&](const TRunInProgress& entry) {
                            return samePackage(entry.run->packageBeingInstalled(), package);
                        });
}

// --- Marker writers ---------------------------------------------------------------------------

void TInstallationManager::markPackageAsPartiallyInstalled(const std::shared_ptr<TPackage>& package,
                                                           const QByteArray& packageJson,
                                                           const QByteArray& assetJson) {
    qInfo() << "markPackageAsPartiallyInstalled: " << nameOf(package)
            << " Thread: " << QThread::currentThreadId();
    TPackageMarkerFiles(*m_pLauncherFilesystemHelper, getPackageDirectory(package))
        .markPartiallyInstalled(packageJson, assetJson);
    package->setLocalPackageStatus(PACKAGE_STATUS_PARTIALLY_INSTALLED);
}

void TInstallationManager::updatePartiallyInstalledPackage(const std::shared_ptr<TPackage>& package,
                                                           const QByteArray& packageJson,
                                                           const QByteArray& assetJson) {
    qInfo() << "updatePartiallyInstalledPackage: " << nameOf(package)
            << " Thread: " << QThread::currentThreadId();
    TPackageMarkerFiles(*m_pLauncherFilesystemHelper, getPackageDirectory(package))
        .updatePartiallyInstalled(packageJson, assetJson);
    package->setLocalPackageStatus(PACKAGE_STATUS_PARTIALLY_INSTALLED);
}

void TInstallationManager::markPackageAsFullyInstalled(const std::shared_ptr<TPackage>& package,
                                                       const QByteArray& packageJson,
                                                       const QByteArray& assetJson) {
    qInfo() << "markPackageAsFullyInstalled: " << nameOf(package)
            << " Thread: " << QThread::currentThreadId();
    TPackageMarkerFiles(*m_pLauncherFilesystemHelper, getPackageDirectory(package))
        .markFullyInstalled(packageJson, assetJson);
    package->setLocalPackageStatus(PACKAGE_STATUS_INSTALLED);
}

// --- Starting runs ----------------------------------------------------------------------------

std::shared_ptr<TPackageInstallation>
TInstallationManager::createRun(const std::shared_ptr<TPackage>& package, const QDir& directory) {
    auto run = std::make_shared<TPackageInstallation>(package, m_pLauncherFilesystemHelper);
    run->setInstallationBaseDirectory(directory);
    run->setFileRemovalStrategy(m_FileRemovalStrategy);
    return run;
}

void TInstallationManager::installOrUpdatePackage(const std::shared_ptr<TPackage>& package) {
    qInfo() << "installOrUpdatePackage: " << nameOf(package) << " Thread: " << QThread::currentThreadId();
    if (!package || isInstallationInProgress(package))
        return;
    const TPackageConfigurationReader* server = package->matchingPackageConfiguration();
    if (!server)
        return;
    const QDir directory = getPackageDirectory(package);
    // The run exists before the markers are read or changed, so that what it holds on the package
    // folder covers them too.
    std::shared_ptr<TPackageInstallation> run = createRun(package, directory);
    const TPackageConfigurationReader local = readPackageConfigurationFromInstallationDirectory(directory);
    // Decided before any marker changes: only a recorded complete build may be trusted.
    const bool fastScan = m_pLauncherFilesystemHelper->launcherSettings()->fastScan() &&
                          determineInstallationStatus(package) == PACKAGE_STATUS_UPDATE_REQUIRED;
    markPackageAsPartiallyInstalled(package, server->rawPackageJsonData(), server->rawAssetJsonData());

    connect(run.get(), &TPackageInstallation::downloadFinished, this,
            &TInstallationManager::onDownloadFinished);
    connect(run.get(), &TPackageInstallation::verificationFinished, this,
            &TInstallationManager::onVerificationFinished);
    TRunInProgress entry;
    entry.run = run;
    entry.packageJson = server->rawPackageJsonData();
    entry.assetJson = server->rawAssetJsonData();
    m_InstallationsInProgress.push_back(std::move(entry));
    connect(run.get(), &TPackageInstallation::diskAccessFailed, this,
            &TInstallationManager::onDiskAccessFailed);
    emit installationOrUpdateStarted(*run);
    run->startScan(local, *server, fastScan);
}

void TInstallationManager::verifyPackage(const std::shared_ptr<TPackage>& package) {
    qInfo() << "verifyPackage: " << nameOf(package) << " Thread: " << QThread::currentThreadId();
    if (!package || isInstallationInProgress(package))
        return;
    const TPackageConfigurationReader* server = package->matchingPackageConfiguration();
    if (!server)
        return;
    const QDir directory = getPackageDirectory(package);
    TRunInProgress entry;
    entry.run = createRun(package, directory); // before the markers, as for an installation
    const TPackageConfigurationReader local = readPackageConfigurationFromInstallationDirectory(directory);
    entry.verificationOnly = true;
    entry.hadFullMarker = HasFullInstallationMarker(directory);
    if (entry.hadFullMarker) {
        // The check is of the recorded build; the markers keep recording it.
        entry.packageJson = local.rawPackageJsonData();
        entry.assetJson = local.rawAssetJsonData();
        markPackageAsPartiallyInstalled(package, entry.packageJson, entry.assetJson);
    } else {
        markPackageAsPartiallyInstalled(package, server->rawPackageJsonData(), server->rawAssetJsonData());
    }

    std::shared_ptr<TPackageInstallation> run = entry.run;
    connect(run.get(), &TPackageInstallation::verificationFinished, this,
            &TInstallationManager::onVerificationFinished);
    m_InstallationsInProgress.push_back(std::move(entry));
    connect(run.get(), &TPackageInstallation::diskAccessFailed, this,
            &TInstallationManager::onDiskAccessFailed);
    emit installationOrUpdateStarted(*run);
    run->verify(local, true);
}

void TInstallationManager::installPackagesMarkedForAutoInstallation() {
    bool first = true;
    // A copy: a run that ends at once must not change the list being walked.
    const TPackageVector catalogue = packages();
    for (const std::shared_ptr<TPackage>& package : catalogue) {
        if (!package->isInstallAutomatically())
            continue;
        installOrUpdatePackage(package);
        if (first) {
            setDefaultPackage(package);
            first = false;
        }
    }
}

// --- Default package --------------------------------------------------------------------------

void TInstallationManager::removeDefaultPackageMarkerFromCurrentPackages() {
    for (const std::shared_ptr<TPackage>& package : packages()) {
        package->setLocalPackageStatus(determineInstallationStatus(package));
        m_pLauncherFilesystemHelper->removeFileOrDirectory(m_pLauncherFilesystemHelper->getFullPath(
            getPackageDirectory(package), QString::fromLatin1(DEFAULT_PACKAGE_MARKER)));
        package->setIsDefaultPackage(false);
    }
}

void TInstallationManager::setDefaultPackage(const std::shared_ptr<TPackage>& package) {
    removeDefaultPackageMarkerFromCurrentPackages();
    if (!package)
        return;
    m_pLauncherFilesystemHelper->writeFileAtomically(
        m_pLauncherFilesystemHelper->getFullPath(getPackageDirectory(package),
                                                 QString::fromLatin1(DEFAULT_PACKAGE_MARKER)),
        QByteArray());
    package->setIsDefaultPackage(true);
}

// --- End of runs ------------------------------------------------------------------------------

void TInstallationManager::finishRun(std::shared_ptr<TPackageInstallation> run) {
    emit installationOrUpdateFinished(*run);
    // A listener may have started or finished other runs meanwhile: look the entry up again.
    const auto current = std::find_if(m_InstallationsInProgress.begin(), m_InstallationsInProgress.end(),
                                      [&](const TRunInProgress& candidate) { return candidate.run == run; });
    run->disconnect(this);
    if (current != m_InstallationsInProgress.end())
        m_InstallationsInProgress.erase(current);
    releaseLater(std::move(run));
}

void TInstallationManager::emitAllFinishedWhenIdle() {
    if (m_InstallationsInProgress.empty())
        emit allStartedUpdatesFinished();
}

void TInstallationManager::onDownloadFinished(std::shared_ptr<TPackage> PackageBeingInstalled) {
    qInfo() << "onDownloadFinished: " << nameOf(PackageBeingInstalled)
            << " Thread: " << QThread::currentThreadId();
    const auto entry = findRun(PackageBeingInstalled);
    if (entry == m_InstallationsInProgress.end()) {
        emitAllFinishedWhenIdle();
        return;
    }
    qInfo() << "onDownloadFinished found: " << nameOf(PackageBeingInstalled)
            << " InstallationsInProgress: " << m_InstallationsInProgress.size()
            << " Thread: " << QThread::currentThreadId();
    const std::shared_ptr<TPackageInstallation> run = entry->run;
    const QByteArray packageJson = entry->packageJson, assetJson = entry->assetJson;
    if (!run->isInstalledWithoutError()) {
        // The partial marker stays: the next installation scans every file.
        finishRun(run);
        emitAllFinishedWhenIdle();
        return;
    }
    try {
        updatePartiallyInstalledPackage(PackageBeingInstalled, packageJson, assetJson);
        const TPackageConfigurationReader local =
            readPackageConfigurationFromInstallationDirectory(getPackageDirectory(PackageBeingInstalled));
        qInfo() << "onDownloadFinished LocalConfiguration: " << local.containedFiles().size()
                << " Thread: " << QThread::currentThreadId();
        // With verification skipped, the run is finished inside this call.
        run->verify(local, false);
    } catch (const std::runtime_error& error) {
        // The new build could not be recorded: the run stops here and is not a success.
        run->markFailed(PACKAGE_DOWNLOADER_ERROR_SAVING_FAILED);
        emit diskAccessFailed(QString::fromUtf8(error.what()));
        return;
    }
    if (run->installationErrorReason() != PACKAGE_DOWNLOADER_ERROR_SAVING_FAILED)
        emit funnelEventRequested(QStringLiteral("launcher_downloaded"),
                                  QStringLiteral("FunnelFinishedDownloadingFirst"));
}

void TInstallationManager::onVerificationFinished(std::shared_ptr<TPackage> PackageBeingInstalled) {
    qInfo() << "onVerificationFinished: " << nameOf(PackageBeingInstalled)
            << " Thread: " << QThread::currentThreadId();
    const auto entry = findRun(PackageBeingInstalled);
    if (entry == m_InstallationsInProgress.end()) {
        emitAllFinishedWhenIdle();
        return;
    }
    // A copy: listeners of the status may start runs and so move the entries.
    const TRunInProgress finished = *entry;
    const std::shared_ptr<TPackageInstallation>& run = finished.run;
    qInfo() << "onVerificationFinished found package: " << nameOf(run->packageBeingInstalled())
            << " without error: " << (run->isInstalledWithoutError() ? "true" : "false")
            << " Thread: " << QThread::currentThreadId();
    bool installed = false;
    if (run->isInstalledWithoutError()) {
        try {
            if (!finished.verificationOnly) {
                markPackageAsFullyInstalled(PackageBeingInstalled, finished.packageJson, finished.assetJson);
                installed = true;
            } else if (finished.hadFullMarker) {
                markPackageAsFullyInstalled(PackageBeingInstalled, finished.packageJson, finished.assetJson);
                // The recorded build may be older than the service's.
                PackageBeingInstalled->setLocalPackageStatus(
                    determineInstallationStatus(PackageBeingInstalled));
                installed = true;
            }
            // A verification of a package that was never completely installed proves nothing about
            // its missing files: it stays partially installed.
        } catch (const std::runtime_error& error) {
            installed = false;
            run->markFailed(PACKAGE_DOWNLOADER_ERROR_SAVING_FAILED);
            emit diskAccessFailed(QString::fromUtf8(error.what()));
        }
        if (installed)
            emit funnelEventRequested(QStringLiteral("launcher_verified"),
                                      QStringLiteral("FunnelFinished_VerifyingFirst"));
    }
    // Tells the client at its start that it is current: only when it really is.
    if (installed)
        PackageBeingInstalled->setIsPatchedDuringThisLauncherExecution(true);
    finishRun(run);
    emitAllFinishedWhenIdle();
}

void TInstallationManager::onDiskAccessFailed(QString ErrorMessage) {
    emit diskAccessFailed(ErrorMessage);
}

} // namespace quarn::launcher
