#include "launcher/application/launcherapplication.h"

#include "launcher/application/logging.h"
#include "shared/firstinstancetester.h"
#include "systemsurvey/systemsurveyuploader.h"

#include <QDebug>
#include <QDir>
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

    connect(m_ConfigurationHandler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded, this,
            &TLauncherApplication::onMainConfigurationLoaded);
    connect(m_ConfigurationHandler.get(), &TLauncherConfigurationHandler::mainConfigurationDownloadFailed,
            this, &TLauncherApplication::onMainConfigurationFailedToLoad);
    connect(m_ConfigurationHandler.get(), &TLauncherConfigurationHandler::diskAccessFailed, this,
            &TLauncherApplication::onDiskAccessFailed);
    connect(m_ConfigurationHandler.get(),
            &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished, this,
            &TLauncherApplication::onPackageConfigurationsLoaded);

    m_CommandLineInterpreter.parseCommandLineArguments(QCoreApplication::arguments());
}

TLauncherApplication::~TLauncherApplication() {
    // Workers of the global pool report progress to objects owned here: let them end first.
    QThreadPool::globalInstance()->waitForDone();
    m_DelayUntilUIActivityTimer.stop();
    m_ClientLaunchCheckTimer.stop();
    m_SplashScreen.reset();
    m_SurveyUploader.reset();
    m_ConfigurationHandler.reset();
    m_FunnelEventSender.reset();
    m_CdnTrace.reset();
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
        if (!m_CommandLineInterpreter.isSkipSelfUpdateSet() && startSelfUpdateIfRequired()) {
            showWaitSplashScreen(SPLASH_IMAGE_UPDATING_LAUNCHER);
            return;
        }
        cleanupOldLauncherVersion();
        onLauncherReadyForAction();
    } catch (const std::runtime_error& error) {
        onDiskAccessFailed(QString::fromUtf8(error.what()));
    }
}

bool TLauncherApplication::startSelfUpdateIfRequired() {
    // The launcher goes on with its own version until the self updater decides otherwise.
    const TPackageConfigurationReader* launcherConfiguration =
        m_ConfigurationHandler->getLauncherConfiguration();
    qInfo() << "Self update check: server version"
            << (launcherConfiguration ? launcherConfiguration->packageVersion() : QStringLiteral("none"));
    return false;
}

void TLauncherApplication::cleanupOldLauncherVersion() {
    qInfo() << "cleanupOldLauncherVersion"
            << " Thread: " << QThread::currentThreadId();
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
    m_DelayUntilUIActivityTimer.stop();
    qInfo() << "Launcher ready for action"
            << " Thread: " << QThread::currentThreadId();
    // The action phase (installations, main window, client start) is not part of this build yet.
    hideWaitSplashScreen();
    endLauncher(0);
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
