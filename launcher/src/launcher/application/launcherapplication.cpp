#include "launcher/application/launcherapplication.h"

#include "launcher/application/logging.h"
#include "launcher/ui/launchermainwindow.h"
#include "launcher/version.h"
#include "shared/firstinstancetester.h"
#include "systemsurvey/systemsurveyuploader.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPixmap>
#include <QProcess>
#include <QSplashScreen>
#include <QThread>
#include <QThreadPool>

#include <stdexcept>

#ifdef ORVANE_HAVE_IMAGES_RESOURCE
// Resources compiled into a static library must be registered explicitly, outside any namespace.
static void initialiseImagesResource() {
    Q_INIT_RESOURCE(images);
}
#else
static void initialiseImagesResource() {}
#endif

namespace quarn::launcher {

TLauncherApplication* TLauncherApplication::Instance = nullptr;

namespace {
const char ORGANIZATION_DOMAIN[] = "orvane-online.com";
constexpr int LAUNCHER_CONCURRENT_DOWNLOADS = 6;
constexpr int CLIENT_LAUNCH_CHECK_INTERVAL_MS = 200;
// Placed in a client's directory by something outside the launcher: patch it at the next start.
const char FORCED_PATCH_MARKER[] = "FORCE_PATCH";
// Last argument of a client that was brought to the current build during this launcher run.
const char PACKAGE_IS_UP_TO_DATE_ARGUMENT[] = "--package-is-up-to-date";
// How long an ending launcher lets a survey upload under way reach its endpoint.
constexpr int SURVEY_UPLOAD_GRACE_MS = 5000;
// Size of the plain splash picture used when the artwork is not part of the build.
constexpr int FALLBACK_SPLASH_WIDTH = 480;
constexpr int FALLBACK_SPLASH_HEIGHT = 270;

QString splashImageResource(ESplashScreenImage image) {
    switch (image) {
    case SPLASH_IMAGE_UPDATING_LAUNCHER:
        return QStringLiteral(":/images/launcher/LauncherLogo_UpdatingLauncher.png");
    case SPLASH_IMAGE_LAUNCHING_CLIENT:
        return QStringLiteral(":/images/launcher/OrvaneLogo_LaunchingClient.png");
    case SPLASH_IMAGE_DEFAULT:
        break;
    }
    return QStringLiteral(":/images/launcher/LauncherLogo_QT.png");
}
} // namespace

TLauncherApplication::TLauncherApplication(int& argc, char** argv) : QApplication(argc, argv) {
    initialiseImagesResource();
    // The names decide where the launcher keeps its data (log file, packages, backups), so they
    // are set before anything asks for a standard location.
    setApplicationName(QStringLiteral("Orvane Online"));
    setApplicationDisplayName(applicationName());
    setOrganizationName(QStringLiteral("Kettrel GmbH"));
    setOrganizationDomain(QString::fromLatin1(ORGANIZATION_DOMAIN));

    auto networkAccessManager = std::make_shared<QNetworkAccessManager>();
    m_DownloadPool = std::make_shared<::shared::TDownloadPool>(
        LAUNCHER_CONCURRENT_DOWNLOADS,
        std::make_shared<::shared::QNetworkAccessManagerWrapper>(networkAccessManager), nullptr, true);
    m_FilesystemHelper = std::make_shared<TLauncherFilesystemHelper>();
    m_TranslationManager = std::make_shared<quarn::shared::TTranslationManager>();
    const auto& settings = m_FilesystemHelper->launcherSettings();
    m_CdnTrace = std::make_shared<TCloudflareCdnTrace>(settings->cdnDiagnosticsTraceUrl(), m_DownloadPool);
    m_ConfigurationHandler =
        std::make_unique<TLauncherConfigurationHandler>(m_DownloadPool, m_FilesystemHelper);
    m_SelfUpdater = std::make_unique<TLauncherSelfUpdater>(m_FilesystemHelper);
    m_FunnelSettingsKey = QString::fromLatin1(TFunnelEventSender::FUNNEL_UUID_KEY);
    m_FunnelEventSender = std::make_unique<TFunnelEventSender>(m_FunnelSettingsKey);

    Instance = this;
    m_TranslationManager->loadEnglishTranslation();

    m_DelayUntilUIActivityTimer.setSingleShot(true);
    m_DelayUntilUIActivityTimer.setInterval(
        static_cast<int>(qBound<qint64>(0, settings->waitNotificationTimeout(), INT_MAX)));
    connect(&m_DelayUntilUIActivityTimer, &QTimer::timeout, this,
            &TLauncherApplication::onDelayUntilUIActivityNecessaryReached);
    m_ClientLaunchCheckTimer.setSingleShot(false);
    m_ClientLaunchCheckTimer.setInterval(CLIENT_LAUNCH_CHECK_INTERVAL_MS);
    connect(&m_ClientLaunchCheckTimer, &QTimer::timeout, this, &TLauncherApplication::onClientLaunchCheck);

    connect(m_ConfigurationHandler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded, this,
            &TLauncherApplication::onMainConfigurationLoaded);
    connect(m_ConfigurationHandler.get(), &TLauncherConfigurationHandler::mainConfigurationDownloadFailed,
            this, &TLauncherApplication::onMainConfigurationFailedToLoad);
    connect(m_ConfigurationHandler.get(), &TLauncherConfigurationHandler::diskAccessFailed, this,
            &TLauncherApplication::onDiskAccessFailed);
    connect(m_ConfigurationHandler.get(),
            &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished, this,
            &TLauncherApplication::onPackageConfigurationsLoaded);
    connect(m_SelfUpdater.get(), &TLauncherSelfUpdater::updateDownloadFinishedAndRestartRequired, this,
            &TLauncherApplication::onSelfUpdateFinishedAndRestartRequired);
    connect(m_SelfUpdater.get(), &TLauncherSelfUpdater::updateFailed, this,
            &TLauncherApplication::onLauncherReadyForAction);
    connect(m_SelfUpdater.get(), &TLauncherSelfUpdater::diskAccessFailed, this,
            &TLauncherApplication::onDiskAccessFailed);

    m_CommandLineInterpreter.parseCommandLineArguments(QCoreApplication::arguments());
}

TLauncherApplication::~TLauncherApplication() {
    // Workers of the global pool report progress to objects owned here: let them end first.
    QThreadPool::globalInstance()->waitForDone();
    m_DelayUntilUIActivityTimer.stop();
    m_ClientLaunchCheckTimer.stop();
    // The window follows the installation manager's runs and the configuration handler's hints:
    // it goes before them.
    m_MainWindow.reset();
    m_SplashScreen.reset();
    m_SurveyUploader.reset();
    m_InstallationManager.reset();
    m_SelfUpdater.reset();
    m_ConfigurationHandler.reset();
    m_FunnelEventSender.reset();
    m_CdnTrace.reset();
    // Installation runs handed to the event loop for release (a run that ended, or was dropped
    // with its manager just now) are released while the application is still whole: released by
    // the teardown of the application's event queue they would post into that very queue and
    // block for ever.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_SingleInstanceGuard.reset();
    if (Instance == this)
        Instance = nullptr;
}

bool TLauncherApplication::acquireSingleInstanceGuard() {
    auto guard = std::make_unique<::shared::FirstInstanceTester>();
    if (!guard->isFirstInstance())
        return false;
    m_SingleInstanceGuard = std::move(guard);
    return true;
}

void TLauncherApplication::startLoadingMainLauncherConfiguration() {
    qInfo() << "load configuration"
            << " Thread: " << QThread::currentThreadId();
    qInfo() << "Arguments: " << QCoreApplication::arguments();
    qInfo() << "Configuration URL: " << m_FilesystemHelper->launcherSettings()->configurationUrl().toString();
    // Started first: the handler may decide within the call (a URL the pool refuses at once).
    m_DelayUntilUIActivityTimer.start();
    m_ConfigurationHandler->loadMainConfiguration();
}

void TLauncherApplication::onDelayUntilUIActivityNecessaryReached() {
    showWaitSplashScreen(SPLASH_IMAGE_DEFAULT);
}

void TLauncherApplication::showWaitSplashScreen(ESplashScreenImage image) {
    if (m_Ending || m_ActionPhaseBegun)
        return;
    if (m_SplashScreen) {
        m_SplashScreen->close();
        QCoreApplication::processEvents();
        // Processing events may have moved the launcher on; a splash is then out of place.
        if (m_Ending || m_ActionPhaseBegun)
            return;
    }
    const QString resource = splashImageResource(image);
    QPixmap pixmap(resource);
    if (pixmap.isNull()) {
        pixmap = QPixmap(FALLBACK_SPLASH_WIDTH, FALLBACK_SPLASH_HEIGHT);
        pixmap.fill(QColor(0x1c, 0x1f, 0x26));
    }
    qInfo() << "showWaitSplashScreen" << resource << " Thread: " << QThread::currentThreadId();
    m_SplashScreen = std::make_unique<QSplashScreen>(pixmap);
    m_SplashScreen->show();
    QCoreApplication::processEvents();
    m_DelayUntilUIActivityTimer.stop();
    // The events just processed may have ended the wait (or the launcher).
    if (m_Ending || m_ActionPhaseBegun)
        hideWaitSplashScreen();
}

void TLauncherApplication::hideWaitSplashScreen() {
    if (m_SplashScreen)
        m_SplashScreen->hide();
}

void TLauncherApplication::onMainConfigurationLoaded() {
    if (m_Ending)
        return;
    qInfo() << "onMainConfigurationLoaded"
            << (m_ConfigurationHandler->isLoadedFromBackup() ? "backup" : "network")
            << " Thread: " << QThread::currentThreadId();
    try {
        submitSystemSurvey();
        m_ConfigurationHandler->loadPackageConfigurationsOfSameArchitectureAndOS();
        // The package configurations may all have been settled within the call, and the launcher
        // may already be ending normally; only a fatal error stops the link here.
        if (m_MaintenanceMessageShown || m_DiskAccessMessageShown)
            return;
        m_FilesystemHelper->createSymbolicLinkToLauncherExecutable();
    } catch (const std::runtime_error& error) {
        onDiskAccessFailed(QString::fromUtf8(error.what()));
    }
}

void TLauncherApplication::submitSystemSurvey() {
    const auto configuration = m_ConfigurationHandler->getMainConfiguration();
    const QUrl endpoint = configuration ? configuration->hardwareSurveyUrl() : QUrl();
    if (endpoint.isEmpty()) {
        qInfo() << "submitSystemSurvey: no survey endpoint";
        return;
    }
    if (!::systemsurvey::TSystemSurveyUploader::isUsableEndpoint(endpoint)) {
        qWarning() << "submitSystemSurvey: not a usable survey endpoint:" << endpoint.toString();
        return;
    }
    qInfo() << "submitSystemSurvey:" << endpoint.toString() << " Thread: " << QThread::currentThreadId();
    // Collection runs on a worker thread and the upload is asynchronous: nothing here waits for it.
    m_SurveyUploader = ::systemsurvey::TSystemSurveyUploader::createForThisSystem(endpoint);
    m_SurveyUploader->requestsSystemSurveyAndUploadToServer();
}

void TLauncherApplication::onPackageConfigurationsLoaded() {
    if (m_Ending || m_ActionPhaseBegun)
        return;
    qInfo() << "onPackageConfigurationsLoaded"
            << " Thread: " << QThread::currentThreadId();
    if (const auto configuration = m_ConfigurationHandler->getMainConfiguration()) {
        for (const std::shared_ptr<TPackage>& package : configuration->packages()) {
            const TPackageConfigurationReader* packageConfiguration = package->matchingPackageConfiguration();
            qInfo() << "Package" << package->packageName() << "configuration:"
                    << (packageConfiguration ? packageConfiguration->combinedPackageAndAssetVersion()
                                             : QStringLiteral("none"));
        }
    }
    try {
        if (m_CommandLineInterpreter.isSkipSelfUpdateSet()) {
            qInfo() << "Self update skipped: --skip-selfupdate given";
        } else if (startSelfUpdateIfRequired()) {
            showWaitSplashScreen(SPLASH_IMAGE_UPDATING_LAUNCHER);
            return;
        }
        m_SelfUpdater->cleanupOldLauncherVersion();
        onLauncherReadyForAction();
    } catch (const std::runtime_error& error) {
        onDiskAccessFailed(QString::fromUtf8(error.what()));
    }
}

bool TLauncherApplication::startSelfUpdateIfRequired() {
    const TPackageConfigurationReader* launcherConfiguration =
        m_ConfigurationHandler->getLauncherConfiguration();
    qInfo() << "Self update check: server version"
            << (launcherConfiguration ? launcherConfiguration->packageVersion() : QStringLiteral("none"))
            << "running version" << LAUNCHER_VERSION;
    if (m_SelfUpdater->isLauncherToDate(launcherConfiguration))
        return false;
    const auto configuration = m_ConfigurationHandler->getMainConfiguration();
    const std::shared_ptr<TPackage> launcherPackage =
        configuration ? configuration->launcherPackage() : nullptr;
    if (!launcherPackage)
        return false;
    // The self updater ends the update with exactly one signal, never inside this call.
    m_SelfUpdater->startSelfUpdate(launcherPackage);
    return true;
}

void TLauncherApplication::onSelfUpdateFinishedAndRestartRequired() {
    if (m_Ending)
        return;
    QStringList arguments = QCoreApplication::arguments();
    arguments.append(QStringLiteral("--%1").arg(TCommandLineInterpreter::SKIP_SELFUPDATE_LONG));
    const QString program = QCoreApplication::applicationFilePath();
    qInfo() << "Restarting the updated launcher:" << program << arguments;
    // The new process must find neither the log file in use nor the guard taken: the last line
    // is written, the log closed and the guard released before it starts.
    shutdownLogger();
    m_SingleInstanceGuard.reset();
    const bool started = QProcess::startDetached(program, arguments, QDir::currentPath());
    if (!started)
        qWarning() << "The updated launcher could not be started";
    endLauncher(started ? 0 : 1);
}

void TLauncherApplication::onLauncherReadyForAction() {
    if (m_Ending || m_ActionPhaseBegun)
        return;
    m_ActionPhaseBegun = true;
    qInfo() << "onLauncherReadyForAction"
            << " Thread: " << QThread::currentThreadId();
    qInfo() << "Launcher ready for action";
    try {
        const auto configuration = m_ConfigurationHandler->getMainConfiguration();
        if (!configuration)
            throw std::runtime_error("no launcher configuration is loaded");
        m_InstallationManager = std::make_unique<TInstallationManager>(configuration, m_FilesystemHelper);
        const TPackageVector forcedPatchPackages = takeForcedPatchPackages();
        connect(m_InstallationManager.get(), &TInstallationManager::allStartedUpdatesFinished, this,
                &TLauncherApplication::onInstalledPackagesReady);
        connect(m_InstallationManager.get(), &TInstallationManager::diskAccessFailed, this,
                &TLauncherApplication::onDiskAccessFailed);
        connect(m_InstallationManager.get(), &TInstallationManager::funnelEventRequested, this,
                &TLauncherApplication::sendFunnelEvent);
        m_DelayUntilUIActivityTimer.stop();
        hideWaitSplashScreen();
        decideAction(forcedPatchPackages);
    } catch (const std::runtime_error& error) {
        onDiskAccessFailed(QString::fromUtf8(error.what()));
    }
}

TPackageVector TLauncherApplication::takeForcedPatchPackages() {
    TPackageVector packages;
    for (const std::shared_ptr<TPackage>& package :
         m_ConfigurationHandler->getMainConfiguration()->packagesFilteredByLocalArchitectureAndOS()) {
        const QString marker = m_FilesystemHelper->getFullPath(
            m_InstallationManager->getPackageDirectory(package), QString::fromLatin1(FORCED_PATCH_MARKER));
        const QFileInfo info(marker);
        if (!info.exists() && !info.isSymLink())
            continue;
        // Only a plain file is a marker: removing a folder (or what a link points to) of that name
        // could take the player's data with it.
        if (!info.isFile() || info.isSymLink()) {
            qWarning() << "Ignoring" << marker << ": not a regular file";
            continue;
        }
        qInfo() << "Forced patch requested for" << package->packageName();
        m_FilesystemHelper->removeFileOrDirectory(marker);
        packages.push_back(package);
    }
    return packages;
}

void TLauncherApplication::decideAction(const TPackageVector& forcedPatchPackages) {
    if (m_CommandLineInterpreter.isFirstLaunchSet()) {
        qInfo() << "First launch: installing the packages marked for automatic installation";
        showUserInterface();
        m_InstallationManager->installPackagesMarkedForAutoInstallation();
        return;
    }
    if (m_CommandLineInterpreter.isPatchPackageSet() || !forcedPatchPackages.empty()) {
        TPackageVector packagesToPatch = forcedPatchPackages;
        const std::shared_ptr<TPackage> named = m_InstallationManager->getPackageForExecutablePath(
            m_CommandLineInterpreter.getPathToExecutableToPatch());
        showUserInterface();
        if (named)
            packagesToPatch.push_back(named);
        if (packagesToPatch.empty()) {
            qWarning() << "No package for the executable to patch:"
                       << m_CommandLineInterpreter.getPathToExecutableToPatch();
            // A box of the main window: closing it leaves the launcher at the package list.
            QMessageBox box(QMessageBox::Information, QStringLiteral("Client patching failed"),
                            QStringLiteral("Could not determine patch information. Your client might no "
                                           "longer be supported."),
                            QMessageBox::Ok, m_MainWindow.get());
            box.exec();
            return;
        }
        for (const std::shared_ptr<TPackage>& package : packagesToPatch) {
            // A run that ends at once may already have started the client.
            if (m_Ending || m_ClientStartAttempted)
                return;
            qInfo() << "Patching" << package->packageName();
            m_InstallationManager->installOrUpdatePackage(package);
        }
        return;
    }
    if (m_CommandLineInterpreter.isShowPackageListSet()) {
        showUserInterface();
        return;
    }
    const std::shared_ptr<TPackage> defaultPackage = m_InstallationManager->getDefaultPackage();
    // A default package without an executable would leave the launcher running without any window.
    if (defaultPackage && defaultPackage->localPackageStatus() == PACKAGE_STATUS_INSTALLED &&
        !m_InstallationManager->getPackageExecutable(defaultPackage).isEmpty())
        startPackageAndExit(defaultPackage);
    else
        showUserInterface();
}

void TLauncherApplication::onInstalledPackagesReady() {
    if (m_Ending || !m_InstallationManager)
        return;
    qInfo() << "onInstalledPackagesReady"
            << " Thread: " << QThread::currentThreadId();
    try {
        const auto configuration = m_ConfigurationHandler->getMainConfiguration();
        if (configuration && configuration->preventDefaultAutostart()) {
            qInfo() << "No client started: the configuration prevents the automatic start";
            return;
        }
        if (m_CommandLineInterpreter.isFirstLaunchSet()) {
            const std::shared_ptr<TPackage> defaultPackage = m_InstallationManager->getDefaultPackage();
            if (defaultPackage && defaultPackage->localPackageStatus() == PACKAGE_STATUS_INSTALLED) {
                startPackageAndExit(defaultPackage);
                return;
            }
        }
        if (m_CommandLineInterpreter.isPatchPackageSet()) {
            // Started whatever the outcome of its run: a failed update is no reason to keep the
            // player from the game.
            if (const std::shared_ptr<TPackage> package = m_InstallationManager->getPackageForExecutablePath(
                    m_CommandLineInterpreter.getPathToExecutableToPatch()))
                startPackageAndExit(package);
        }
    } catch (const std::runtime_error& error) {
        onDiskAccessFailed(QString::fromUtf8(error.what()));
    }
}

void TLauncherApplication::startPackageAndExit(const std::shared_ptr<TPackage>& package) {
    if (!package || m_Ending || m_ClientStartAttempted)
        return;
    qInfo() << "startPackageAndExit" << package->packageName() << " Thread: " << QThread::currentThreadId();
    const QString executable = m_InstallationManager->getPackageExecutable(package);
    QStringList parameters = m_InstallationManager->getPackageExecutableParameters(package);
    // Only a client that is really installed now is told that it is current.
    if (package->isPatchedDuringThisLauncherExecution() &&
        package->localPackageStatus() == PACKAGE_STATUS_INSTALLED)
        parameters.append(QString::fromLatin1(PACKAGE_IS_UP_TO_DATE_ARGUMENT));
    if (executable.isEmpty()) {
        qWarning() << "startPackageAndExit: the package names no executable";
        return;
    }
    m_ClientStartAttempted = true;
    const QFileInfo executableInfo(executable);
    const QString workingDirectory = executableInfo.absolutePath();
    QProcess process;
    process.setProgram(executable);
    process.setArguments(parameters);
    process.setWorkingDirectory(workingDirectory);
    qint64 processId = 0;
    if (!process.startDetached(&processId)) {
        QString reason;
        if (!executableInfo.exists())
            reason = QStringLiteral("the file does not exist");
        else if (!executableInfo.isFile())
            reason = QStringLiteral("it is not a file");
        else if (!executableInfo.isExecutable())
            reason = QStringLiteral("the file is not executable");
        else
            reason = process.errorString();
        qCritical() << "The client could not be started:" << executable << "in" << workingDirectory << ":"
                    << reason;
        endLauncher(1);
        return;
    }
    qInfo() << "Client started:" << executable << parameters << "in" << workingDirectory << "process"
            << processId;
    m_ClientStartStopwatch.start();
    m_ClientLaunchCheckTimer.start();
    // Closing the window, the last one, ends the launcher at once.
    if (m_MainWindow)
        m_MainWindow->close();
}

void TLauncherApplication::onClientLaunchCheck() {
    m_ClientLaunchCheckTimer.stop();
    qInfo() << "onClientLaunchCheck: ending after the client start"
            << " Thread: " << QThread::currentThreadId();
    endLauncher(0);
}

void TLauncherApplication::showUserInterface() {
    if (!m_MainWindow) {
        const auto configuration = m_ConfigurationHandler->getMainConfiguration();
        const TPackageVector packages =
            configuration ? configuration->packagesFilteredByLocalArchitectureAndOS() : TPackageVector();
        qInfo() << "showUserInterface: creating the main window with" << packages.size() << "packages"
                << " Thread: " << QThread::currentThreadId();
        for (const std::shared_ptr<TPackage>& package : packages)
            qInfo() << "Package list entry:" << package->packageName() << "status"
                    << int(package->localPackageStatus()) << (package->isDefaultPackage() ? "default" : "");
        m_MainWindow = std::make_unique<TLauncherMainWindow>(
            packages, *m_InstallationManager, configuration && configuration->showPackageNames(),
            m_DownloadPool, m_CdnTrace, configuration);
        connect(m_MainWindow.get(), &TLauncherMainWindow::defaultChanged, this,
                &TLauncherApplication::onDefaultClientChangedFromUI);
        connect(m_MainWindow.get(), &TLauncherMainWindow::clientPackageButtonClicked, this,
                &TLauncherApplication::onClientStartOrInstallTriggeredFromUI);
        connect(m_MainWindow.get(), &TLauncherMainWindow::clientPackageVerifyButtonClicked, this,
                &TLauncherApplication::onClientVerifyTriggeredFromUI);
        // Queued: building the hint tiles waits for their pictures in a nested event loop, which
        // must not run inside the download pool's delivery of the hints document.
        TLauncherMainWindow* window = m_MainWindow.get();
        connect(m_ConfigurationHandler.get(), &TLauncherConfigurationHandler::hintsAreaDataReceived, window,
                [window](std::vector<::shared::THint> hints) {
                    QMetaObject::invokeMethod(
                        window, [window, hints = std::move(hints)]() { window->setHints(hints); },
                        Qt::QueuedConnection);
                });
        m_ConfigurationHandler->loadHintAreaData();
        m_MainWindow->installEventFilter(this);
    }
    m_MainWindow->show();
    qInfo() << "showUserInterface: main window shown"
            << " Thread: " << QThread::currentThreadId();
}

bool TLauncherApplication::eventFilter(QObject* watched, QEvent* event) {
    // The main window closes (by the player, or after a client start): the launcher ends. Watched
    // here rather than left to Qt's quit on the last window, which does not come when the window
    // closes inside a nested event loop (a hint picture being fetched).
    if (event->type() == QEvent::Close && m_MainWindow && watched == m_MainWindow.get() &&
        event->isAccepted() && !m_Ending) {
        qInfo() << "Main window closed: the launcher ends"
                << " Thread: " << QThread::currentThreadId();
        endLauncher(0);
    }
    return QApplication::eventFilter(watched, event);
}

bool TLauncherApplication::event(QEvent* event) {
    // Qt asks to quit when the last window closed (the main window, by the player or after a client
    // start). The launcher then ends through its own ending, so that an exit code already decided
    // (after a fatal error) stands and a survey upload under way gets its short grace.
    if (event->type() == QEvent::Quit) {
        if (!m_Ending) {
            qInfo() << "Last window closed: the launcher ends"
                    << " Thread: " << QThread::currentThreadId();
            endLauncher(0);
        }
        event->accept();
        return true;
    }
    return QApplication::event(event);
}

void TLauncherApplication::onDefaultClientChangedFromUI(const std::shared_ptr<TPackage>& package,
                                                        bool isDefault) {
    if (m_Ending || !m_InstallationManager)
        return;
    try {
        m_InstallationManager->setDefaultPackage(isDefault ? package : nullptr);
    } catch (const std::runtime_error& error) {
        onDiskAccessFailed(QString::fromUtf8(error.what()));
    }
}

void TLauncherApplication::onClientStartOrInstallTriggeredFromUI(const std::shared_ptr<TPackage>& package) {
    if (m_Ending || !m_InstallationManager || !package)
        return;
    qInfo() << "onClientStartOrInstallTriggeredFromUI " << package->packageName()
            << " Thread: " << QThread::currentThreadId();
    try {
        switch (package->localPackageStatus()) {
        case PACKAGE_STATUS_INSTALLED:
            startPackageAndExit(package);
            break;
        case PACKAGE_STATUS_NOT_INSTALLED:
        case PACKAGE_STATUS_PARTIALLY_INSTALLED:
        case PACKAGE_STATUS_UPDATE_REQUIRED:
            m_InstallationManager->installOrUpdatePackage(package);
            break;
        case PACKAGE_STATUS_UNKNOWN:
            break;
        }
    } catch (const std::runtime_error& error) {
        onDiskAccessFailed(QString::fromUtf8(error.what()));
    }
}

void TLauncherApplication::onClientVerifyTriggeredFromUI(const std::shared_ptr<TPackage>& package) {
    if (m_Ending || !m_InstallationManager || !package)
        return;
    qInfo() << "onClientVerifyTriggeredFromUI " << package->packageName()
            << " Thread: " << QThread::currentThreadId();
    try {
        if (package->localPackageStatus() == PACKAGE_STATUS_INSTALLED)
            m_InstallationManager->verifyPackage(package);
    } catch (const std::runtime_error& error) {
        onDiskAccessFailed(QString::fromUtf8(error.what()));
    }
}

void TLauncherApplication::onMainConfigurationFailedToLoad() {
    m_DelayUntilUIActivityTimer.stop();
    if (m_MaintenanceMessageShown)
        return;
    m_MaintenanceMessageShown = true;
    m_Ending = true;
    hideWaitSplashScreen();
    QMessageBox box(
        QMessageBox::Information, QStringLiteral("Orvane Online cannot be started"),
        QStringLiteral("Orvane Online is currently down for maintenance. Please try again later."),
        QMessageBox::Close);
    box.exec();
    endLauncher(1);
}

void TLauncherApplication::onDiskAccessFailed(QString message) {
    m_DelayUntilUIActivityTimer.stop();
    if (m_DiskAccessMessageShown)
        return;
    m_DiskAccessMessageShown = true;
    m_Ending = true;
    hideWaitSplashScreen();
    QMessageBox box(
        QMessageBox::Critical, QStringLiteral("Orvane Online cannot start"),
        QStringLiteral("A critical error occurred while accessing a file:\n%1\nPlease reinstall Launcher.")
            .arg(message),
        QMessageBox::Ok);
    box.exec();
    endLauncher(1);
}

void TLauncherApplication::endLauncher(int exitCode) {
    m_Ending = true;
    m_DelayUntilUIActivityTimer.stop();
    // A survey upload under way may finish first, for a short while: whatever the launcher
    // started (a client, its updated copy) is running already.
    if (m_SurveyUploader && m_SurveyUploader->isBusy()) {
        auto exited = std::make_shared<bool>(false);
        const auto exitOnce = [exitCode, exited]() {
            if (!*exited) {
                *exited = true;
                QCoreApplication::exit(exitCode);
            }
        };
        connect(m_SurveyUploader.get(), &::systemsurvey::TSystemSurveyUploader::finished, this, exitOnce,
                Qt::QueuedConnection);
        QTimer::singleShot(SURVEY_UPLOAD_GRACE_MS, this, exitOnce);
        return;
    }
    // Queued, so that it also takes effect when the event loop has not started yet.
    QMetaObject::invokeMethod(
        this, [exitCode]() { QCoreApplication::exit(exitCode); }, Qt::QueuedConnection);
}

void TLauncherApplication::sendFunnelEvent(QString step, QString key) {
    const auto configuration = m_ConfigurationHandler->getMainConfiguration();
    if (!configuration) {
        qWarning() << "sendFunnelEvent: no launcher configuration, dropped" << step;
        return;
    }
    m_FunnelEventSender->sendFunnelEvent(configuration->funnelUrl(), step, key);
}

} // namespace quarn::launcher
