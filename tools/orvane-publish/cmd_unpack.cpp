#include "commands.h"

#include <QTextStream>

namespace publish {

int runUnpack(const QStringList& /*arguments*/) {
    QTextStream(stderr) << "orvane-publish unpack: not available yet\n";
    return 1;
}

} // namespace publish
