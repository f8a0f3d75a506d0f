#include "systemsurvey/helperprogram.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>

namespace systemsurvey {

namespace {

// Time to let a killed program go before the process object gives up on it.
const int KILL_WAIT_MS = 5000;
// Output is collected in slices so that its size can be checked while the program runs.
const int READ_SLICE_MS = 100;

void stop(QProcess& Process) {
    if (Process.state() == QProcess::NotRunning)
        return;
    Process.kill();
    if (!Process.waitForFinished(KILL_WAIT_MS))
        qWarning().noquote()
            << QStringLiteral("Helper program %1 did not end after being killed").arg(Process.program());
}

} // namespace

THelperProgramResult runHelperProgram(const QString& Program, const QStringList& Arguments,
                                      int StartTimeoutMs, int FinishTimeoutMs, qint64 MaxOutputBytes) {
    THelperProgramResult result;
    QProcess process;
    process.setProgram(Program);
    process.setArguments(Arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(StartTimeoutMs)) {
        stop(process);
        return result;
    }

    QByteArray output;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (process.state() == QProcess::NotRunning) {
            output += process.readAllStandardOutput();
            break;
        }
        const qint64 remaining = qint64(FinishTimeoutMs) - clock.elapsed();
        if (remaining <= 0) {
            qWarning().noquote() << QStringLiteral("Helper program %1 did not finish within %2 ms; stopped")
                                        .arg(Program)
                                        .arg(FinishTimeoutMs);
            stop(process);
            return result;
        }
        process.waitForReadyRead(static_cast<int>(std::min<qint64>(remaining, READ_SLICE_MS)));
        output += process.readAllStandardOutput();
        if (output.size() > MaxOutputBytes) {
            qWarning().noquote() << QStringLiteral("Helper program %1 wrote more than %2 bytes; stopped")
                                        .arg(Program)
                                        .arg(MaxOutputBytes);
            stop(process);
            return result;
        }
    }
    if (output.size() > MaxOutputBytes || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.completed = true;
    result.output = output;
    return result;
}

} // namespace systemsurvey
