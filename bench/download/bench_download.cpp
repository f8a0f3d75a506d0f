// Download benchmark: publishes a package of 8 MiB chunks on a private nginx on 127.0.0.1 and
// downloads it into an empty folder with the package file downloader, (a) as plain chunks and
// (b) as LZMA containers (codec 5), next to curl fetching the same chunk files in parallel (the
// plain-download floor) and to a single-threaded liblzma decode of the containers.
//
//   bench_download [--size-mib N] [--chunk-mib N] [--work DIR] [--keep yes]
//
// --keep yes leaves the work folder in place. SIGINT/SIGTERM stop nginx and the running child,
// remove the work folder and end with 130/143.
//
// Every measured run is a child process, so wall time, CPU time and peak resident memory are
// its own (wait4). Prints one table.
#include "benchcommandline.h"
#include "containerwriter.h"
#include "nginxfixture.h"

#include "launcher/download/packagefiledownloader.h"
#include "shared/compressionhelper.h"
#include "shared/memorytuning.h"
#include "shared/sha256.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtConcurrent>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

using namespace quarn::launcher;

namespace {

constexpr const char* USAGE =
    "usage: bench_download [--size-mib N] [--chunk-mib N] [--work DIR] [--keep yes]\n"
    "  --size-mib N   package size in MiB (default 1024)\n"
    "  --chunk-mib N  chunk size in MiB (default 8)\n"
    "  --work DIR     create the temporary work folder inside DIR (default: the temporary folder)\n"
    "  --keep yes     keep the work folder afterwards\n"
    "  -h, --help     show this help\n"
    "Interrupted by SIGINT/SIGTERM it stops its nginx, removes its work folder (unless --keep yes) and exits "
    "130/143.\n";

struct TChunkRecord {
    QString name;
    quint64 packedSize = 0;
    QByteArray packedHash;
    quint64 unpackedSize = 0;
    QByteArray unpackedHash;
};

constexpr int FILES_IN_PACKAGE = 8;

// Asset-like content: mostly text from a small vocabulary, every fourth 4 KiB block random, so
// that LZMA has real work and gets roughly 3:1.
QByteArray makeChunk(int index, int size) {
    static const char* const WORDS[] = {"texture", "mesh",  "vertex", "shader", "sound",  "level",
                                        "npc",     "quest", "item",   "sword",  "shield", "armor",
                                        "potion",  "gold",  "map",    "tile"};
    QByteArray bytes;
    bytes.reserve(size);
    quint64 state = 0x9e3779b97f4a7c15ull * static_cast<quint64>(index + 1);
    auto next = [&state]() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    while (bytes.size() < size) {
        const bool random = next() % 4 == 0;
        const int blockEnd = std::min(size, bytes.size() + 4096);
        while (bytes.size() < blockEnd) {
            if (random) {
                bytes.append(static_cast<char>(next()));
            } else {
                bytes.append(WORDS[next() % 16]);
                bytes.append(next() % 8 == 0 ? '\n' : ' ');
            }
        }
        bytes.truncate(blockEnd);
    }
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QString manifestPath(const QString& work, const QString& kind) {
    return work + "/" + kind + ".manifest";
}

void writeManifest(const QString& path, const std::vector<TChunkRecord>& records) {
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    for (const TChunkRecord& record : records) {
        file.write(record.name.toUtf8() + ' ' + QByteArray::number(record.packedSize) + ' ' +
                   record.packedHash.toHex() + ' ' + QByteArray::number(record.unpackedSize) + ' ' +
                   record.unpackedHash.toHex() + '\n');
    }
}

std::vector<TChunkRecord> readManifest(const QString& path) {
    std::vector<TChunkRecord> records;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return records;
    }
    while (!file.atEnd()) {
        const QList<QByteArray> parts = file.readLine().trimmed().split(' ');
        if (parts.size() != 5) {
            continue;
        }
        records.push_back({QString::fromUtf8(parts[0]), parts[1].toULongLong(), QByteArray::fromHex(parts[2]),
                           parts[3].toULongLong(), QByteArray::fromHex(parts[4])});
    }
    return records;
}

void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
    }
}

