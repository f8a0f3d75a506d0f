#pragma once
// Test helpers for process tests of the action phase and the self update, around a launcher started
// from a TLauncherBundle: a fake client that records how it was started, a publisher of its builds,
// and waiting until every process started from an executable has ended (a launcher that restarted
// itself is no child of the test). Header-only; Linux (/proc).

#include "launcherbundle.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QThread>

// Process ids of the running processes whose program (first argument) is `executable`.
inline QList<qint64> processesRunning(const QString& executable) {
    const QString canonical = QFileInfo(executable).canonicalFilePath();
    QList<qint64> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool isNumber = false;
        const qint64 pid = entry.toLongLong(&isNumber);
        if (!isNumber)
            continue;
        QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (!commandLine.open(QIODevice::ReadOnly))
            continue;
        const QString program = QFile::decodeName(commandLine.readAll().split('\0').value(0));
        if (!program.isEmpty() && (program == executable || program == canonical))
            found.append(pid);
    }
    return found;
}

// Waits until no process runs `executable` any more; false on timeout.
inline bool waitUntilNoProcessRuns(const QString& executable, int timeoutMs = 120000) {
    QElapsedTimer clock;
    clock.start();
    while (!processesRunning(executable).isEmpty()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(100);
    }
    return true;
}

// The fake client: a shell script that appends its working directory and its arguments, one per
// line and closed by a line "--end--", to the file named in ORVANE_TEST_CLIENT_RECORD (the launcher
// passes its environment on to the client).
inline QByteArray fakeClientScript() {
    return "#!/bin/sh\n"
           "{ pwd; for argument in \"$@\"; do printf '%s\\n' \"$argument\"; done; echo --end--; } "
           ">> \"$ORVANE_TEST_CLIENT_RECORD\"\n";
}

// The starts recorded by the fake client: per start the working directory, then the arguments.
inline QList<QStringList> recordedClientStarts(const QString& recordPath) {
    QList<QStringList> starts;
    QStringList current;
    const QList<QByteArray> lines = TLauncherBundle::readFile(recordPath).split('\n');
    for (const QByteArray& line : lines) {
        if (line == "--end--") {
            starts.append(current);
            current.clear();
        } else if (!line.isEmpty() || !current.isEmpty()) {
            current.append(QString::fromUtf8(line));
        }
    }
    return starts;
}

// Waits until the record holds `count` starts (the client runs detached and may write after the
// launcher ended); returns them.
inline QList<QStringList> waitForClientStarts(const QString& recordPath, int count, int timeoutMs = 30000) {
    QElapsedTimer clock;
    clock.start();
    QList<QStringList> starts = recordedClientStarts(recordPath);
    while (starts.size() < count && clock.elapsed() < timeoutMs) {
        QThread::msleep(100);
        starts = recordedClientStarts(recordPath);
    }
    return starts;
}

// A published build of the fake client, laid out as an application bundle: the script at
// CLIENT_EXECUTABLE, a data file that goes into the asset document, and a readme.
struct TFakeClientBuild {
    static inline const QString NAME = QStringLiteral("Orvane Online");
    static inline const QString DIRECTORY = QStringLiteral("OrvaneOnline");
    static inline const QString EXECUTABLE = QStringLiteral("Contents/MacOS/client");
    static inline const QStringList PARAMETERS = {QStringLiteral("-windowed"), QStringLiteral("two words")};

    QString tool;         // orvane-publish
    QString sourceFolder; // where the build is laid out
    QString webFolder;    // the served tree; the build goes to webFolder/client/build

    QString buildFolder() const { return webFolder + QStringLiteral("/client/build"); }
    QString served(const QString& name) const { return buildFolder() + QLatin1Char('/') + name; }

    // Publishes the build into the same place of the served tree (so the catalogue keeps naming
    // it), marked for automatic installation. Empty on success, else what failed.
    QByteArray publish(const QString& version, const QByteArray& world, const QByteArray& readme) const {
        const QString script = sourceFolder + QLatin1Char('/') + EXECUTABLE;
        if (!TLauncherBundle::writeFile(script, fakeClientScript()) ||
            !QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner) ||
            !TLauncherBundle::writeFile(sourceFolder + QStringLiteral("/data/world.pak"), world) ||
            !TLauncherBundle::writeFile(sourceFolder + QStringLiteral("/readme.txt"), readme))
            return "cannot write the build";
        QStringList arguments = {QStringLiteral("package"),
                                 sourceFolder,
                                 buildFolder(),
                                 QStringLiteral("--version"),
                                 version,
                                 QStringLiteral("--executable"),
                                 EXECUTABLE,
                                 QStringLiteral("--assets"),
                                 QStringLiteral("data/*"),
                                 QStringLiteral("--codec"),
                                 QStringLiteral("0")};
        for (const QString& parameter : PARAMETERS)
            arguments << QStringLiteral("--parameter") << parameter;
        TPublishResult result = runPublishTool(tool, arguments);
        if (!result.ok)
            return "package: " + result.output;
        result = runPublishTool(tool,
                                {QStringLiteral("catalogue"), webFolder + QStringLiteral("/vammetadata.json"),
                                 QStringLiteral("--name"), NAME, QStringLiteral("--directory"), DIRECTORY,
                                 QStringLiteral("--os"), TLauncherBundle::localOperatingSystemName(),
                                 QStringLiteral("--arch"), TLauncherBundle::localArchitectureName(),
                                 QStringLiteral("--install-automatically"), QStringLiteral("yes"),
                                 QStringLiteral("--package"), served(QStringLiteral("package.json")),
                                 QStringLiteral("--assets"), served(QStringLiteral("assets.json"))});
        return result.ok ? QByteArray() : "catalogue: " + result.output;
    }
};

// The stored unit of a content published with codec 0 (orvane-publish names units by content).
inline QString publishedUnitPath(const QString& buildFolder, const QByteArray& content) {
    return buildFolder + QStringLiteral("/chunks/") +
           QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex()) +
           QStringLiteral(".c0");
}
