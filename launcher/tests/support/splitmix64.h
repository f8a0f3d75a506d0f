#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace testsupport {

// Reproducible test content: splitmix64 from a seed, each output written as 8 little-endian bytes.
inline QByteArray splitmix64Bytes(quint64 seed, int size) {
    QByteArray data(size, Qt::Uninitialized);
    quint64 state = seed;
    for (int offset = 0; offset < size; offset += 8) {
        state += 0x9E3779B97F4A7C15ULL;
        quint64 z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        for (int i = 0; i < 8 && offset + i < size; ++i) {
            data[offset + i] = static_cast<char>(z >> (8 * i));
        }
    }
    return data;
}

} // namespace testsupport
