#include "commands.h"
#include "options.h"
#include "packager.h"

#include <QTextStream>

namespace publish {

int runPackage(const QStringList& arguments) {
    TCommandLine commandLine(
        QStringLiteral("package"), QStringLiteral("SRC_DIR OUT_DIR [options]"),
        QStringLiteral(
            "Publishes the build in SRC_DIR (laid out as it is installed) into OUT_DIR: the package\n"
            "document, optionally the asset document, and the stored units under OUT_DIR/chunks/.\n"
            "Units already in OUT_DIR are reused."));
    const auto add = [&commandLine](const char* name, const char* valueName, const char* description,
                                    bool repeatable = false) {
        commandLine.addOption(QString::fromLatin1(name), QString::fromLatin1(valueName),
                              QString::fromLatin1(description), repeatable);
    };
    add("version", "V", "package version (the tool's own version: orvane-publish --version)");
    add("asset-version", "V", "asset document version (default: the package version)");
    add("assets", "GLOB",
        "files whose relative path matches go to the asset document\n('*' also matches '/')", true);
    add("executable", "REL", "the executable to start (also marked executable)");
    add("parameter", "P", "an argument for the executable, in order", true);
    add("generation", "G", "first | second");
    add("variant", "V", "regular | preview | beta | test");
    add("codec", "N", "container codec 0, 3, 4, 5 or 10 (default 5)");
    add("level", "L", "encoder effort, 0 (fastest) to 9 (smallest, default)");
    add("plain", "", "store units as they are (\"unpack\" false)");
    add("threshold", "SIZE",
        "files up to SIZE are one unit, larger ones are chunked\n(default 8M; at most 64M)");
    add("package-document", "NAME", "name of the package document (default package.json)");
    add("asset-document", "NAME", "name of the asset document (default assets.json)");
    add("threads", "N", "encoder threads (default: one per processor)");
    const int parsed = commandLine.parse(arguments, 2, 2);
    if (parsed >= 0) {
        return parsed;
    }
    const auto usageError = [&commandLine](const QString& message) {
        return commandLine.usageError(message);
    };
    const auto isSet = [&commandLine](const char* name) {
        return commandLine.isSet(QString::fromLatin1(name));
    };
    const auto value = [&commandLine](const char* name) {
        return commandLine.value(QString::fromLatin1(name));
    };

    TPublishOptions options;
    options.sourceDirectory = commandLine.positional().at(0);
    options.outputDirectory = commandLine.positional().at(1);
    options.version = value("version");
    options.assetVersion = value("asset-version");
    options.assetPatterns = commandLine.values(QStringLiteral("assets"));
    options.executable = value("executable");
    options.parameters = commandLine.values(QStringLiteral("parameter"));
    options.generation = value("generation");
    options.variant = value("variant");
    options.plain = isSet("plain");
    if (isSet("codec")) {
        if (options.plain) {
            return usageError(QStringLiteral("--codec and --plain exclude each other"));
        }
        bool ok = false;
        options.codec = value("codec").toInt(&ok);
        if (!ok) {
            return usageError(QStringLiteral("'%1' is not a codec number").arg(value("codec")));
        }
    }
    if (isSet("level")) {
        bool ok = false;
        options.level = value("level").toInt(&ok);
        if (!ok) {
            return usageError(QStringLiteral("'%1' is not a level").arg(value("level")));
        }
    }
    if (isSet("threshold") && !parseByteCount(value("threshold"), options.wholeFileThreshold)) {
        return usageError(QStringLiteral("'%1' is not a size").arg(value("threshold")));
    }
    if (isSet("package-document")) {
        options.packageDocumentName = value("package-document");
    }
    if (isSet("asset-document")) {
        options.assetDocumentName = value("asset-document");
    }
    if (isSet("threads")) {
        bool ok = false;
        options.threads = value("threads").toInt(&ok);
        if (!ok || options.threads < 1) {
            return usageError(QStringLiteral("'%1' is not a thread count").arg(value("threads")));
        }
    }

    QTextStream out(stdout);
    const TPublishResult result =
        publishPackage(options, [&out](const QString& line) { out << line << Qt::endl; });
    QTextStream err(stderr);
    for (const QString& warning : result.warnings) {
        err << "orvane-publish package: warning: " << warning << "\n";
    }
    if (!result.success) {
        err << "orvane-publish package: " << result.error << "\n";
        return 1;
    }
    out << "wrote " << result.packageDocumentPath << "\n";
    if (!result.assetDocumentPath.isEmpty()) {
        out << "wrote " << result.assetDocumentPath << "\n";
    }
    out << result.files << " files (" << result.assetFiles << " in the asset document), " << result.bytesRead
        << " bytes; " << result.units << " stored units (" << result.unitsWritten << " written, "
        << result.unitsReused << " reused), " << result.bytesStored << " bytes stored\n";
    return 0;
}

} // namespace publish
