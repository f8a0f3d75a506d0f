#pragma once

#include <QtGlobal>

// Log lines of the code under test are dropped: writing them costs more than the run itself.
inline void silenceQtMessages() {
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
}
