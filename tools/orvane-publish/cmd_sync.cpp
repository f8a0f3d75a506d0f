// orvane-publish sync: brings a folder to a published build with the launcher's own installation
// run (scan, delete, download, verification), recording the result in the same marker files the
// launcher keeps in a package directory.
#include "commands.h"

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
#include <QTextStream>
#include <QTimer>
#include <QUrl>

#include <map>
#include <memory>
#include <stdexcept>

using namespace quarn::launcher;

namespace publish {

namespace {

struct TSyncOptions {
    QUrl packageUrl;
    QUrl assetsUrl;
    QString directory;
    bool fastScan = false;
    bool verify = false;
    // Cap on the total download rate in bytes per second; 0 for none.
    qint64 limitRate = 0;
};

QUrl documentBaseUrl(const QUrl& documentUrl) {
    return documentUrl.adjusted(QUrl::RemoveFilename | QUrl::RemoveQuery | QUrl::RemoveFragment);
}

// Fetches the documents with a download pool; returns false with a reason on failure.
bool fetchDocuments(const QList<QUrl>& urls, std::map<QUrl, QByteArray>& documents, QString& failure) {
    auto manager =
        std::make_shared<shared::QNetworkAccessManagerWrapper>(std::make_shared<QNetworkAccessManager>());
    shared::TDownloadPool pool(6, manager, nullptr, true);
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
                         QCoreApplication::exit(1);
                     });
    // Submitted from within the event loop: the pool reports a URL it refuses at once, and an exit
    // requested before the loop runs would be lost.
    QTimer::singleShot(0, &pool, [&pool, &distinct] {
        for (const QUrl& url : distinct)
            pool.Submit(url);
    });
    return QCoreApplication::exec() == 0;
}

const char* errorName(EPackageDownloaderError error) {
    switch (error) {
    case PACKAGE_DOWNLOADER_ERROR_NONE:
        return "none";
    case PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED:
        return "a download failed";
    case PACKAGE_DOWNLOADER_ERROR_SAVING_FAILED:
        return "a file could not be written";
    case PACKAGE_DOWNLOADER_ERROR_VERIFICATION_FAILED:
        return "verification failed";
    }
    return "unknown error";
}

int usage(QTextStream& err) {
    err << "usage: orvane-publish sync --package URL [--assets URL] --dir DIR [--fast-scan] [--verify] "
           "[--verbose] [--limit-rate BYTES_PER_SECOND]\n";
    return 2;
}

// The engine logs every step; the command shows its warnings and, with --verbose, everything.
bool verboseOutput = false;
void printMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (verboseOutput || type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg)
        QTextStream(stderr) << message << "\n";
}

} // namespace

