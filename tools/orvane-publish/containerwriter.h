#pragma once

#include <QByteArray>
#include <QString>

namespace publish {

// Wraps bytes into a compressed chunk container of the given codec (0, 3, 4, 5 or 10), the
// format the launcher decodes. Returns false with a reason when the codec is not supported or
// the encoder fails. The level (0 to 9) trades encoding time for size; 9 is what pack writes.
bool writeContainer(int codec, const QByteArray& content, QByteArray& container, QString& error,
                    int level = 9);

} // namespace publish
