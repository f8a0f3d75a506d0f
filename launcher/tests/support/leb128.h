#pragma once

#include <QByteArray>

namespace testsupport {

// The unsigned LEB128 form of a number, as the chunk container stores its two lengths.
inline QByteArray leb128(quint64 value) {
    QByteArray out;
    do {
        quint8 byte = value & 0x7f;
        value >>= 7;
        if (value != 0) {
            byte |= 0x80;
        }
        out.append(static_cast<char>(byte));
    } while (value != 0);
    return out;
}

} // namespace testsupport