// Child: download one package kind into an empty folder with the package file downloader.
int runDownloader(const QString& work, const QString& kind, const QString& baseUrl, const QString& outDir) {
    qInstallMessageHandler(quietMessages);
    const std::vector<TChunkRecord> records = readManifest(manifestPath(work, kind));
    if (records.empty()) {
        return 3;
    }
    auto helper = std::make_shared<TLauncherFilesystemHelper>();
    auto manager =
        std::make_shared<shared::QNetworkAccessManagerWrapper>(std::make_shared<QNetworkAccessManager>());
    auto pool = std::make_shared<shared::TDownloadPool>(helper->launcherSettings()->maxConcurrentDownloads(),
                                                        manager, nullptr, false);
    TPackageFileDownloader downloader(pool, helper);
    downloader.setDownloadDirectory(QDir(outDir));

    TChunkInPackageVector chunks;
    for (const TChunkRecord& record : records) {
        chunks.push_back(TChunkInPackage(
            QUrl(baseUrl + kind + "/" + record.name), TFileMetadata(record.packedSize, record.packedHash),
            TFileMetadata(record.unpackedSize, record.unpackedHash), kind != "raw"));
    }
    TFileToDownloadVector files;
    const size_t perFile = (chunks.size() + FILES_IN_PACKAGE - 1) / FILES_IN_PACKAGE;
    for (size_t first = 0; first < chunks.size(); first += perFile) {
        std::vector<int> indices;
        for (size_t index = first; index < std::min(chunks.size(), first + perFile); ++index) {
            indices.push_back(static_cast<int>(index));
        }
        const TFileInPackage file(QStringLiteral("data/file%1.pak").arg(first / perFile), TFileMetadata(),
                                  false, indices, TChunkInPackage());
        TFileToDownload item{TChunkedFileInPackage(file, chunks)};
        for (size_t index = 0; index < indices.size(); ++index) {
            item.addChunk(static_cast<int>(index));
        }
        files.push_back(item);
    }
    downloader.submitFiles(files);
    int result = 1;
    QObject::connect(&downloader, &TPackageFileDownloader::downloadCompleted, [&result]() {
        result = 0;
        QCoreApplication::quit();
    });
    QObject::connect(&downloader, &TPackageFileDownloader::downloadFailed,
                     [](EPackageDownloaderError) { QCoreApplication::quit(); });
    downloader.startDownload();
    QCoreApplication::exec();
    return result;
}

// Child: fetch every plain chunk through the download pool alone and drop the bytes: the floor
// that Qt's network stack sets for the downloader.
int runPoolOnly(const QString& work, const QString& baseUrl) {
    const std::vector<TChunkRecord> records = readManifest(manifestPath(work, "raw"));
    auto manager =
        std::make_shared<shared::QNetworkAccessManagerWrapper>(std::make_shared<QNetworkAccessManager>());
    shared::TDownloadPool pool(10, manager, nullptr, true);
    size_t reported = 0;
    bool ok = true;
    auto done = [&]() {
        if (++reported == records.size()) {
            QCoreApplication::quit();
        }
    };
    QObject::connect(&pool, &shared::TDownloadPool::success, [&](const QUrl&, const QByteArray&) { done(); });
    QObject::connect(&pool, &shared::TDownloadPool::failed,
                     [&](const QUrl&, QNetworkReply::NetworkError, const QString&) {
                         ok = false;
                         done();
                     });
    for (const TChunkRecord& record : records) {
        pool.Submit(QUrl(baseUrl + "raw/" + record.name));
    }
    QCoreApplication::exec();
    return ok ? 0 : 1;
}

// Child: decode every container of the package on one thread with liblzma; prints MB/s of output.
int runDecode(const QString& work) {
    const std::vector<TChunkRecord> records = readManifest(manifestPath(work, "lzma"));
    std::vector<QByteArray> containers;
    for (const TChunkRecord& record : records) {
        QFile file(work + "/www/lzma/" + record.name);
        if (!file.open(QIODevice::ReadOnly)) {
            return 3;
        }
        containers.push_back(file.readAll());
    }
    QElapsedTimer timer;
    timer.start();
    quint64 produced = 0;
    for (const QByteArray& container : containers) {
        produced += static_cast<quint64>(
            shared::TCompressionHelper::DecompressLZMAByteArrayWithExceptionOnError(container).size());
    }
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    std::printf("%.6f %llu\n", seconds, static_cast<unsigned long long>(produced));
    return 0;
}

struct TMeasurement {
    bool ok = false;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    double peakMiB = 0;
    QByteArray output;
};

TMeasurement measure(const QStringList& command) {
    TMeasurement result;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return result;
    }
    std::vector<QByteArray> storage;
    for (const QString& argument : command) {
        storage.push_back(argument.toLocal8Bit());
    }
    std::vector<char*> argv;
    for (QByteArray& argument : storage) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    QElapsedTimer timer;
    timer.start();
    auto held = benchcli::holdInterruptions();
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    benchcli::watchProcess(pid);
    held.unlock();
    close(pipeFds[1]);
    char buffer[4096];
    ssize_t count;
    while ((count = read(pipeFds[0], buffer, sizeof(buffer))) > 0) {
        result.output.append(buffer, static_cast<int>(count));
    }
    close(pipeFds[0]);
    int status = 0;
    struct rusage usage {};
    const pid_t waited = wait4(pid, &status, 0, &usage);
    benchcli::forgetProcess(pid);
    if (waited != pid) {
        return result;
    }
    result.wallSeconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    result.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    result.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

