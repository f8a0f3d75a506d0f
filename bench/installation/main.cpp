// Installation benchmark: a package of about 2 GiB (a few large files, many small ones) is
// published with the packager, served by nginx on 127.0.0.1, installed into an empty folder,
// updated after 1% of its bytes changed, scanned (full and fast) and verified. Verification is
// shown next to sha256sum and cat over the same files, measured in the same run.
//
//   bench_installation [WORK_DIR] [--size-mib N]
//
// WORK_DIR must not exist or be empty; only what the program creates in it is removed at the
// end. SIGINT/SIGTERM stop nginx, remove that data and end with 130/143.
#include "benchcommandline.h"
#include "installationsupport.h"
#include "launcher/installation/packageinstallation.h"
#include "nginxfixture.h"
#include "packager.h"
#include "shared/memorytuning.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>

#include <cstdio>
#include <set>

using namespace quarn::launcher;
using namespace testsupport;

namespace {

constexpr qint64 MiB = 1024 * 1024;

constexpr const char* USAGE =
    "usage: bench_installation [WORK_DIR] [--size-mib N]\n"
    "  WORK_DIR       folder for the generated build, the server files and the installation;\n"
    "                 must not exist or be empty (default: a temporary folder)\n"
    "  --size-mib N   package size in MiB (default 2048)\n"
    "  -h, --help     show this help\n"
    "Only what the program creates is removed at the end; interrupted by SIGINT/SIGTERM it stops\n"
    "its nginx, removes that data and exits 130/143.\n";

QTextStream out(stdout);

struct TRow {
    QString what;
    double seconds = 0;
    double bytes = 0;
    QString note;
};
std::vector<TRow> rows;

void addRow(const QString& what, double seconds, double bytes, const QString& note = QString()) {
    rows.push_back({what, seconds, bytes, note});
    out << what << ": " << QString::number(seconds, 'f', 2) << " s" << Qt::endl;
}

double seconds(const QElapsedTimer& timer) {
    return double(timer.nsecsElapsed()) / 1e9;
}

long peakResidentMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

// Fills a file with reproducible incompressible bytes.
void writeRandomFile(const QString& path, qint64 size, quint64 seed) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    QByteArray block(int(4 * MiB), Qt::Uninitialized);
    quint64 state = seed;
    for (qint64 written = 0; written < size; written += block.size()) {
        auto* words = reinterpret_cast<quint64*>(block.data());
        for (int i = 0; i < block.size() / 8; ++i) {
            state += 0x9E3779B97F4A7C15ULL;
            quint64 z = state;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
            words[i] = z ^ (z >> 31);
        }
        file.write(block.constData(), std::min<qint64>(block.size(), size - written));
    }
}

void overwriteRegion(const QString& path, qint64 offset, qint64 size, quint64 seed) {
    QFile file(path);
    file.open(QIODevice::ReadWrite);
    file.seek(offset);
    QByteArray bytes(int(size), Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        bytes[i] = char(seed >> 56);
    }
    file.write(bytes);
}

publish::TPublishResult publishBuild(const QString& source, const QString& output, const QString& document,
                                     const QString& version) {
    publish::TPublishOptions options;
    options.sourceDirectory = source;
    options.outputDirectory = output;
    options.packageDocumentName = document;
    options.version = version;
    options.plain = true;
    return publish::publishPackage(options);
}

TPackageConfigurationReader readBuild(const QString& documentPath, const QUrl& base) {
    QFile file(documentPath);
    file.open(QIODevice::ReadOnly);
    return TPackageConfigurationReader(file.readAll(), QByteArray(), base, base);
}

bool runInstallation(const std::shared_ptr<TLauncherFilesystemHelper>& helper, const QDir& directory,
                     const TPackageConfigurationReader& local, const TPackageConfigurationReader& server,
                     TFileSize& fetched) {
    TPackageInstallation run(nullptr, helper);
    run.setInstallationBaseDirectory(directory);
    QSignalSpy finished(&run, &TPackageInstallation::downloadFinished);
    QSignalSpy failed(&run, &TPackageInstallation::diskAccessFailed);
    run.startScan(local, server, false);
    while (finished.isEmpty() && failed.isEmpty())
        finished.wait(1000);
    fetched = run.downloader()->downloadSizeInBytes();
    return !finished.isEmpty() && run.isInstalledWithoutError();
}

