#include "commands.h"
#include "options.h"

#include "launcher/installation/chunking.h"
#include "shared/sha256.h"

#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>
#include <stdexcept>

namespace publish {

// Prints "offset length sha256-hex" for every chunk of FILE, cut exactly as the launcher's scan cuts
// the files it finds on disk.
int runChunks(const QStringList& arguments) {
    TCommandLine commandLine(
        QStringLiteral("chunks"), QStringLiteral("FILE [--average SIZE]"),
        QStringLiteral("Prints the content-defined chunks of FILE, one line per chunk:\n"
                       "\"offset length sha256-hex\", cut exactly as the launcher's scan "
                       "cuts a file on disk."));
    commandLine.addOption(QStringLiteral("average"), QStringLiteral("SIZE"),
                          QStringLiteral("average chunk size in bytes, 512 to 134217729 (default 8M)"));
    const int parsed = commandLine.parse(arguments, 0, 1);
    if (parsed >= 0)
        return parsed;
    if (commandLine.positional().isEmpty())
        return commandLine.usageError(QStringLiteral("no file given"));
    const QString path = commandLine.positional().constFirst();
    quint64 average = quarn::launcher::DEFAULT_CHUNK_AVERAGE;
    if (commandLine.isSet(QStringLiteral("average")) &&
        !parseByteCount(commandLine.value(QStringLiteral("average")), average))
        return commandLine.usageError(
            QStringLiteral("'%1' is not a size").arg(commandLine.value(QStringLiteral("average"))));
    QTextStream err(stderr);
    try {
        quarn::launcher::TChunkingParameters::derive(average);
    } catch (const std::invalid_argument& error) {
        err << "orvane-publish chunks: " << error.what() << "\n";
        return 1;
    }
    // The chunker treats an unreadable file as empty; the publisher must hear about it.
    QFile probe(path);
    if (!QFileInfo(path).isFile() || !probe.open(QIODevice::ReadOnly)) {
        err << "orvane-publish chunks: cannot read '" << path << "'\n";
        return 1;
    }
    const qint64 expectedSize = probe.size();
    probe.close();

    quint64 offset = 0;
    quarn::launcher::splitIntoChunks(
        average, QFile::encodeName(path).toStdString(), [&offset](const char* data, quint64 length) {
            const QByteArray hex = shared::TSha256::hash(data, qint64(length)).toHex();
            std::printf("%llu %llu %s\n", static_cast<unsigned long long>(offset),
                        static_cast<unsigned long long>(length), hex.constData());
            offset += length;
        });
    if (std::fflush(stdout) != 0) {
        err << "orvane-publish chunks: cannot write the listing\n";
        return 1;
    }
    if (offset != static_cast<quint64>(expectedSize)) {
        err << "orvane-publish chunks: read " << offset << " of " << expectedSize << " bytes of '" << path
            << "'\n";
        return 1;
    }
    return 0;
}

} // namespace publish
