// Decoder speed and memory of the container codecs on the codec vectors: each container is
// decoded in a child process of its own (so that its peak resident memory is its own), a few
// times, and the output is checked against the vector's input by SHA-256. Prints one table.
//
//   bench_codecs [--dir VECTOR_DIR] [--repeat N] [NAME...]
//
// NAME defaults to the 17 MiB vectors text_17m.c6, text_17m.c14 and text_17m.c21. A codec the
// launcher does not decode shows as "not decoded". Speed is MB/s (10^6 bytes) of output; "peak"
// is the child's peak resident memory, "over base" the part above a child that only reads the
// container. SIGINT/SIGTERM stop the running child and end with 130/143.
#include "benchcommandline.h"
#include "shared/compressionhelper.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <limits>

namespace {

constexpr const char* USAGE =
    "usage: bench_codecs [--dir VECTOR_DIR] [--repeat N] [NAME...]\n"
    "  --dir VECTOR_DIR  folder with the codec vectors (default: the project's vector folder)\n"
    "  --repeat N        decodes per container (default 3)\n"
    "  NAME              container files in VECTOR_DIR (default text_17m.c6 text_17m.c14\n"
    "                    text_17m.c21)\n"
    "  -h, --help        show this help\n";

enum EChildResult { CHILD_OK = 0, CHILD_MISMATCH = 1, CHILD_REJECTED = 2, CHILD_UNREADABLE = 3 };

struct TRun {
    bool finished = false;
    int result = CHILD_UNREADABLE;
    double bestSeconds = 0;
    double bestCpuSeconds = 0;
    int runs = 0;
    double peakMiB = 0;
};

double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

QByteArray fileDigest(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result();
}

// In the child: read the container, decode it up to `repeat` times (fewer when one run takes
// longer than 5 s), report the best time through the pipe.
[[noreturn]] void child(const QString& path, const QByteArray& digest, int repeat, bool decode, int pipeFd) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        _exit(CHILD_UNREADABLE);
    }
    const QByteArray packed = file.readAll();
    double best = std::numeric_limits<double>::max();
    double bestCpu = std::numeric_limits<double>::max();
    int runs = 0;
    int result = CHILD_OK;
    for (int run = 0; decode && run < repeat; ++run) {
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = cpuSeconds();
        QByteArray output;
        try {
            output = shared::TCompressionHelper::DecompressLZMAByteArrayWithExceptionOnError(packed);
        } catch (const shared::TDecompressionError&) {
            result = CHILD_REJECTED;
            break;
        }
        const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        best = std::min(best, seconds);
        bestCpu = std::min(bestCpu, cpuSeconds() - cpuStart);
        ++runs;
        if (QCryptographicHash::hash(output, QCryptographicHash::Sha256) != digest) {
            result = CHILD_MISMATCH;
            break;
        }
        if (seconds > 5) {
            break;
        }
    }
    const double report[3] = {runs ? best : 0, runs ? bestCpu : 0, static_cast<double>(runs)};
    if (write(pipeFd, report, sizeof(report)) != static_cast<ssize_t>(sizeof(report))) {
        _exit(CHILD_UNREADABLE);
    }
    _exit(result);
}

