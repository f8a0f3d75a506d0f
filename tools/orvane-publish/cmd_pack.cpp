#include "commands.h"
#include "containerwriter.h"
#include "options.h"

#include "shared/compressionhelper.h"

#include <QFile>
#include <QTextStream>

namespace publish {

namespace {

bool readWholeFile(const QString& path, QByteArray& content, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot open '%1': %2").arg(path, file.errorString());
        return false;
    }
    if (file.size() > static_cast<qint64>(shared::TCompressionHelper::MAX_UNPACKED_LENGTH)) {
        error = QStringLiteral("'%1' is larger than a chunk container may hold (%2 bytes)")
                    .arg(path)
                    .arg(shared::TCompressionHelper::MAX_UNPACKED_LENGTH);
        return false;
    }
    content = file.readAll();
    return true;
}

} // namespace

int runPack(const QStringList& arguments) {
    TCommandLine commandLine(
        QStringLiteral("pack"), QStringLiteral("--codec N IN OUT"),
        QStringLiteral("Wraps the content of IN into a chunk container and writes it to OUT."));
    commandLine.addOption(QStringLiteral("codec"), QStringLiteral("N"),
                          QStringLiteral("container codec: 0, 3, 4, 5 or 10 (required)"));
    const int parsed = commandLine.parse(arguments, 2, 2);
    if (parsed >= 0)
        return parsed;
    if (!commandLine.isSet(QStringLiteral("codec")))
        return commandLine.usageError(QStringLiteral("--codec is required"));
    bool codecOk = false;
    const int codec = commandLine.value(QStringLiteral("codec")).toInt(&codecOk);
    if (!codecOk)
        return commandLine.usageError(
            QStringLiteral("'%1' is not a codec number").arg(commandLine.value(QStringLiteral("codec"))));
    QTextStream err(stderr);
    const QString inPath = commandLine.positional().at(0);
    const QString outPath = commandLine.positional().at(1);
    QByteArray content;
    QString error;
    if (!readWholeFile(inPath, content, error)) {
        err << "orvane-publish pack: " << error << "\n";
        return 1;
    }
    if (content.isEmpty()) {
        err << "orvane-publish pack: '" << inPath << "' is empty; a container cannot hold zero bytes\n";
        return 1;
    }
    QByteArray container;
    if (!writeContainer(codec, content, container, error)) {
        err << "orvane-publish pack: " << error << "\n";
        return 1;
    }
    QFile out(outPath);
    // Written bytes may wait in the file's buffer: only the flush shows a write error.
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(container) != container.size() ||
        !out.flush()) {
        err << "orvane-publish pack: cannot write '" << outPath << "': " << out.errorString() << "\n";
        return 1;
    }
    QTextStream(stdout) << inPath << ": " << content.size() << " -> " << container.size() << " bytes (codec "
                        << codec << ")\n";
    return 0;
}

} // namespace publish
