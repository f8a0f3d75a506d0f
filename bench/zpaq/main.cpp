// Decoding speed and peak memory of the container decoder, one container file at a time (made for
// the ZPAQ vectors, works for every codec). Each file is decoded REPETITIONS times; the table
// gives the best wall-clock time, the processor time of that run (which a machine shared with
// other work inflates less), MB/s of output (10^6 bytes per second, by wall clock and by processor
// time) and the peak resident memory of the process during the decodes. When NAME.in exists next
// to a container NAME.cN, the output is compared with it.
//
// usage: bench_zpaq CONTAINER...
// SIGINT/SIGTERM end it with 130/143.
#include "benchcommandline.h"
#include "shared/compressionhelper.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

namespace {

constexpr const char* USAGE = "usage: bench_zpaq CONTAINER...\n"
                              "  CONTAINER   container file to decode; NAME.in next to NAME.cN is compared\n"
                              "              with the output when present\n"
                              "  -h, --help  show this help\n";

constexpr int REPETITIONS = 1;

// Resets the kernel's peak-RSS mark of this process, so that the next reading covers only what
// follows.
void resetPeakMemory() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

// Peak resident memory in MiB since the last reset.
double peakMemoryMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    benchcli::handleInterruptions();
    const QStringList files = application.arguments().mid(1);
    for (const QString& argument : files) {
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            benchcli::printUsage(USAGE);
        }
        if (argument.startsWith(QLatin1Char('-'))) {
            benchcli::usageError("bench_zpaq", QStringLiteral("unknown argument '%1'").arg(argument), USAGE);
        }
    }
    if (files.isEmpty()) {
        benchcli::usageError("bench_zpaq", QStringLiteral("no container given"), USAGE);
    }
    std::printf("| file | output bytes | seconds | CPU seconds | MB/s | MB/s by CPU | peak MiB | check |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---|\n");
    int status = 0;
    for (const QString& path : files) {
        const QByteArray input = readFile(path);
        const QFileInfo info(path);
        const QString expectedPath = info.path() + "/" + info.completeBaseName() + ".in";
        double best = -1;
        double bestCpu = 0;
        QByteArray output;
        resetPeakMemory();
        const double baseline = peakMemoryMiB();
        QString check = QStringLiteral("-");
        for (int repetition = 0; repetition < REPETITIONS; ++repetition) {
            QElapsedTimer timer;
            timer.start();
            const std::clock_t cpuStart = std::clock();
            try {
                output = shared::TCompressionHelper::DecompressLZMAByteArrayWithExceptionOnError(input);
            } catch (const std::exception& error) {
                check = QString::fromUtf8(error.what());
                status = 1;
                break;
            }
            const double seconds = timer.nsecsElapsed() / 1e9;
            const double cpuSeconds = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
            if (best < 0 || seconds < best) {
                best = seconds;
                bestCpu = cpuSeconds;
            }
        }
        const double peak = peakMemoryMiB();
        if (best >= 0 && QFile::exists(expectedPath)) {
            check = output == readFile(expectedPath) ? QStringLiteral("equal") : QStringLiteral("DIFFERENT");
            if (check != QStringLiteral("equal")) {
                status = 1;
            }
        }
        std::printf(
            "| %s | %lld | %.2f | %.2f | %.3f | %.3f | %.0f (+%.0f) | %s |\n", qPrintable(info.fileName()),
            static_cast<long long>(output.size()), best, bestCpu, best > 0 ? output.size() / best / 1e6 : 0.0,
            bestCpu > 0 ? output.size() / bestCpu / 1e6 : 0.0, peak, peak - baseline, qPrintable(check));
        std::fflush(stdout);
    }
    return status;
}
