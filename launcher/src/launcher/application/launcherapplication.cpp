#include "launcher/application/launcherapplication.h"

#include <QDebug>
#include <QThread>
#include <QTimer>

namespace quarn::launcher {

TLauncherApplication* TLauncherApplication::Instance = nullptr;

namespace {
const char ORGANIZATION_DOMAIN[] = "orvane-online.com";
}

TLauncherApplication::TLauncherApplication(int& argc, char** argv)
    : QApplication(argc, argv), m_TranslationManager(std::make_shared<quarn::shared::TTranslationManager>()) {
    // The names decide where the launcher keeps its data (log file, packages, backups), so they
    // are set before anything asks for a standard location.
    setApplicationName(QStringLiteral("Orvane Online"));
    setApplicationDisplayName(applicationName());
    setOrganizationName(QStringLiteral("Kettrel GmbH"));
    setOrganizationDomain(QString::fromLatin1(ORGANIZATION_DOMAIN));
    m_FilesystemHelper = std::make_shared<TLauncherFilesystemHelper>();
    Instance = this;
    m_TranslationManager->loadEnglishTranslation();
    m_CommandLineInterpreter.parseCommandLineArguments(QCoreApplication::arguments());
}

TLauncherApplication::~TLauncherApplication() {
    if (Instance == this)
        Instance = nullptr;
}

void TLauncherApplication::startLoadingMainLauncherConfiguration() {
    qInfo() << "startLoadingMainLauncherConfiguration"
            << " Thread: " << QThread::currentThreadId();
    const auto& settings = m_FilesystemHelper->launcherSettings();
    qInfo() << "Arguments: " << QCoreApplication::arguments();
    qInfo() << "Configuration URL: " << settings->configurationUrl().toString();
    qInfo() << "Packages directory: " << m_FilesystemHelper->getOrCreatePackagesDirectory().absolutePath();
    // The configuration phase is not part of this build yet: the launcher ends cleanly here.
    QTimer::singleShot(0, this, [] { QCoreApplication::exit(0); });
}

} // namespace quarn::launcher
