#pragma once

#include "launcher/application/commandlineinterpreter.h"
#include "launcher/configuration/launcherconfigurationhandler.h"
#include "launcher/diagnostics/cloudflarecdntrace.h"
#include "launcher/diagnostics/funneleventsender.h"
#include "launcher/environment/launcherfilesystemhelper.h"
#include "launcher/installation/installationmanager.h"
#include "launcher/installation/launcherselfupdater.h"
#include "shared/downloadpool.h"
#include "shared/translationmanager.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <memory>

class QSplashScreen;

namespace shared {
class FirstInstanceTester;
}

namespace systemsurvey {
class TSystemSurveyUploader;
}

namespace quarn::launcher {

class TLauncherMainWindow;

// The image of the wait splash screen.
enum ESplashScreenImage {
    SPLASH_IMAGE_DEFAULT = 0,
    SPLASH_IMAGE_UPDATING_LAUNCHER = 1,
    SPLASH_IMAGE_LAUNCHING_CLIENT = 2,
};

// The application object, one per process. It is also the launcher's controller: it owns the
// long-lived objects, loads the launcher and package configurations, updates the launcher itself
// when the service has another build of it (and restarts), then enters the action phase: installs
// or patches clients, shows the package list or starts the default client and ends. It ends the
// launcher with exit code 1 after a maintenance or file error message, or when the client cannot
// be started.
class TLauncherApplication : public QApplication {
    Q_OBJECT
public:
    static TLauncherApplication* Instance;

    TLauncherApplication(int& argc, char** argv);
    ~TLauncherApplication() override;

    // Takes the single-instance guard; false when another launcher holds it. The controller keeps
    // the guard until it ends or hands over to its restarted copy.
    bool acquireSingleInstanceGuard();

    // Starts the configuration phase; called once by main before the event loop runs.
    void startLoadingMainLauncherConfiguration();

    const TCommandLineInterpreter& commandLine() const { return m_CommandLineInterpreter; }
    TLauncherConfigurationHandler* configurationHandler() const { return m_ConfigurationHandler.get(); }
    const std::shared_ptr<TCloudflareCdnTrace>& cdnTrace() const { return m_CdnTrace; }
    const std::shared_ptr<TLauncherFilesystemHelper>& filesystemHelper() const { return m_FilesystemHelper; }
    const std::shared_ptr<::shared::TDownloadPool>& downloadPool() const { return m_DownloadPool; }
    // Empty until the action phase.
    TInstallationManager* installationManager() const { return m_InstallationManager.get(); }
    // Empty until the user interface is first needed.
    TLauncherMainWindow* mainWindow() const { return m_MainWindow.get(); }

    void showWaitSplashScreen(ESplashScreenImage image);

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

public slots:
    // Posts a funnel event to the endpoint of the launcher configuration.
    void sendFunnelEvent(QString step, QString key);

    void onMainConfigurationLoaded();
    void onMainConfigurationFailedToLoad();
    void onDiskAccessFailed(QString message);
    void onPackageConfigurationsLoaded();
    void onSelfUpdateFinishedAndRestartRequired();
    void onDelayUntilUIActivityNecessaryReached();
    void onLauncherReadyForAction();
    void onInstalledPackagesReady();
    void onClientLaunchCheck();
    void onDefaultClientChangedFromUI(const std::shared_ptr<quarn::launcher::TPackage>& package,
                                      bool isDefault);
    void onClientStartOrInstallTriggeredFromUI(const std::shared_ptr<quarn::launcher::TPackage>& package);
    void onClientVerifyTriggeredFromUI(const std::shared_ptr<quarn::launcher::TPackage>& package);

private:
    void submitSystemSurvey();
    // Starts a self update when one is due; false when the launcher goes on as it is.
    bool startSelfUpdateIfRequired();
    // Packages whose directory holds a forced-patch marker; each marker found is removed.
    TPackageVector takeForcedPatchPackages();
    void decideAction(const TPackageVector& forcedPatchPackages);
    // Starts the client detached in its own folder; the launcher then ends. Runs at most once.
    void startPackageAndExit(const std::shared_ptr<TPackage>& package);
    void showUserInterface();
    void hideWaitSplashScreen();
    // The launcher is ending: no later phase runs, and the event loop is left with the code once
    // control returns to it (also when it has not started yet).
    void endLauncher(int exitCode);

    std::shared_ptr<::shared::TDownloadPool> m_DownloadPool;
    std::shared_ptr<TLauncherFilesystemHelper> m_FilesystemHelper;
    std::shared_ptr<quarn::shared::TTranslationManager> m_TranslationManager;
    std::shared_ptr<TCloudflareCdnTrace> m_CdnTrace;
    std::unique_ptr<TLauncherConfigurationHandler> m_ConfigurationHandler;
    std::unique_ptr<TLauncherSelfUpdater> m_SelfUpdater;
    std::unique_ptr<TInstallationManager> m_InstallationManager;
    std::unique_ptr<TFunnelEventSender> m_FunnelEventSender;
    std::unique_ptr<TLauncherMainWindow> m_MainWindow;
    std::unique_ptr<QSplashScreen> m_SplashScreen;
    std::unique_ptr<::systemsurvey::TSystemSurveyUploader> m_SurveyUploader;
    TCommandLineInterpreter m_CommandLineInterpreter;
    QTimer m_DelayUntilUIActivityTimer;
    QElapsedTimer m_ClientStartStopwatch;
    QTimer m_ClientLaunchCheckTimer;
    QString m_FunnelSettingsKey;
    std::unique_ptr<::shared::FirstInstanceTester> m_SingleInstanceGuard;
    bool m_Ending = false;
    bool m_ActionPhaseBegun = false;
    bool m_MaintenanceMessageShown = false;
    bool m_DiskAccessMessageShown = false;
    bool m_ClientStartAttempted = false;
};

} // namespace quarn::launcher