TRun measure(const QString& path, const QByteArray& digest, int repeat, bool decode) {
    TRun run;
    int fds[2];
    if (pipe(fds) != 0) {
        return run;
    }
    std::fflush(stdout);
    auto held = benchcli::holdInterruptions();
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        close(fds[0]);
        child(path, digest, repeat, decode, fds[1]);
    }
    benchcli::watchProcess(pid);
    held.unlock();
    close(fds[1]);
    double report[3] = {0, 0, 0};
    const bool haveReport = read(fds[0], report, sizeof(report)) == static_cast<ssize_t>(sizeof(report));
    close(fds[0]);
    int status = 0;
    struct rusage usage {};
    const pid_t waited = pid < 0 ? -1 : wait4(pid, &status, 0, &usage);
    benchcli::forgetProcess(pid);
    if (waited != pid) {
        return run;
    }
    run.finished = haveReport && WIFEXITED(status);
    run.result = WIFEXITED(status) ? WEXITSTATUS(status) : CHILD_UNREADABLE;
    run.bestSeconds = report[0];
    run.bestCpuSeconds = report[1];
    run.runs = static_cast<int>(report[2]);
    run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return run;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    benchcli::handleInterruptions();
    QString directory = QStringLiteral(ORVANE_VECTOR_DIR);
    int repeat = 3;
    QStringList names;
    const QStringList arguments = app.arguments().mid(1);
    for (int index = 0; index < arguments.size(); ++index) {
        const QString& argument = arguments[index];
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            benchcli::printUsage(USAGE);
        } else if (argument == QLatin1String("--dir") || argument == QLatin1String("--repeat")) {
            if (index + 1 >= arguments.size()) {
                benchcli::usageError("bench_codecs", QStringLiteral("%1 needs a value").arg(argument), USAGE);
            }
            if (argument == QLatin1String("--dir")) {
                directory = arguments[++index];
            } else {
                bool number = false;
                repeat = std::max(1, arguments[++index].toInt(&number));
                if (!number) {
                    benchcli::usageError("bench_codecs",
                                         QStringLiteral("--repeat: not a number '%1'").arg(arguments[index]),
                                         USAGE);
                }
            }
        } else if (argument.startsWith(QLatin1Char('-'))) {
            benchcli::usageError("bench_codecs", QStringLiteral("unknown argument '%1'").arg(argument),
                                 USAGE);
        } else {
            names << argument;
        }
    }
    if (names.isEmpty()) {
        names << QStringLiteral("text_17m.c6") << QStringLiteral("text_17m.c14")
              << QStringLiteral("text_17m.c21");
    }

    std::printf("%-16s %5s %10s %10s %8s %9s %8s %9s %9s %10s  %s\n", "vector", "codec", "L", "N", "wall s",
                "MB/s", "CPU s", "CPU MB/s", "peak MiB", "over base", "result");
    for (const QString& name : names) {
        const QString path = directory + QLatin1Char('/') + name;
        const QString input =
            directory + QLatin1Char('/') + QFileInfo(name).completeBaseName() + QStringLiteral(".in");
        const qint64 unpacked = QFileInfo(input).size();
        const qint64 packed = QFileInfo(path).size();
        const QByteArray digest = fileDigest(input);
        const QString codec = QFileInfo(name).suffix().mid(1);
        if (digest.isEmpty() || !QFileInfo::exists(path)) {
            std::printf("%-16s %5s %10s %10s %8s %9s %8s %9s %9s %10s  %s\n", qPrintable(name),
                        qPrintable(codec), "-", "-", "-", "-", "-", "-", "-", "-", "missing");
            continue;
        }
        const TRun base = measure(path, digest, repeat, false);
        const TRun run = measure(path, digest, repeat, true);
        const char* result = !run.finished                  ? "crashed"
                             : run.result == CHILD_OK       ? "ok"
                             : run.result == CHILD_MISMATCH ? "WRONG OUTPUT"
                             : run.result == CHILD_REJECTED ? "not decoded"
                                                            : "unreadable";
        if (run.finished && run.result == CHILD_OK) {
            std::printf("%-16s %5s %10lld %10lld %8.3f %9.1f %8.3f %9.1f %9.1f %10.1f  %s (best of %d)\n",
                        qPrintable(name), qPrintable(codec), static_cast<long long>(unpacked),
                        static_cast<long long>(packed), run.bestSeconds,
                        static_cast<double>(unpacked) / 1e6 / run.bestSeconds, run.bestCpuSeconds,
                        static_cast<double>(unpacked) / 1e6 / run.bestCpuSeconds, run.peakMiB,
                        run.peakMiB - base.peakMiB, result, run.runs);
        } else {
            std::printf("%-16s %5s %10lld %10lld %8s %9s %8s %9s %9.1f %10s  %s\n", qPrintable(name),
                        qPrintable(codec), static_cast<long long>(unpacked), static_cast<long long>(packed),
                        "-", "-", "-", "-", run.peakMiB, "-", result);
        }
    }
    return 0;
}
