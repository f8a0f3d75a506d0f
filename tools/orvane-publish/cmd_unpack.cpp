#include "commands.h"
#include "options.h"

#include "shared/compressionhelper.h"

#include <QFile>
#include <QTextStream>

namespace publish {

int runUnpack(const QStringList& arguments) {
    TCommandLine commandLine(
        QStringLiteral("unpack"), QStringLiteral("IN OUT"),
        QStringLiteral("Decodes the chunk container IN with the launcher's own decoder and "
                       "writes the content to OUT;\ndata that is not a container is copied "
                       "unchanged, as the launcher does."));
    const int parsed = commandLine.parse(arguments, 2, 2);
    if (parsed >= 0)
        return parsed;
    QTextStream err(stderr);
    QFile in(commandLine.positional().at(0));
    if (!in.open(QIODevice::ReadOnly)) {
        err << "orvane-publish unpack: cannot open '" << in.fileName() << "': " << in.errorString() << "\n";
        return 1;
    }
    const QByteArray input = in.readAll();
    QByteArray content;
    try {
        // The launcher's own decoder: data that is not a container passes through unchanged.
        content = shared::TCompressionHelper::DecompressLZMAByteArrayWithExceptionOnError(input);
    } catch (const shared::TDecompressionError& error) {
        err << "orvane-publish unpack: " << error.what() << "\n";
        return 1;
    }
    QFile out(commandLine.positional().at(1));
    // Written bytes may wait in the file's buffer: only the flush shows a write error.
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(content) != content.size() ||
        !out.flush()) {
        err << "orvane-publish unpack: cannot write '" << out.fileName() << "': " << out.errorString()
            << "\n";
        return 1;
    }
    QTextStream(stdout) << in.fileName() << ": " << input.size() << " -> " << content.size() << " bytes"
                        << (shared::TCompressionHelper::isContainer(input) ? ""
                                                                           : " (not a container, copied)")
                        << "\n";
    return 0;
}

} // namespace publish
