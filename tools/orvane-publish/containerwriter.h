#pragma once

#include <QByteArray>
#include <QString>

namespace publish {

// Wraps bytes into a compressed chunk container of the given codec (0, 3, 4, 5 or 10), the
// format the launcher decodes. Returns false with a reason when the codec is not supported or
// the encoder fails. level (0 fastest to 9 smallest, the default) sets the encoder's effort; the
// dictionary sizes of codecs 5 and 10 stay those of the format, and the decoder needs nothing else.
bool writeContainer(int codec, const QByteArray& content, QByteArray& container, QString& error,
                    int level = 9);

} // namespace publish
