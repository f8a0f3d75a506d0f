#pragma once

#include <QString>
#include <QtGlobal>

namespace quarn::launcher {

// Creates the log file "<executable name>.log" in the application data folder (truncated at
// every start) and routes every Qt message of the process into it. Never throws: on failure
// the launcher runs on with Qt's default output.
void setupLogger();

// Stops writing the log file: later messages go to Qt's default output. Used before the launcher
// hands over to a restarted copy of itself, which truncates and reopens the same file.
void shutdownLogger();

// The process-wide message handler installed by setupLogger.
void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

// The log line for a message: "<time> (<file>:<line>) <Level>: <text>".
QString formatLogLine(QtMsgType type, const QMessageLogContext& context, const QString& message);

} // namespace quarn::launcher
