// orvane-publish: the publisher's tool that prepares what the update service serves.
#include "commands.h"
#include "options.h"
#include "shared/memorytuning.h"

#include <QCoreApplication>
#include <QTextStream>

#include <functional>
#include <map>

namespace {

const char* const TOOL_HELP =
    "usage: orvane-publish <command> [arguments]\n"
    "       orvane-publish <command> --help\n"
    "\n"
    "The publisher's tool: prepares what the update service serves and checks a published build.\n"
    "\n"
    "commands:\n"
    "  package SRC_DIR OUT_DIR [...]   publish one build: chunk containers and documents\n"
    "  catalogue OUT_FILE [...]        write or update the launcher configuration document\n"
    "  chunks FILE [--average SIZE]    print the content-defined chunks of FILE\n"
    "  pack --codec N IN OUT           wrap IN into a chunk container of codec N\n"
    "  unpack IN OUT                   decode a chunk container as the launcher does\n"
    "  sync --package URL --dir DIR [...]\n"
    "                                  bring DIR to a published build as the launcher does\n"
    "\n"
    "options:\n"
    "  -h, --help  print this help and exit\n"
    "  --version   print the tool's version and exit\n"
    "\n"
    "Options take their value as the next argument or after '=' (--dir DIR, --dir=DIR);\n"
    "sizes may end in K, M or G (powers of 1024). Exit codes: 0 success, 1 failure,\n"
    "2 wrong arguments, 3 network failure, 4 disk failure, 5 verification failure,\n"
    "130 or 143 interrupted (SIGINT, SIGTERM).\n";

} // namespace

int main(int argc, char* argv[]) {
    shared::keepLargeAllocationsOnTheHeap();
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    QTextStream err(stderr);
    const std::map<QString, std::function<int(const QStringList&)>> commands = {
        {QStringLiteral("catalogue"), publish::runCatalogue},
        {QStringLiteral("chunks"), publish::runChunks},
        {QStringLiteral("pack"), publish::runPack},
        {QStringLiteral("package"), publish::runPackage},
        {QStringLiteral("unpack"), publish::runUnpack},
        {QStringLiteral("sync"), publish::runSync},
    };
    if (arguments.isEmpty()) {
        err << "orvane-publish: no command given\n"
            << "Try 'orvane-publish --help' for more information.\n";
        return publish::EXIT_CODE_USAGE;
    }
    const QString name = arguments.takeFirst();
    if (name == QLatin1String("-h") || name == QLatin1String("--help") || name == QLatin1String("help")) {
        QTextStream(stdout) << TOOL_HELP;
        return publish::EXIT_CODE_OK;
    }
    if (name == QLatin1String("--version")) {
        QTextStream(stdout) << "orvane-publish " << publish::toolVersion() << "\n";
        return publish::EXIT_CODE_OK;
    }
    const auto command = commands.find(name);
    if (command == commands.end()) {
        err << "orvane-publish: "
            << (name.startsWith(QLatin1Char('-')) ? "unknown option '" : "unknown command '") << name << "'\n"
            << "Try 'orvane-publish --help' for more information.\n";
        return publish::EXIT_CODE_USAGE;
    }
    return command->second(arguments);
}
