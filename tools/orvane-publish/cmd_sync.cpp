// orvane-publish sync: brings a folder to a published build with the launcher's own installation
// run (scan, delete, download, verification), recording the result in the same marker files the
// launcher keeps in a package directory.
#include "commands.h"
#include "options.h"

#include "launcher/configuration/packageconfiguration.h"
#include "launcher/environment/launcherfilesystemhelper.h"
#include "launcher/installation/packagedocumentcheck.h"
#include "launcher/installation/packageinstallation.h"
#include "launcher/installation/packagemarkers.h"
#include "shared/downloadpool.h"
#include "shared/networkwrappers.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSocketNotifier>
#include <QTextStream>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <csignal>
#include <map>
#include <memory>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

using namespace quarn::launcher;

namespace publish {

namespace {

struct TSyncOptions {
    QUrl packageUrl;
    QUrl assetsUrl;
    QString directory;
    bool fastScan = false;
    bool verify = false;
};

QUrl documentBaseUrl(const QUrl& documentUrl) {
    return documentUrl.adjusted(QUrl::RemoveFilename | QUrl::RemoveQuery | QUrl::RemoveFragment);
}

// Fetches the documents with a download pool; returns false with a reason on failure.
bool fetchDocuments(const QList<QUrl>& urls, std::map<QUrl, QByteArray>& documents, QString& failure,
                    int timeoutMs) {
    auto manager =
        std::make_shared<shared::QNetworkAccessManagerWrapper>(std::make_shared<QNetworkAccessManager>());
    shared::TDownloadPool pool(6, manager, nullptr, true);
    pool.setTransferTimeout(timeoutMs);
    // The pool fetches a URL submitted twice only once.
    QList<QUrl> distinct;
    for (const QUrl& url : urls) {
        if (!distinct.contains(url))
            distinct.append(url);
    }
    int outstanding = distinct.size();
    QObject::connect(&pool, &shared::TDownloadPool::success, [&](const QUrl& url, const QByteArray& data) {
        documents[url] = data;
        if (--outstanding == 0)
            QCoreApplication::exit(0);
    });
    QObject::connect(&pool, &shared::TDownloadPool::failed,
                     [&](const QUrl& url, QNetworkReply::NetworkError, const QString& errorString) {
                         failure = QStringLiteral("cannot fetch %1: %2").arg(url.toString(), errorString);
                         QCoreApplication::exit(EXIT_CODE_NETWORK);
                     });
    // Submitted from within the event loop: the pool reports a URL it refuses at once, and an exit
    // requested before the loop runs would be lost.
    QTimer::singleShot(0, &pool, [&pool, &distinct] {
        for (const QUrl& url : distinct)
            pool.Submit(url);
    });
    return QCoreApplication::exec() == 0;
}

// The engine logs every step; the command shows its warnings and, with --verbose, everything.
bool verboseOutput = false;
// A terminal progress line is on screen without its line end; anything else printed ends it first.
bool progressLineOpen = false;

void endProgressLine() {
    if (progressLineOpen) {
        QTextStream(stdout) << "\n";
        progressLineOpen = false;
    }
}

void printMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (verboseOutput || type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg) {
        endProgressLine();
        QTextStream(stderr) << message << "\n";
    }
}

// SIGINT and SIGTERM are turned into a byte on a pipe that the event loop watches, so the run ends
// through the normal path: whatever is written stays, the markers say that the build is partial.
int signalPipe[2] = {-1, -1};
int interruptedBy = 0;

void onSignal(int number) {
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    // A second signal ends the process at once.
    std::signal(number, SIG_DFL);
}

void installSignalHandlers(QObject* parent) {
    if (::pipe(signalPipe) != 0)
        return;
    ::fcntl(signalPipe[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(signalPipe[1], F_SETFD, FD_CLOEXEC);
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, [notifier] {
        char byte = 0;
        if (::read(signalPipe[0], &byte, 1) == 1 && interruptedBy == 0) {
            interruptedBy = byte;
            notifier->setEnabled(false);
            QCoreApplication::exit(EXIT_CODE_INTERRUPTED);
        }
    });
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}

QString formatBytes(quint64 bytes) {
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString formatDuration(quint64 seconds) {
    if (seconds >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(seconds / 3600)
            .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

int percent(quint64 done, quint64 total) {
    return total == 0 ? 100 : static_cast<int>(std::min<quint64>(100, done * 100 / total));
}

const char* const SYNC_EPILOG =
    "Exit codes: 0 the folder holds the build; 1 the documents or the build are not valid, or another\n"
    "run holds the folder; 2 wrong arguments; 3 a document or unit could not be fetched; 4 a file could\n"
    "not be read or written; 5 the verification found damaged files; 130 (SIGINT) or 143 (SIGTERM)\n"
    "interrupted. Whatever a failed or interrupted run wrote stays: the next run goes on from there.";

} // namespace

int runSync(const QStringList& arguments) {
    TCommandLine commandLine(
        QStringLiteral("sync"), QStringLiteral("--package URL [--assets URL] --dir DIR [options]"),
        QStringLiteral(
            "Brings DIR to the published build with the launcher's own installation engine: scans DIR,\n"
            "deletes what the build dropped, downloads only what is missing and records the\n"
            "installed build in DIR as the launcher does."));
    commandLine.addOption(QStringLiteral("package"), QStringLiteral("URL"),
                          QStringLiteral("the build's package document (required)"));
    commandLine.addOption(QStringLiteral("assets"), QStringLiteral("URL"),
                          QStringLiteral("the build's asset document"));
    commandLine.addOption(QStringLiteral("dir"), QStringLiteral("DIR"),
                          QStringLiteral("the folder to install into (required; created when missing)"));
    commandLine.addOption(QStringLiteral("fast-scan"), QString(),
                          QStringLiteral("trust the recorded build instead of reading unchanged files"));
    commandLine.addOption(QStringLiteral("verify"), QString(),
                          QStringLiteral("hash every file of the build afterwards"));
    commandLine.addOption(QStringLiteral("timeout"), QStringLiteral("SECONDS"),
                          QStringLiteral("abort a request that receives nothing for this long (default %1)")
                              .arg(shared::TDownloadPool::DEFAULT_TRANSFER_TIMEOUT_MS / 1000));
    commandLine.addOption(QStringLiteral("limit-rate"), QStringLiteral("BYTES_PER_SECOND"),
                          QStringLiteral("cap the total download rate (0, the default, for none)"));
    commandLine.addOption(QStringLiteral("quiet"), QString(), QStringLiteral("print no progress"));
    commandLine.addOption(QStringLiteral("verbose"), QString(),
                          QStringLiteral("print every message of the installation engine"));
    commandLine.setEpilog(QString::fromLatin1(SYNC_EPILOG));
    const int parsed = commandLine.parse(arguments, 0, 0);
    if (parsed >= 0)
        return parsed;

    TSyncOptions options;
    const auto absoluteUrl = [&commandLine](const char* name, QUrl& target) {
        const QString text = commandLine.value(QString::fromLatin1(name));
        target = QUrl(text);
        if (!target.isValid() || target.isRelative()) {
            commandLine.usageError(
                QStringLiteral("--%1: '%2' is not an absolute URL").arg(QLatin1String(name), text));
            return false;
        }
        return true;
    };
    if (!commandLine.isSet(QStringLiteral("package")))
        return commandLine.usageError(QStringLiteral("--package is required"));
    if (!absoluteUrl("package", options.packageUrl))
        return EXIT_CODE_USAGE;
    if (commandLine.isSet(QStringLiteral("assets")) && !absoluteUrl("assets", options.assetsUrl))
        return EXIT_CODE_USAGE;
    options.directory = commandLine.value(QStringLiteral("dir"));
    if (options.directory.isEmpty())
        return commandLine.usageError(QStringLiteral("--dir is required"));
    options.fastScan = commandLine.isSet(QStringLiteral("fast-scan"));
    options.verify = commandLine.isSet(QStringLiteral("verify"));
    verboseOutput = commandLine.isSet(QStringLiteral("verbose"));
    const bool quiet = commandLine.isSet(QStringLiteral("quiet"));
    int timeoutMs = shared::TDownloadPool::DEFAULT_TRANSFER_TIMEOUT_MS;
    if (commandLine.isSet(QStringLiteral("timeout"))) {
        bool ok = false;
        const int seconds = commandLine.value(QStringLiteral("timeout")).toInt(&ok);
        if (!ok || seconds < 1 || seconds > 24 * 3600)
            return commandLine.usageError(
                QStringLiteral("--timeout: '%1' is not a number of seconds from 1 to 86400")
                    .arg(commandLine.value(QStringLiteral("timeout"))));
        timeoutMs = seconds * 1000;
    }
    qint64 limitRate = 0;
    if (commandLine.isSet(QStringLiteral("limit-rate"))) {
        bool ok = false;
        limitRate = commandLine.value(QStringLiteral("limit-rate")).toLongLong(&ok);
        if (!ok || limitRate < 0)
            return commandLine.usageError(
                QStringLiteral("--limit-rate: '%1' is not a number of bytes per second")
                    .arg(commandLine.value(QStringLiteral("limit-rate"))));
    }
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;

    QTextStream out(stdout);
    QTextStream err(stderr);
    qInstallMessageHandler(printMessage);
    QObject signalContext;
    installSignalHandlers(&signalContext);
    const auto interruptedMessage = [&err](quint64 fetched) {
        endProgressLine();
        err << "sync interrupted by " << (interruptedBy == SIGTERM ? "SIGTERM" : "SIGINT")
            << " after fetching " << fetched
            << " bytes; what is written stays, run the same command again to go on\n";
        return 128 + interruptedBy;
    };
    try {
        QList<QUrl> urls{options.packageUrl};
        if (!options.assetsUrl.isEmpty())
            urls.append(options.assetsUrl);
        std::map<QUrl, QByteArray> documents;
        QString failure;
        if (!fetchDocuments(urls, documents, failure, timeoutMs)) {
            if (interruptedBy != 0)
                return interruptedMessage(0);
            err << "sync failed: " << failure << "\n";
            return EXIT_CODE_NETWORK;
        }
        const QByteArray packageJson = documents[options.packageUrl];
        const QByteArray assetJson =
            options.assetsUrl.isEmpty() ? QByteArray() : documents[options.assetsUrl];
        const TPackageConfigurationReader server(packageJson, assetJson, documentBaseUrl(options.packageUrl),
                                                 documentBaseUrl(options.assetsUrl));
        if (!server.initializedSuccessfully()) {
            err << "sync failed: the package documents are not valid (see the messages above)\n";
            return EXIT_CODE_FAILURE;
        }
        const QString problem =
            TPackageDocumentCheck::findProblem(server, TPackageDocumentCheck::defaultReservedNames(), true);
        if (!problem.isEmpty()) {
            err << "sync failed: " << problem << "\n";
            return EXIT_CODE_FAILURE;
        }

        auto helper = std::make_shared<TLauncherFilesystemHelper>();
        if (!QDir().mkpath(options.directory)) {
            err << "sync failed: cannot create the folder '" << options.directory << "'\n";
            return EXIT_CODE_DISK;
        }
        const QDir directory(QFileInfo(options.directory).absoluteFilePath());
        TPackageInstallation run(nullptr, helper);
        run.setInstallationBaseDirectory(directory);
        run.downloadPool()->setTransferTimeout(timeoutMs);
        run.downloadPool()->setRateLimit(limitRate);
        // The markers are read and written only while this run holds the folder.
        if (!run.lockInstallationFolder()) {
            err << "sync failed: " << run.folderLockError() << "\n";
            return EXIT_CODE_FAILURE;
        }
        const TPackageMarkerFiles markers(*helper, directory);
        // Only a completely installed build describes the disk well enough for the fast scan.
        const bool fastScan = options.fastScan && markers.hasFullMarker();
        if (options.fastScan && !fastScan)
            out << "no complete installation recorded: scanning every file\n";
        const TPackageConfigurationReader local = markers.localConfiguration();
        try {
            markers.markPartiallyInstalled(packageJson, assetJson);
        } catch (const std::runtime_error& error) {
            err << "sync failed: " << error.what() << "\n";
            return EXIT_CODE_DISK;
        }

        int exitCode = EXIT_CODE_FAILURE;
        const auto fail = [&](int code, const QString& reason) {
            out.flush();
            endProgressLine();
            err << "sync failed: " << reason << "\n";
            err.flush();
            exitCode = code;
            QCoreApplication::exit(code);
        };
        // On a terminal one line is rewritten in place (5 times a second at most); otherwise a
        // line a second at most, and always the last one of a phase.
        QElapsedTimer sinceLastLine;
        sinceLastLine.start();
        bool firstLine = true;
        const auto progressLine = [&](const QString& line, bool phaseDone) {
            if (quiet || (!firstLine && !phaseDone && sinceLastLine.elapsed() < (terminal ? 200 : 1000)))
                return;
            firstLine = false;
            sinceLastLine.restart();
            if (terminal) {
                out << "\r" << line << "\x1b[K";
                progressLineOpen = true;
                if (phaseDone) {
                    out << "\n";
                    progressLineOpen = false;
                }
            } else {
                out << line << "\n";
            }
            out.flush();
        };
        const auto report = [&](const char* phase, TFileSize done, TFileSize total) {
            progressLine(QStringLiteral("%1 %2 / %3 bytes (%4%)")
                             .arg(QLatin1String(phase))
                             .arg(done)
                             .arg(total)
                             .arg(percent(done, total)),
                         done == total);
        };
        QObject::connect(&run, &TPackageInstallation::scanProgress,
                         [&](TFileSize done, TFileSize total) { report("scanned", done, total); });
        QObject::connect(&run, &TPackageInstallation::verificationProgress,
                         [&](TFileSize done, TFileSize total) { report("verified", done, total); });
        QObject::connect(
            run.downloader(), &TPackageFileDownloader::progress,
            [&](TFileSize downloaded, TFileSize toDownload, TFileSize written, TFileSize toWrite) {
                const quint64 speed = run.downloader()->downloadedBytesPerSecond();
                QString line;
                if (terminal) {
                    line = QStringLiteral("downloading %1%  %2 / %3  %4/s")
                               .arg(percent(downloaded, toDownload), 3)
                               .arg(formatBytes(downloaded), formatBytes(toDownload), formatBytes(speed));
                } else {
                    line = QStringLiteral("downloaded %1 / %2 bytes (%3%), written %4 / %5 bytes, %6/s")
                               .arg(downloaded)
                               .arg(toDownload)
                               .arg(percent(downloaded, toDownload))
                               .arg(written)
                               .arg(toWrite)
                               .arg(formatBytes(speed));
                }
                if (speed > 0 && downloaded < toDownload)
                    line +=
                        QStringLiteral(", %1 left").arg(formatDuration((toDownload - downloaded) / speed));
                progressLine(line, false);
            });
        QObject::connect(&run, &TPackageInstallation::diskAccessFailed,
                         [&](const QString& message) { fail(EXIT_CODE_DISK, message); });
        const auto installationFailed = [&] {
            // The run's own reason first (for example too little free space), then the downloader's.
            const QString reason = run.installationErrorMessage().isEmpty()
                                       ? run.downloader()->failureReason()
                                       : run.installationErrorMessage();
            switch (run.installationErrorReason()) {
            case PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED:
                fail(EXIT_CODE_NETWORK, reason.isEmpty() ? QStringLiteral("a download failed") : reason);
                return;
            case PACKAGE_DOWNLOADER_ERROR_SAVING_FAILED:
                fail(EXIT_CODE_DISK,
                     reason.isEmpty() ? QStringLiteral("a file could not be written") : reason);
                return;
            case PACKAGE_DOWNLOADER_ERROR_VERIFICATION_FAILED:
                fail(EXIT_CODE_VERIFICATION,
                     QStringLiteral("verification failed: the file named above does not match the build; "
                                    "the next run repairs it"));
                return;
            case PACKAGE_DOWNLOADER_ERROR_NONE:
                break;
            }
            fail(EXIT_CODE_FAILURE, QStringLiteral("the installation failed"));
        };
        QObject::connect(&run, &TPackageInstallation::downloadFinished, [&] {
            if (!run.isInstalledWithoutError()) {
                installationFailed();
                return;
            }
            try {
                markers.updatePartiallyInstalled(packageJson, assetJson);
                run.verify(markers.localConfiguration(), options.verify);
            } catch (const std::runtime_error& error) {
                fail(EXIT_CODE_DISK, QString::fromUtf8(error.what()));
            }
        });
        QObject::connect(&run, &TPackageInstallation::verificationFinished, [&] {
            if (!run.isInstalledWithoutError()) {
                installationFailed();
                return;
            }
            try {
                markers.markFullyInstalled(packageJson, assetJson);
                exitCode = EXIT_CODE_OK;
                QCoreApplication::exit(EXIT_CODE_OK);
            } catch (const std::runtime_error& error) {
                fail(EXIT_CODE_DISK, QString::fromUtf8(error.what()));
            }
        });
        run.startScan(local, server, fastScan);
        QCoreApplication::exec();
        // Work handed to other threads (chunk writes, hashing) ends before the run is destroyed.
        QThreadPool::globalInstance()->waitForDone();
        out.flush();
        endProgressLine();
        if (interruptedBy != 0 && exitCode != EXIT_CODE_OK)
            return interruptedMessage(run.downloader()->downloadSizeInBytes());
        if (exitCode == EXIT_CODE_OK)
            out << "fetched " << run.downloader()->downloadSizeInBytes() << " bytes\n";
        return exitCode;
    } catch (const std::exception& error) {
        endProgressLine();
        err << "sync failed: " << error.what() << "\n";
        return EXIT_CODE_FAILURE;
    }
}

} // namespace publish
