#pragma once
// Test fixture: the real launcher executable copied into a private application bundle
// ("<tmp>/bundle/Orvane Online.app/Contents/MacOS/") with a complete replacement
// "launchersettings.ini" beside it, run in a private home (HOME, XDG folders, TMPDIR) with
// ORVANE_LAUNCHER_CLOSE_DIALOGS=1, so that every message box answers itself. Also publishes small
// trees with the real orvane-publish for the launcher to load. Header-only.

#include "localplatform.h"
#include "testenvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QSysInfo>
#include <QTimer>
#include <QUrl>

// Every key of the settings file; a replacement file takes nothing from the built-in one, so all
// of them are written.
struct TLauncherSettingsValues {
    QUrl configurationUrl;
    QUrl cdnDiagnosticsTraceUrl;
    bool appendNocache = false;
    QString packagesFolder = QStringLiteral("packages");
    QString packageFile = QStringLiteral("package.json");
    QString partialPackageFile = QStringLiteral("partial-package.json");
    QString assetFile = QStringLiteral("assets.json");
    qint64 waitNotificationTimeoutMs = 500;
    qint64 downloadErrorTimeoutMs = 10000;
    qint64 clientStartTimeoutMs = 30000;
    int maxCachedChunks = 100;
    int maxConcurrentDownloads = 10;
    bool skipVerification = true;
    bool fastScan = true;
    bool chunkVerification = false;
};

struct TLauncherRun {
    int exitCode = -1; // -1: crashed, timed out or ended by the test
    bool timedOut = false;
    bool stoppedByTest = false; // runUntilLogShows: the awaited line appeared, the test ended it
    QByteArray output;          // standard output and error, merged
    QByteArray log;             // the log file after the run
};

class TLauncherBundle {
public:
    // executable: the built launcher (tests get it as ORVANE_LAUNCHER_EXECUTABLE).
    explicit TLauncherBundle(const QString& executable) {
        QDir().mkpath(macOsFolder());
        m_Executable = macOsFolder() + QStringLiteral("/OrvaneLauncher");
        m_Ready = QFile::copy(executable, m_Executable) &&
                  QFile::setPermissions(m_Executable, QFile::permissions(executable) | QFileDevice::ExeOwner);
    }

    bool isReady() const { return m_Ready; }
    const TTestHome& home() const { return m_Home; }
    QString bundleFolder() const { return m_Home.root() + QStringLiteral("/bundle/Orvane Online.app"); }
    QString macOsFolder() const { return bundleFolder() + QStringLiteral("/Contents/MacOS"); }
    QString executable() const { return m_Executable; }
    QString dataFolder() const { return m_Home.path("data") + QStringLiteral("/Kettrel GmbH/Orvane Online"); }
    QString logPath() const { return dataFolder() + QStringLiteral("/OrvaneLauncher.log"); }
    QString backupPath() const { return dataFolder() + QStringLiteral("/launchermetadata.json"); }
    QString packagesFolder() const { return dataFolder() + QStringLiteral("/packages"); }

