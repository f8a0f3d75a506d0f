#pragma once

#include "launcher/application/commandlineinterpreter.h"
#include "launcher/environment/launcherfilesystemhelper.h"
#include "shared/translationmanager.h"

#include <QApplication>

#include <memory>

namespace quarn::launcher {

// The application object, one per process. It is also the launcher's controller, which drives
// start-up, configuration, updates and the start of the client.
class TLauncherApplication : public QApplication {
    Q_OBJECT
public:
    static TLauncherApplication* Instance;

    TLauncherApplication(int& argc, char** argv);
    ~TLauncherApplication() override;

    // Starts the configuration phase; called once by main before the event loop runs.
    void startLoadingMainLauncherConfiguration();

    const TCommandLineInterpreter& commandLine() const { return m_CommandLineInterpreter; }

private:
    std::shared_ptr<TLauncherFilesystemHelper> m_FilesystemHelper;
    std::shared_ptr<quarn::shared::TTranslationManager> m_TranslationManager;
    TCommandLineInterpreter m_CommandLineInterpreter;
};

} // namespace quarn::launcher
