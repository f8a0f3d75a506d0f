// Throughput of the scan's building blocks on one thread, over a file that sits in the page cache:
// plain reading, content-defined chunking, SHA-256 through the shared helper (libcrypto) and
// SHA-256 through Qt's portable implementation for comparison.
//
// usage: bench_chunking [SIZE_MIB] [FILE]   (default 1024 MiB in the temporary folder)
// The file is written by the program and removed at the end, also on SIGINT/SIGTERM (exit 130/143).
#include "benchcommandline.h"
#include "launcher/installation/chunking.h"
#include "shared/sha256.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace {

constexpr const char* USAGE =
    "usage: bench_chunking [SIZE_MIB] [FILE]\n"
    "  SIZE_MIB    size of the test file in MiB (default 1024)\n"
    "  FILE        where to write the test file (default: orvane-bench-chunking.bin in the\n"
    "              temporary folder); it is overwritten and removed at the end\n"
    "  -h, --help  show this help\n"
    "Interrupted by SIGINT/SIGTERM it removes the test file and exits 130/143.\n";

constexpr int REPETITIONS = 3;
constexpr qint64 HASH_BLOCK = 10 * 1024 * 1024; // the block size of the verification

bool writeTestFile(const QString& path, qint64 size) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    QByteArray block(8 * 1024 * 1024, Qt::Uninitialized);
    quint64 state = 0x4F7276616E65;
    for (qint64 written = 0; written < size; written += block.size()) {
        auto* words = reinterpret_cast<quint64*>(block.data());
        for (size_t i = 0; i < size_t(block.size()) / 8; ++i) {
            state += 0x9E3779B97F4A7C15ULL;
            quint64 z = state;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
            words[i] = z ^ (z >> 31);
        }
        const qint64 part = std::min<qint64>(block.size(), size - written);
        if (file.write(block.constData(), part) != part) {
            return false;
        }
    }
    return true;
}

// Reads the file in blocks of blockSize bytes and hands each block to consume.
quint64 readFile(const std::string& path, qint64 blockSize,
                 const std::function<void(const char*, qint64)>& consume) {
    // One buffer per block size for the whole program, as the chunker keeps its own: no run pays for
    // allocating and faulting in fresh pages.
    static std::map<qint64, std::unique_ptr<char[]>> buffers;
    std::unique_ptr<char[]>& buffer = buffers[blockSize];
    if (!buffer) {
        buffer.reset(new char[size_t(blockSize)]);
    }
    std::ifstream in(path, std::ios::binary);
    quint64 total = 0;
    while (in) {
        in.read(buffer.get(), blockSize);
        const qint64 got = in.gcount();
        if (got <= 0) {
            break;
        }
        consume(buffer.get(), got);
        total += quint64(got);
    }
    return total;
}

struct TThroughput {
    double wall = 0; // MB/s (10^6 bytes per second) of elapsed time
    double cpu = 0;  // MB/s of this thread's processor time (user and system), steadier on a busy machine
};

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// The best of REPETITIONS runs.
TThroughput bestThroughput(const std::function<quint64()>& run) {
    TThroughput best;
    for (int i = 0; i < REPETITIONS; ++i) {
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = threadCpuSeconds();
        const quint64 bytes = run();
        const double cpuSeconds = threadCpuSeconds() - cpuStart;
        const double wallSeconds = double(timer.nsecsElapsed()) / 1e9;
        best.wall = std::max(best.wall, double(bytes) / 1e6 / wallSeconds);
        best.cpu = std::max(best.cpu, double(bytes) / 1e6 / cpuSeconds);
    }
    return best;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    benchcli::handleInterruptions();
    QStringList positional;
    for (const QString& argument : QCoreApplication::arguments().mid(1)) {
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            benchcli::printUsage(USAGE);
        }
        if (argument.startsWith(QLatin1Char('-')) || positional.size() == 2) {
            benchcli::usageError("bench_chunking", QStringLiteral("unknown argument '%1'").arg(argument),
                                 USAGE);
        }
        positional << argument;
    }
    bool number = true;
    const qint64 sizeMiB = positional.size() > 0 ? positional[0].toLongLong(&number) : 1024;
    if (!number || sizeMiB <= 0) {
        benchcli::usageError("bench_chunking",
                             QStringLiteral("SIZE_MIB: not a positive number '%1'").arg(positional[0]),
                             USAGE);
    }
    const QString path =
        positional.size() > 1 ? positional[1] : QDir::temp().filePath("orvane-bench-chunking.bin");
    benchcli::removeOnInterrupt(path);
    if (!writeTestFile(path, sizeMiB * 1024 * 1024)) {
        QFile::remove(path);
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    const std::string file = QFile::encodeName(path).toStdString();
    const qint64 readBlock = qint64(16 * quarn::launcher::DEFAULT_CHUNK_AVERAGE); // the chunker's reads
    readFile(file, readBlock, [](const char*, qint64) {});                        // into the page cache

    const TThroughput read =
        bestThroughput([&] { return readFile(file, readBlock, [](const char*, qint64) {}); });
    quint64 chunks = 0;
    const TThroughput chunking = bestThroughput([&] {
        quint64 total = 0;
        chunks = 0;
        quarn::launcher::splitIntoChunks(quarn::launcher::DEFAULT_CHUNK_AVERAGE, file,
                                         [&](const char*, quint64 length) {
                                             total += length;
                                             ++chunks;
                                         });
        return total;
    });
    const TThroughput helper = bestThroughput([&] {
        shared::TSha256 sha;
        const quint64 total =
            readFile(file, HASH_BLOCK, [&](const char* data, qint64 size) { sha.addData(data, size); });
        sha.result();
        return total;
    });
    const TThroughput portable = bestThroughput([&] {
        QCryptographicHash sha(QCryptographicHash::Sha256);
        const quint64 total =
            readFile(file, HASH_BLOCK, [&](const char* data, qint64 size) { sha.addData(data, int(size)); });
        sha.result();
        return total;
    });
    QFile::remove(path);

    std::printf(
        "file: %lld MiB in the page cache, one thread, best of %d runs; %llu chunks at average %llu\n",
        static_cast<long long>(sizeMiB), REPETITIONS, static_cast<unsigned long long>(chunks),
        static_cast<unsigned long long>(quarn::launcher::DEFAULT_CHUNK_AVERAGE));
    std::printf("| %-40s | %10s | %10s | %16s |\n", "operation", "MB/s wall", "MB/s CPU", "read only / this");
    std::printf("|%s|%s|%s|%s|\n", std::string(42, '-').c_str(), std::string(12, '-').c_str(),
                std::string(12, '-').c_str(), std::string(18, '-').c_str());
    const auto row = [&](const char* name, const TThroughput& value) {
        std::printf("| %-40s | %10.0f | %10.0f | %15.2fx |\n", name, value.wall, value.cpu,
                    read.cpu / value.cpu);
    };
    row("read only (128 MiB reads)", read);
    row("splitIntoChunks (read + cut)", chunking);
    row("SHA-256, helper (libcrypto)", helper);
    row("SHA-256, portable (QCryptographicHash)", portable);
    std::printf("helper vs. portable SHA-256: %.2fx faster (CPU time)\n", helper.cpu / portable.cpu);
    return 0;
}
