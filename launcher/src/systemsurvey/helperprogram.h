#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace systemsurvey {

struct THelperProgramResult {
    // The program started, ended by itself within the time limit and its output stayed in bounds.
    bool completed = false;
    // Standard output; empty unless completed.
    QByteArray output;
};

// Runs a system program that reports hardware and collects its standard output (standard error
// is discarded). It gets StartTimeoutMs to start and then FinishTimeoutMs to end; a program that
// runs longer, or writes more than MaxOutputBytes, is killed and waited for before this returns,
// so that no process outlives the call. Blocks the calling thread meanwhile.
THelperProgramResult runHelperProgram(const QString& Program, const QStringList& Arguments,
                                      int StartTimeoutMs, int FinishTimeoutMs, qint64 MaxOutputBytes);

} // namespace systemsurvey
