#include "commands.h"

#include <QTextStream>

namespace publish {

int runChunks(const QStringList& /*arguments*/) {
    QTextStream(stderr) << "orvane-publish chunks: not available yet\n";
    return 1;
}

} // namespace publish