int runSync(const QStringList& arguments) {
    QTextStream out(stdout);
    QTextStream err(stderr);
    TSyncOptions options;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == QLatin1String("--package") && hasValue)
            options.packageUrl = QUrl(arguments[++i]);
        else if (argument == QLatin1String("--assets") && hasValue)
            options.assetsUrl = QUrl(arguments[++i]);
        else if (argument == QLatin1String("--dir") && hasValue)
            options.directory = arguments[++i];
        else if (argument == QLatin1String("--fast-scan"))
            options.fastScan = true;
        else if (argument == QLatin1String("--verify"))
            options.verify = true;
        else if (argument == QLatin1String("--verbose"))
            verboseOutput = true;
        else if (argument == QLatin1String("--limit-rate") && hasValue) {
            bool ok = false;
            options.limitRate = arguments[++i].toLongLong(&ok);
            if (!ok || options.limitRate < 0)
                return usage(err);
        } else
            return usage(err);
    }
    if (!options.packageUrl.isValid() || options.packageUrl.isRelative() || options.directory.isEmpty() ||
        (!options.assetsUrl.isEmpty() && (!options.assetsUrl.isValid() || options.assetsUrl.isRelative())))
        return usage(err);

    qInstallMessageHandler(printMessage);
    try {
        QList<QUrl> urls{options.packageUrl};
        if (!options.assetsUrl.isEmpty())
            urls.append(options.assetsUrl);
        std::map<QUrl, QByteArray> documents;
        QString failure;
        if (!fetchDocuments(urls, documents, failure)) {
            err << "sync failed: " << failure << "\n";
            return 1;
        }
        const QByteArray packageJson = documents[options.packageUrl];
        const QByteArray assetJson =
            options.assetsUrl.isEmpty() ? QByteArray() : documents[options.assetsUrl];
        const TPackageConfigurationReader server(packageJson, assetJson, documentBaseUrl(options.packageUrl),
                                                 documentBaseUrl(options.assetsUrl));
        if (!server.initializedSuccessfully()) {
            err << "sync failed: the package documents are not valid (see the messages above)\n";
            return 1;
        }
        const QString problem =
            TPackageDocumentCheck::findProblem(server, TPackageDocumentCheck::defaultReservedNames(), true);
        if (!problem.isEmpty()) {
            err << "sync failed: " << problem << "\n";
            return 1;
        }

        auto helper = std::make_shared<TLauncherFilesystemHelper>();
        QDir().mkpath(options.directory);
        const QDir directory(QFileInfo(options.directory).absoluteFilePath());
        TPackageInstallation run(nullptr, helper);
        run.setInstallationBaseDirectory(directory);
        run.downloadPool()->setRateLimit(options.limitRate);
        // The markers are read and written only while this run holds the folder.
        if (!run.lockInstallationFolder()) {
            err << "sync failed: " << run.folderLockError() << "\n";
            return 1;
        }
        const TPackageMarkerFiles markers(*helper, directory);
        // Only a completely installed build describes the disk well enough for the fast scan.
        const bool fastScan = options.fastScan && markers.hasFullMarker();
        if (options.fastScan && !fastScan)
            out << "no complete installation recorded: scanning every file\n";
        const TPackageConfigurationReader local = markers.localConfiguration();
        markers.markPartiallyInstalled(packageJson, assetJson);

        int exitCode = 1;
        const auto fail = [&err](const QString& reason) {
            err << "sync failed: " << reason << "\n";
            QCoreApplication::exit(1);
        };
        // One progress line a second at most, and always the last one of a phase.
        QElapsedTimer sinceLastLine;
        sinceLastLine.start();
        const auto progressLine = [&](const QString& line, bool phaseDone) {
            if (sinceLastLine.elapsed() < 1000 && !phaseDone)
                return;
            sinceLastLine.restart();
            out << line << "\n";
            out.flush();
        };
        const auto report = [&](const char* phase, TFileSize done, TFileSize total) {
            progressLine(QStringLiteral("%1 %2 / %3 bytes").arg(QLatin1String(phase)).arg(done).arg(total),
                         done == total);
        };
        QObject::connect(&run, &TPackageInstallation::scanProgress,
                         [&](TFileSize done, TFileSize total) { report("scanned", done, total); });
        QObject::connect(&run, &TPackageInstallation::verificationProgress,
                         [&](TFileSize done, TFileSize total) { report("verified", done, total); });
        QObject::connect(
            run.downloader(), &TPackageFileDownloader::progress,
            [&](TFileSize downloaded, TFileSize toDownload, TFileSize written, TFileSize toWrite) {
                progressLine(QStringLiteral("downloaded %1 / %2 bytes, written %3 / %4 bytes")
                                 .arg(downloaded)
                                 .arg(toDownload)
                                 .arg(written)
                                 .arg(toWrite),
                             false);
            });
        QObject::connect(&run, &TPackageInstallation::diskAccessFailed, fail);
        QObject::connect(&run, &TPackageInstallation::downloadFinished, [&] {
            if (!run.isInstalledWithoutError()) {
                // The run's own reason when it has one (for example too little free space).
                fail(run.installationErrorMessage().isEmpty()
                         ? QString::fromLatin1(errorName(run.installationErrorReason()))
                         : run.installationErrorMessage());
                return;
            }
            try {
                markers.updatePartiallyInstalled(packageJson, assetJson);
                run.verify(markers.localConfiguration(), options.verify);
            } catch (const std::runtime_error& error) {
                fail(QString::fromUtf8(error.what()));
            }
        });
        QObject::connect(&run, &TPackageInstallation::verificationFinished, [&] {
            if (!run.isInstalledWithoutError()) {
                fail(QString::fromLatin1(errorName(run.installationErrorReason())));
                return;
            }
            try {
                markers.markFullyInstalled(packageJson, assetJson);
                exitCode = 0;
                QCoreApplication::exit(0);
            } catch (const std::runtime_error& error) {
                fail(QString::fromUtf8(error.what()));
            }
        });
        run.startScan(local, server, fastScan);
        QCoreApplication::exec();
        out << "fetched " << run.downloader()->downloadSizeInBytes() << " bytes\n";
        return exitCode;
    } catch (const std::exception& error) {
        err << "sync failed: " << error.what() << "\n";
        return 1;
    }
}

} // namespace publish
