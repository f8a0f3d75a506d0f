// orvane-publish: the publisher's tool that prepares what the update service serves.
#include "commands.h"
#include "shared/memorytuning.h"

#include <QCoreApplication>
#include <QTextStream>

#include <functional>
#include <map>

namespace {

void printUsage(QTextStream& out) {
    out << "usage: orvane-publish <command> [arguments]\n"
           "commands:\n"
           "  package SRC_DIR OUT_DIR [...]   publish one build: chunk containers and documents\n"
           "  catalogue OUT_FILE [...]        write or update the launcher configuration document\n"
           "  chunks FILE [--average N]       print the content-defined chunks of FILE\n"
           "  pack --codec N IN OUT           wrap IN into a chunk container of codec N\n"
           "  unpack IN OUT                   decode a chunk container as the launcher does\n"
           "  sync --package URL [--assets URL] --dir DIR [--fast-scan] [--verify] [--verbose]\n"
           "                                  bring DIR to a published build as the launcher does\n";
}

} // namespace

int main(int argc, char* argv[]) {
    shared::keepLargeAllocationsOnTheHeap();
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    QTextStream err(stderr);
    if (arguments.isEmpty()) {
        printUsage(err);
        return 2;
    }
    const std::map<QString, std::function<int(const QStringList&)>> commands = {
        {QStringLiteral("catalogue"), publish::runCatalogue},
        {QStringLiteral("chunks"), publish::runChunks},
        {QStringLiteral("pack"), publish::runPack},
        {QStringLiteral("package"), publish::runPackage},
        {QStringLiteral("unpack"), publish::runUnpack},
        {QStringLiteral("sync"), publish::runSync},
    };
    const QString name = arguments.takeFirst();
    const auto command = commands.find(name);
    if (command == commands.end()) {
        err << "orvane-publish: unknown command '" << name << "'\n";
        printUsage(err);
        return 2;
    }
    return command->second(arguments);
}