double timeCommand(const QString& program, const QStringList& arguments, const QString& standardOutput) {
    QProcess process;
    if (!standardOutput.isEmpty())
        process.setStandardOutputFile(standardOutput);
    QElapsedTimer timer;
    timer.start();
    auto held = benchcli::holdInterruptions();
    process.start(program, arguments);
    const qint64 pid = process.processId();
    benchcli::watchProcess(pid);
    held.unlock();
    process.waitForFinished(-1);
    benchcli::forgetProcess(pid);
    return seconds(timer);
}

} // namespace

int main(int argc, char* argv[]) {
    shared::keepLargeAllocationsOnTheHeap();
    QCoreApplication application(argc, argv);
    benchcli::handleInterruptions();
    const QStringList arguments = QCoreApplication::arguments();
    qint64 totalMiB = 2048;
    QString workArgument;
    for (int index = 1; index < arguments.size(); ++index) {
        const QString& argument = arguments[index];
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            benchcli::printUsage(USAGE);
        } else if (argument == QLatin1String("--size-mib")) {
            if (index + 1 >= arguments.size())
                benchcli::usageError("bench_installation", QStringLiteral("--size-mib needs a value"), USAGE);
            bool number = false;
            totalMiB = arguments[++index].toLongLong(&number);
            if (!number || totalMiB <= 0)
                benchcli::usageError(
                    "bench_installation",
                    QStringLiteral("--size-mib: not a positive number '%1'").arg(arguments[index]), USAGE);
        } else if (argument.startsWith(QLatin1Char('-')) || !workArgument.isEmpty()) {
            benchcli::usageError("bench_installation", QStringLiteral("unknown argument '%1'").arg(argument),
                                 USAGE);
        } else {
            workArgument = argument;
        }
    }
    // The work folder is either created here (and removed as a whole at the end) or an existing
    // empty folder, of which only the entries made here are removed.
    QTemporaryDir temporary;
    temporary.setAutoRemove(false);
    QString work = temporary.path();
    QStringList createdPaths;
    if (workArgument.isEmpty()) {
        if (!temporary.isValid()) {
            std::fprintf(stderr, "bench_installation: cannot create a temporary folder\n");
            return 1;
        }
        createdPaths << work;
    } else {
        temporary.remove();
        work = QDir(workArgument).absolutePath();
        const QFileInfo info(work);
        if (info.exists() && !info.isDir()) {
            std::fprintf(stderr, "bench_installation: %s is not a folder\n", qPrintable(work));
            return 2;
        }
        if (info.exists()) {
            if (!QDir(work).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
                std::fprintf(stderr,
                             "bench_installation: %s exists and is not empty; give a new or empty folder\n",
                             qPrintable(work));
                return 2;
            }
            for (const char* entry : {"data", "source", "published", "installation"})
                createdPaths << work + QLatin1Char('/') + QLatin1String(entry);
        } else {
            // Remove from the topmost folder that did not exist before.
            QString topmost = work;
            for (QString parent = QFileInfo(topmost).absolutePath(); !QFileInfo::exists(parent);
                 parent = QFileInfo(parent).absolutePath())
                topmost = parent;
            if (!QDir().mkpath(work)) {
                std::fprintf(stderr, "bench_installation: cannot create %s\n", qPrintable(work));
                return 1;
            }
            createdPaths << topmost;
        }
    }
    for (const QString& path : createdPaths)
        benchcli::removeOnInterrupt(path);
    const auto removeCreated = [&createdPaths]() {
        for (const QString& path : createdPaths) {
            if (QFileInfo(path).isDir())
                QDir(path).removeRecursively();
            else
                QFile::remove(path);
        }
    };
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type >= QtWarningMsg)
            std::fprintf(stderr, "%s\n", qPrintable(message));
    });
    // The launcher's data folder stays inside the work folder.
    qputenv("XDG_DATA_HOME", (work + QStringLiteral("/data")).toLocal8Bit());
    auto helper = std::make_shared<TLauncherFilesystemHelper>();

    // The build: three large files with 90% of the bytes, the rest in 1 MiB files.
    const QString source = work + QStringLiteral("/source"), published = work + QStringLiteral("/published");
    const qint64 largeSize = totalMiB * MiB * 3 / 10;
    const int smallFiles = int(totalMiB / 10);
    QStringList largeFiles;
    for (int i = 0; i < 3; ++i) {
        largeFiles << source + QStringLiteral("/data/large%1.pak").arg(i);
        writeRandomFile(largeFiles.last(), largeSize, 1000 + quint64(i));
    }
    for (int i = 0; i < smallFiles; ++i)
        writeRandomFile(source + QStringLiteral("/assets/%1/item%2.bin").arg(i % 16).arg(i), MiB,
                        5000 + quint64(i));
    const double totalBytes = double(3 * largeSize + smallFiles * MiB);

    QElapsedTimer timer;
    timer.start();
    const auto v1 = publishBuild(source, published, QStringLiteral("v1.json"), QStringLiteral("1"));
    addRow(QStringLiteral("publish v1 (packager, plain units)"), seconds(timer), totalBytes);
    if (!v1.success) {
        out << "publish failed: " << v1.error << Qt::endl;
        removeCreated();
        return 1;
    }

    TNginxFixture server(published);
    benchcli::removeOnInterrupt(server.prefixPath());
    {
        const auto held = benchcli::holdInterruptions();
        if (!server.start()) {
            out << "nginx: " << server.errorText() << Qt::endl;
            removeCreated();
            return 1;
        }
        benchcli::watchProcess(server.processId());
    }
    const TPackageConfigurationReader build1 =
        readBuild(published + QStringLiteral("/v1.json"), server.baseUrl());
    const QDir installation(work + QStringLiteral("/installation"));

    TFileSize fetched = 0;
    timer.restart();
    const bool installed =
        runInstallation(helper, installation, TPackageConfigurationReader(), build1, fetched);
    addRow(QStringLiteral("first installation into an empty folder"), seconds(timer), double(fetched),
           installed ? QString() : QStringLiteral("FAILED"));

    // 1% of the bytes change in a few places of the large files.
    const qint64 changed = qint64(totalBytes / 100);
    for (int i = 0; i < 4; ++i)
        overwriteRegion(largeFiles[i % 3], largeSize / 5 * (i + 1), changed / 4, 77 + quint64(i));
    const auto v2 = publishBuild(source, published, QStringLiteral("v2.json"), QStringLiteral("2"));
    const TPackageConfigurationReader build2 =
        readBuild(published + QStringLiteral("/v2.json"), server.baseUrl());
    const quint64 ideal = bytesInChangedUnits(build1, build2);
    timer.restart();
    const bool updated = runInstallation(helper, installation, build1, build2, fetched);
    addRow(QStringLiteral("update after 1% changed"), seconds(timer), double(fetched),
           QStringLiteral("%1 bytes fetched, %2 bytes in changed chunks, ratio %3%4")
               .arg(fetched)
               .arg(ideal)
               .arg(ideal ? double(fetched) / double(ideal) : 0.0, 0, 'f', 3)
               .arg(updated ? QString() : QStringLiteral(", FAILED")));

    for (bool fastScan : {false, true}) {
        timer.restart();
        const TPackageDifference difference =
            TPackageScanner::FindDifferencesBetweenLocalPackageAndServerPackage(installation, helper, build2,
                                                                                build2, fastScan, {});
        addRow(fastScan ? QStringLiteral("fast scan of the installation")
                        : QStringLiteral("full scan of the installation"),
               seconds(timer), totalBytes,
               QStringLiteral("%1 files to download").arg(difference.filesToDownload.size()));
    }

    QStringList files;
    for (const TFileInPackage& file : build2.containedFiles())
        files << installation.filePath(file.relativeLocalPath());
    timer.restart();
    const bool verified = TPackageScanner::VerifyPackage(installation, helper, build2.containedFiles(), {});
    addRow(QStringLiteral("verification, six workers"), seconds(timer), totalBytes,
           verified ? QString() : QStringLiteral("FAILED"));
    addRow(QStringLiteral("sha256sum over the same files"), timeCommand("sha256sum", files, "/dev/null"),
           totalBytes);
    addRow(QStringLiteral("cat of the files to /dev/null (read floor)"),
           timeCommand("cat", files, "/dev/null"), totalBytes);

    out << "\nPackage: " << QString::number(totalBytes / double(MiB), 'f', 0) << " MiB in " << files.size()
        << " files; " << QThread::idealThreadCount() << " cores; peak resident memory " << peakResidentMiB()
        << " MiB\n\n";
    out << "| step | seconds | MB/s | note |\n|---|---:|---:|---|\n";
    for (const TRow& row : rows)
        out << "| " << row.what << " | " << QString::number(row.seconds, 'f', 2) << " | "
            << QString::number(row.bytes / 1e6 / row.seconds, 'f', 0) << " | " << row.note << " |\n";
    out.flush();
    removeCreated();
    return installed && updated && verified ? 0 : 1;
}
