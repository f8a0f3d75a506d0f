#include "launcher/application/logging.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QPointer>
#include <QStandardPaths>
#include <QTextStream>

#include <cstdlib>
#include <stdexcept>

namespace quarn::launcher {

namespace {
QPointer<QFile> logFile;
QMutex logFileMotex;

QString messagePart(QtMsgType type, const QString& message) {
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("Debug: %1").arg(message);
    case QtInfoMsg:
        return QStringLiteral("Info: %1").arg(message);
    case QtWarningMsg:
        return QStringLiteral("Warning: %1").arg(message);
    case QtCriticalMsg:
        return QStringLiteral("Critical: %1").arg(message);
    case QtFatalMsg:
        return QStringLiteral("Fatal: %1").arg(message);
    }
    return QString();
}
} // namespace

QString formatLogLine(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const QString location = QStringLiteral("(%1:%2)").arg(
        context.file ? QString::fromUtf8(context.file) : QString(), QString::number(context.line));
    const QString time = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    // One multi-argument substitution, so placeholders inside the message text stay as they are.
    return QStringLiteral("%1 %2 %3").arg(time, location, messagePart(type, message));
}

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (logFile.isNull())
        return;
    if (type == QtFatalMsg)
        std::abort();
    const QString line = formatLogLine(type, context, message);
    QMutexLocker locker(&logFileMotex);
    if (logFile.isNull())
        return;
    QTextStream stream(logFile.data());
    stream << line << '\n';
    stream.flush();
}

void shutdownLogger() {
    qInstallMessageHandler(nullptr);
    QMutexLocker locker(&logFileMotex);
    if (!logFile.isNull()) {
        logFile->close();
        delete logFile.data();
    }
}

void setupLogger() {
    try {
        const QString directoryPath = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        QDir directory(directoryPath);
        if (!directory.exists() && !directory.mkpath(QStringLiteral(".")))
            throw std::runtime_error("Failed to create subdirectory.");
        const QString path = QDir::cleanPath(directoryPath + QDir::separator() +
                                             QFileInfo(QCoreApplication::applicationFilePath()).fileName() +
                                             QStringLiteral(".log"));
        // Created once and kept for the life of the process.
        auto* file = new QFile(path);
        logFile = file;
        file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text);
        qInstallMessageHandler(messageHandler);
    } catch (const std::exception& exception) {
        qWarning() << "couldn't setup logging. exception: " << exception.what();
    } catch (...) {
        qWarning() << "couldn't setup logging";
    }
}

} // namespace quarn::launcher
