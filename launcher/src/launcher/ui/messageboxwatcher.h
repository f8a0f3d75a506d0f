#pragma once

#include <QObject>

class QApplication;

namespace quarn::launcher {

// Name of the environment variable that makes every message box answer itself.
extern const char CLOSE_DIALOGS_ENVIRONMENT_VARIABLE[];

// Watches every message box the application shows, wherever it is created: each one is logged
// with its title and text when it appears. When the environment variable
// ORVANE_LAUNCHER_CLOSE_DIALOGS is "1", each box is then answered at once with its default
// button (or its escape button, or its first button), so that scripted runs and tests never
// wait on a modal box.
class TMessageBoxWatcher : public QObject {
    Q_OBJECT
public:
    // Installs one watcher as an event filter on the application; it lives as the
    // application's child.
    static TMessageBoxWatcher* install(QApplication* application);

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit TMessageBoxWatcher(QObject* parent, bool closeDialogs);

    bool m_CloseDialogs;
};

} // namespace quarn::launcher
