#include "commands.h"
#include "options.h"
#include "packager.h"

#include <QCommandLineParser>
#include <QTextStream>

namespace publish {

namespace {

const char* const PACKAGE_USAGE =
    "usage: orvane-publish package SRC_DIR OUT_DIR [options]\n"
    "  --version V              package version\n"
    "  --asset-version V        asset document version (default: the package version)\n"
    "  --assets GLOB            files whose relative path matches go to the asset document\n"
    "                           (repeatable; '*' also matches '/')\n"
    "  --executable REL         the executable to start (also marked executable)\n"
    "  --parameter P            an argument for the executable (repeatable, in order)\n"
    "  --generation G           first | second\n"
    "  --variant V              regular | preview | beta | test\n"
    "  --codec N                container codec 0, 3, 4, 5 or 10 (default 5)\n"
    "  --level L                encoder effort, 0 (fastest) to 9 (smallest, default)\n"
    "  --plain                  store units as they are (\"unpack\" false)\n"
    "  --threshold SIZE         files up to SIZE are one unit, larger ones are chunked\n"
    "                           (default 8M; at most 64M)\n"
    "  --package-document NAME  default package.json\n"
    "  --asset-document NAME    default assets.json\n"
    "  --threads N              encoder threads (default: one per processor)\n";

int usageError(const QString& message) {
    QTextStream(stderr) << "orvane-publish package: " << message << "\n" << PACKAGE_USAGE;
    return 2;
}

} // namespace

int runPackage(const QStringList& arguments) {
    QCommandLineParser parser;
    const QCommandLineOption version(QStringLiteral("version"), QString(), QStringLiteral("V"));
    const QCommandLineOption assetVersion(QStringLiteral("asset-version"), QString(), QStringLiteral("V"));
    const QCommandLineOption assets(QStringLiteral("assets"), QString(), QStringLiteral("GLOB"));
    const QCommandLineOption executable(QStringLiteral("executable"), QString(), QStringLiteral("REL"));
    const QCommandLineOption parameter(QStringLiteral("parameter"), QString(), QStringLiteral("P"));
    const QCommandLineOption generation(QStringLiteral("generation"), QString(), QStringLiteral("G"));
    const QCommandLineOption variant(QStringLiteral("variant"), QString(), QStringLiteral("V"));
    const QCommandLineOption codec(QStringLiteral("codec"), QString(), QStringLiteral("N"));
    const QCommandLineOption level(QStringLiteral("level"), QString(), QStringLiteral("L"));
    const QCommandLineOption plain(QStringLiteral("plain"));
    const QCommandLineOption threshold(QStringLiteral("threshold"), QString(), QStringLiteral("SIZE"));
    const QCommandLineOption packageDocument(QStringLiteral("package-document"), QString(),
                                             QStringLiteral("NAME"));
    const QCommandLineOption assetDocument(QStringLiteral("asset-document"), QString(),
                                           QStringLiteral("NAME"));
    const QCommandLineOption threads(QStringLiteral("threads"), QString(), QStringLiteral("N"));
    parser.addOptions({version, assetVersion, assets, executable, parameter, generation, variant, codec,
                       level, plain, threshold, packageDocument, assetDocument, threads});
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    if (!parser.parse(QStringList{QStringLiteral("package")} + arguments)) {
        return usageError(parser.errorText());
    }
    if (parser.positionalArguments().size() != 2) {
        return usageError(QStringLiteral("SRC_DIR and OUT_DIR are required"));
    }

    TPublishOptions options;
    options.sourceDirectory = parser.positionalArguments().at(0);
    options.outputDirectory = parser.positionalArguments().at(1);
    options.version = parser.value(version);
    options.assetVersion = parser.value(assetVersion);
    options.assetPatterns = parser.values(assets);
    options.executable = parser.value(executable);
    options.parameters = parser.values(parameter);
    options.generation = parser.value(generation);
    options.variant = parser.value(variant);
    options.plain = parser.isSet(plain);
    if (parser.isSet(codec)) {
        if (options.plain) {
            return usageError(QStringLiteral("--codec and --plain exclude each other"));
        }
        bool ok = false;
        options.codec = parser.value(codec).toInt(&ok);
        if (!ok) {
            return usageError(QStringLiteral("'%1' is not a codec number").arg(parser.value(codec)));
        }
    }
    if (parser.isSet(level)) {
        bool ok = false;
        options.level = parser.value(level).toInt(&ok);
        if (!ok) {
            return usageError(QStringLiteral("'%1' is not a level").arg(parser.value(level)));
        }
    }
    if (parser.isSet(threshold) && !parseByteCount(parser.value(threshold), options.wholeFileThreshold)) {
        return usageError(QStringLiteral("'%1' is not a size").arg(parser.value(threshold)));
    }
    if (parser.isSet(packageDocument)) {
        options.packageDocumentName = parser.value(packageDocument);
    }
    if (parser.isSet(assetDocument)) {
        options.assetDocumentName = parser.value(assetDocument);
    }
    if (parser.isSet(threads)) {
        bool ok = false;
        options.threads = parser.value(threads).toInt(&ok);
        if (!ok || options.threads < 1) {
            return usageError(QStringLiteral("'%1' is not a thread count").arg(parser.value(threads)));
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