quint64 folderSize(const QString& path) {
    quint64 total = 0;
    QDirIterator it(path, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += static_cast<quint64>(it.fileInfo().size());
    }
    return total;
}

} // namespace

int main(int argc, char* argv[]) {
    shared::keepLargeAllocationsOnTheHeap();
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 6 && arguments.at(1) == "--download") {
        return runDownloader(arguments.at(2), arguments.at(3), arguments.at(4), arguments.at(5));
    }
    if (arguments.size() == 4 && arguments.at(1) == "--pool-only") {
        return runPoolOnly(arguments.at(2), arguments.at(3));
    }
    if (arguments.size() == 3 && arguments.at(1) == "--decode") {
        return runDecode(arguments.at(2));
    }
    benchcli::handleInterruptions();
    int sizeMiB = 1024;
    int chunkMiB = 8;
    QString workRoot;
    bool keep = false;
    for (int index = 1; index < arguments.size(); ++index) {
        const QString& argument = arguments.at(index);
        if (argument == "-h" || argument == "--help") {
            benchcli::printUsage(USAGE);
        }
        const bool known = argument == "--size-mib" || argument == "--chunk-mib" || argument == "--work" ||
                           argument == "--keep";
        if (!known) {
            benchcli::usageError("bench_download", QStringLiteral("unknown argument '%1'").arg(argument),
                                 USAGE);
        }
        if (index + 1 >= arguments.size()) {
            benchcli::usageError("bench_download", QStringLiteral("%1 needs a value").arg(argument), USAGE);
        }
        const QString value = arguments.at(++index);
        bool number = true;
        if (argument == "--size-mib") {
            sizeMiB = value.toInt(&number);
        } else if (argument == "--chunk-mib") {
            chunkMiB = value.toInt(&number);
        } else if (argument == "--work") {
            workRoot = value;
        } else {
            keep = value == "yes";
        }
        if (!number) {
            benchcli::usageError("bench_download",
                                 QStringLiteral("%1: not a number '%2'").arg(argument, value), USAGE);
        }
    }
    if (sizeMiB <= 0 || chunkMiB <= 0) {
        benchcli::usageError("bench_download", QStringLiteral("sizes must be positive"), USAGE);
    }
    QTextStream out(stdout);
    QTemporaryDir temporary(workRoot.isEmpty() ? QDir::tempPath() + "/bench_download-XXXXXX"
                                               : workRoot + "/bench_download-XXXXXX");
    if (!temporary.isValid()) {
        std::fprintf(stderr, "bench_download: cannot create a work folder: %s\n",
                     qPrintable(temporary.errorString()));
        return 1;
    }
    if (!keep) {
        benchcli::removeOnInterrupt(temporary.path());
    }
    temporary.setAutoRemove(!keep);
    const QString work = temporary.path();
    QDir().mkpath(work + "/www/raw");
    QDir().mkpath(work + "/www/lzma");

    // Publish: plain chunks and codec 5 containers (encoded with a fast preset so that setting
    // up stays short; decoding speed hardly depends on the preset).
    const int chunkCount = std::max(1, sizeMiB / chunkMiB);
    const int chunkSize = chunkMiB * 1024 * 1024;
    out << "publishing " << chunkCount << " chunks of " << chunkMiB << " MiB ..." << Qt::endl;
    std::vector<TChunkRecord> raw(static_cast<size_t>(chunkCount));
    std::vector<TChunkRecord> lzma(static_cast<size_t>(chunkCount));
    std::vector<int> indices(static_cast<size_t>(chunkCount));
    std::iota(indices.begin(), indices.end(), 0);
    QtConcurrent::blockingMap(indices, [&](int index) {
        const QByteArray content = makeChunk(index, chunkSize);
        const QByteArray hash = shared::TSha256::hash(content);
        const QString name = QStringLiteral("c%1.bin").arg(index, 4, 10, QLatin1Char('0'));
        writeFile(work + "/www/raw/" + name, content);
        raw[static_cast<size_t>(index)] = {name, quint64(content.size()), hash, quint64(content.size()),
                                           hash};
        QByteArray container;
        QString error;
        publish::writeContainer(5, content, container, error, 1);
        const QString packedName = QStringLiteral("c%1.p5").arg(index, 4, 10, QLatin1Char('0'));
        writeFile(work + "/www/lzma/" + packedName, container);
        lzma[static_cast<size_t>(index)] = {packedName, quint64(container.size()),
                                            shared::TSha256::hash(container), quint64(content.size()), hash};
    });
    writeManifest(manifestPath(work, "raw"), raw);
    writeManifest(manifestPath(work, "lzma"), lzma);
    quint64 packedTotal = 0;
    for (const TChunkRecord& record : lzma) {
        packedTotal += record.packedSize;
    }
    const quint64 total = quint64(chunkCount) * quint64(chunkSize);

    TNginxFixture nginx(work + "/www");
    benchcli::removeOnInterrupt(nginx.prefixPath());
    {
        const auto held = benchcli::holdInterruptions();
        if (!nginx.start()) {
            out << "nginx: " << nginx.errorText() << Qt::endl;
            return 1;
        }
        benchcli::watchProcess(nginx.processId());
    }
    const QString base = nginx.baseUrl().toString();
    const QString self = QCoreApplication::applicationFilePath();

    struct TRow {
        QString name;
        quint64 bytes;
        TMeasurement m;
    };
    std::vector<TRow> rows;
    auto curlRun = [&](const QString& kind, const std::vector<TChunkRecord>& records) {
        const QString target = work + "/out-curl-" + kind;
        QDir().mkpath(target);
        QStringList command{"curl",     "--parallel",   "--parallel-max", "10",
                            "--silent", "--show-error", "--fail"};
        for (const TChunkRecord& record : records) {
            command << "-o" << target + "/" + record.name << base + kind + "/" + record.name;
        }
        TMeasurement m = measure(command);
        m.ok = m.ok && folderSize(target) == (kind == "raw" ? total : packedTotal);
        QDir(target).removeRecursively();
        return m;
    };
    auto downloaderRun = [&](const QString& kind) {
        const QString target = work + "/out-launcher-" + kind;
        QDir().mkpath(target);
        TMeasurement m = measure({self, "--download", work, kind, base, target});
        m.ok = m.ok && folderSize(target) == total;
        QDir(target).removeRecursively();
        return m;
    };
    out << "running ..." << Qt::endl;
    rows.push_back({"curl --parallel-max 10, plain chunks", total, curlRun("raw", raw)});
    rows.push_back({"download pool only, bytes dropped", total, measure({self, "--pool-only", work, base})});
    rows.push_back({"(a) downloader, plain chunks", total, downloaderRun("raw")});
    rows.push_back({"curl --parallel-max 10, codec 5 files", packedTotal, curlRun("lzma", lzma)});
    rows.push_back({"(b) downloader, codec 5 chunks", total, downloaderRun("lzma")});
    TMeasurement decode = measure({self, "--decode", work});
    const QList<QByteArray> decodeOutput = decode.output.trimmed().split(' ');
    if (decodeOutput.size() == 2) {
        // Report the decoding alone (the child also reads the files first).
        decode.wallSeconds = decodeOutput[0].toDouble();
    }
    rows.push_back({"liblzma decode, 1 thread (in memory)", total, decode});

    out << Qt::endl
        << QStringLiteral(
               "package: %1 MiB in %2 chunks of %3 MiB, codec 5 total %4 MiB; nginx on 127.0.0.1; %5 cores")
               .arg(total >> 20)
               .arg(chunkCount)
               .arg(chunkMiB)
               .arg(packedTotal >> 20)
               .arg(QThread::idealThreadCount())
        << Qt::endl;
    out << QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 |")
               .arg("run", -40)
               .arg("MB/s", 8)
               .arg("wall s", 7)
               .arg("CPU s", 7)
               .arg("peak RSS MiB", 12)
               .arg("ok", 3)
        << Qt::endl;
    out << "|" << QString(42, '-') << "|" << QString(10, '-') << "|" << QString(9, '-') << "|"
        << QString(9, '-') << "|" << QString(14, '-') << "|" << QString(5, '-') << "|" << Qt::endl;
    for (const TRow& row : rows) {
        out << QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 |")
                   .arg(row.name, -40)
                   .arg(double(row.bytes) / 1e6 / std::max(row.m.wallSeconds, 1e-9), 8, 'f', 1)
                   .arg(row.m.wallSeconds, 7, 'f', 2)
                   .arg(row.m.cpuSeconds, 7, 'f', 2)
                   .arg(row.m.peakMiB, 12, 'f', 1)
                   .arg(row.m.ok ? "yes" : "NO", 3)
            << Qt::endl;
    }
    out << "MB/s: unpacked bytes written (curl: bytes fetched) per wall second; the downloader verifies "
           "every "
           "chunk's SHA-256 and writes it in place."
        << Qt::endl;
    if (rows[0].m.wallSeconds > 0) {
        out << QStringLiteral("(a) / curl wall time: %1x")
                   .arg(rows[2].m.wallSeconds / rows[0].m.wallSeconds, 0, 'f', 2)
            << Qt::endl;
    }
    bool allOk = true;
    for (const TRow& row : rows) {
        allOk = allOk && row.m.ok;
    }
    return allOk ? 0 : 1;
}
