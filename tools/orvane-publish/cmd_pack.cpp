#include "commands.h"

#include <QTextStream>

namespace publish {

int runPack(const QStringList& /*arguments*/) {
    QTextStream(stderr) << "orvane-publish pack: not available yet\n";
    return 1;
}

} // namespace publish
