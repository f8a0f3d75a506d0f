#include "launcher/application/launcherapplication.h"
#include "launcher/application/logging.h"
#include "launcher/ui/messageboxwatcher.h"
#include "launcher/version.h"
#include "shared/memorytuning.h"

#include <QDebug>
#include <QThread>

#include <stdexcept>

int main(int argc, char* argv[]) {
    shared::keepLargeAllocationsOnTheHeap();
    using namespace quarn::launcher;
    // Scaled by the screen's pixel density, with the high-density ("@2x") pictures; must be set
    // before the application object exists.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    TLauncherApplication application(argc, argv);
    try {
        // Held by the controller until it ends (or hands over to its restarted copy), so no second
        // launcher starts while this one runs.
        if (!application.acquireSingleInstanceGuard()) {
            // The running launcher's log file is left alone: this goes to the default output.
            qInfo() << "Version: " << LAUNCHER_VERSION << "already running"
                    << " Thread: " << QThread::currentThreadId();
            return 0;
        }
        setupLogger();
        TMessageBoxWatcher::install(&application);
        qInfo() << "Version: " << LAUNCHER_VERSION << " Thread: " << QThread::currentThreadId();
        application.startLoadingMainLauncherConfiguration();
        return application.exec();
    } catch (const std::exception& exception) {
        qCritical() << "Launcher stopped: " << exception.what();
        return 1;
    }
}