    bool writeSettings(const TLauncherSettingsValues& values) const {
        const auto flag = [](bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); };
        const QString text =
            QStringLiteral(
                "[URLS]\nlauncherConfiguration=%1\ncdnDiagnosticsTrace=%2\nappendNocacheToPackageUrls=%3\n"
                "[DIRECTORIES]\npackages=%4\n"
                "[FILES]\npackageFile=%5\npartialPackageFile=%6\nassetFile=%7\n")
                .arg(values.configurationUrl.toString(QUrl::FullyEncoded),
                     values.cdnDiagnosticsTraceUrl.toString(QUrl::FullyEncoded), flag(values.appendNocache),
                     values.packagesFolder, values.packageFile, values.partialPackageFile, values.assetFile) +
            QStringLiteral(
                "[TIMING]\nwaitNotificationTimeout=%1\ndownloadErrorTimeout=%2\nclientStartTimeout=%3\n"
                "[OPTIONS]\nmaxCachedChunks=%4\nmaxConcurrentDownloads=%5\nskipVerification=%6\n"
                "fastScan=%7\n[DEBUG]\nchunkVerification=%8\n")
                .arg(QString::number(values.waitNotificationTimeoutMs),
                     QString::number(values.downloadErrorTimeoutMs),
                     QString::number(values.clientStartTimeoutMs), QString::number(values.maxCachedChunks),
                     QString::number(values.maxConcurrentDownloads), flag(values.skipVerification),
                     flag(values.fastScan), flag(values.chunkVerification));
        QFile file(macOsFolder() + QStringLiteral("/launchersettings.ini"));
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               file.write(text.toUtf8()) == text.toUtf8().size();
    }

    QProcessEnvironment environment() const {
        QProcessEnvironment environment = m_Home.environment();
        environment.insert(QStringLiteral("ORVANE_LAUNCHER_CLOSE_DIALOGS"), QStringLiteral("1"));
        return environment;
    }

    // Runs the launcher to its end; kills it after timeoutMs. The caller's event loop keeps
    // running meanwhile, so servers living in the test process go on answering.
    TLauncherRun run(const QStringList& arguments = {}, int timeoutMs = 90000) const {
        return runUntilLogShows(arguments, QByteArray(), 0, timeoutMs);
    }

    // Like run, but also ends the launcher once its log contains awaitedLine (for a state in
    // which the launcher waits for the player, such as the package list), after settleMs more to
    // show that nothing else follows. The log of an earlier run is removed first, so only this
    // run's lines count.
    TLauncherRun runUntilLogShows(const QStringList& arguments, const QByteArray& awaitedLine,
                                  int settleMs = 0, int timeoutMs = 90000) const {
        if (!awaitedLine.isEmpty())
            QFile::remove(logPath());
        QProcess process;
        process.setProcessEnvironment(environment());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setWorkingDirectory(m_Home.path("home"));
        TLauncherRun result;
        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                         &QEventLoop::quit);
        QObject::connect(&process, &QProcess::errorOccurred, &loop, [&loop](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart)
                loop.quit();
        });
        QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        QTimer logWatch;
        QTimer settle;
        settle.setSingleShot(true);
        QObject::connect(&settle, &QTimer::timeout, &loop, [&] {
            result.stoppedByTest = true;
            loop.quit();
        });
        QObject::connect(&logWatch, &QTimer::timeout, &loop, [&] {
            if (readFile(logPath()).contains(awaitedLine)) {
                logWatch.stop();
                deadline.stop();
                settle.start(settleMs);
            }
        });
        process.start(m_Executable, arguments);
        deadline.start(timeoutMs);
        if (!awaitedLine.isEmpty())
            logWatch.start(100);
        loop.exec();
        if (result.stoppedByTest && process.state() == QProcess::NotRunning)
            result.stoppedByTest = false; // it ended by itself meanwhile
        if (process.state() != QProcess::NotRunning) {
            result.timedOut = !result.stoppedByTest;
            process.kill();
            process.waitForFinished(10000);
        } else if (process.exitStatus() == QProcess::NormalExit &&
                   process.error() != QProcess::FailedToStart) {
            result.exitCode = process.exitCode();
        }
        result.output = process.readAll();
        result.log = readFile(logPath());
        return result;
    }

    static QByteArray readFile(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    static bool writeFile(const QString& path, const QByteArray& data) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
    }

    // The "os" and "architecture" values of a build for the machine the tests run on.
    static QString localOperatingSystemName() { return testsupport::localOperatingSystemName(); }
    static QString localArchitectureName() { return testsupport::localArchitectureName(); }

private:
    TTestHome m_Home;
    QString m_Executable;
    bool m_Ready = false;
};

// Runs orvane-publish (tests get its path as ORVANE_PUBLISH) and returns its output; an empty
// error text means success.
struct TPublishResult {
    bool ok = false;
    QByteArray output;
};

inline TPublishResult runPublishTool(const QString& tool, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(tool, arguments);
    TPublishResult result;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished(10000);
        return result;
    }
    result.output = process.readAll();
    result.ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return result;
}

// Publishes a small client build for this machine into webFolder (package document, asset
// document, units) and adds it to webFolder/vammetadata.json as package `name` with the
// installation folder `directory`. Returns the tool's output on failure, empty on success.
inline QByteArray publishSmallClient(const QString& tool, const QString& workFolder, const QString& webFolder,
                                     const QString& name = QStringLiteral("Orvane Online"),
                                     const QString& directory = QStringLiteral("OrvaneOnline"),
                                     const QString& version = QStringLiteral("1.0.0")) {
    const QString source = workFolder + QStringLiteral("/source-") + directory;
    TLauncherBundle::writeFile(source + QStringLiteral("/Contents/MacOS/client"), "#!/bin/sh\necho client\n");
    QFile::setPermissions(source + QStringLiteral("/Contents/MacOS/client"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    TLauncherBundle::writeFile(source + QStringLiteral("/data/world.pak"), QByteArray(20000, 'w'));
    TLauncherBundle::writeFile(source + QStringLiteral("/readme.txt"), "hello\n");
    const QString out = webFolder + QStringLiteral("/") + directory + QStringLiteral("/build");
    TPublishResult result =
        runPublishTool(tool, {QStringLiteral("package"), source, out, QStringLiteral("--version"), version,
                              QStringLiteral("--executable"), QStringLiteral("Contents/MacOS/client"),
                              QStringLiteral("--assets"), QStringLiteral("data/*"), QStringLiteral("--codec"),
                              QStringLiteral("0")});
    if (!result.ok)
        return "package: " + result.output;
    result =
        runPublishTool(tool, {QStringLiteral("catalogue"), webFolder + QStringLiteral("/vammetadata.json"),
                              QStringLiteral("--name"), name, QStringLiteral("--directory"), directory,
                              QStringLiteral("--os"), TLauncherBundle::localOperatingSystemName(),
                              QStringLiteral("--arch"), TLauncherBundle::localArchitectureName(),
                              QStringLiteral("--package"), out + QStringLiteral("/package.json"),
                              QStringLiteral("--assets"), out + QStringLiteral("/assets.json")});
    if (!result.ok)
        return "catalogue: " + result.output;
    return QByteArray();
}
