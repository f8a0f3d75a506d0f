#include "commands.h"

#include "launcher/installation/chunking.h"
#include "shared/sha256.h"

#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>
#include <stdexcept>

namespace publish {

namespace {

int usageError(const QString& message) {
    QTextStream(stderr) << "orvane-publish chunks: " << message << "\n"
                        << "usage: orvane-publish chunks FILE [--average N]\n";
    return 2;
}

} // namespace

// Prints "offset length sha256-hex" for every chunk of FILE, cut exactly as the launcher's scan cuts
// the files it finds on disk.
int runChunks(const QStringList& arguments) {
    QString path;
    quint64 average = quarn::launcher::DEFAULT_CHUNK_AVERAGE;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("--average") || argument.startsWith(QLatin1String("--average="))) {
            QString value;
            if (argument.contains(QLatin1Char('='))) {
                value = argument.section(QLatin1Char('='), 1);
            } else if (i + 1 < arguments.size()) {
                value = arguments[++i];
            } else {
                return usageError(QStringLiteral("--average needs a value"));
            }
            bool ok = false;
            average = value.toULongLong(&ok, 10);
            if (!ok) {
                return usageError(QStringLiteral("'%1' is not a number").arg(value));
            }
        } else if (path.isEmpty()) {
            path = argument;
        } else {
            return usageError(QStringLiteral("unexpected argument '%1'").arg(argument));
        }
    }
    if (path.isEmpty()) {
        return usageError(QStringLiteral("no file given"));
    }
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
