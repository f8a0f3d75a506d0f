#pragma once

#include <QtGlobal>

#include <functional>
#include <string>

namespace quarn {
namespace launcher {

// Receives one chunk: a pointer into the chunker's working buffer, valid only during the call, and
// the chunk's length. Chunks arrive in file order and cover the file exactly.
using TChunkCallback = std::function<void(const char* data, quint64 length)>;

// Reads up to maxSize bytes into buffer and returns how many were read; 0 (or a negative value,
// taken as a read error) ends the input.
using TChunkSource = std::function<qint64(char* buffer, qint64 maxSize)>;

// The parameters of content-defined chunking derived from the average chunk size. The cut points
// are part of the format exchanged with the publisher's tools: a launcher that cuts differently
// never finds a reusable chunk.
struct TChunkingParameters {
    quint64 average = 0;
    quint64 minimum = 0;
    quint64 maximum = 0;
    int bits = 0;
    quint32 smallChunkMask = 0;
    quint32 largeChunkMask = 0;
    quint64 normalSize = 0;

    // Throws std::invalid_argument for an average outside 512 to 134217729.
    static TChunkingParameters derive(quint64 average);
};

// The average the launcher and the publisher's tools cut with.
constexpr quint64 DEFAULT_CHUNK_AVERAGE = 8388608;

// Cuts the file at path into content-defined chunks and calls callback for each. A file that cannot
// be opened or read behaves like an empty one (no call). An invalid average throws
// std::invalid_argument before the file is opened; exceptions of the callback propagate.
void splitIntoChunks(quint64 average, const std::string& path, const TChunkCallback& callback);

// The same cut over any byte source. The cut points do not depend on how the source splits its data
// into reads.
void splitIntoChunks(quint64 average, const TChunkSource& source, const TChunkCallback& callback);

namespace chunkingdetail {
// The cut search over data[from, to): continues hash and returns the offset just after the first byte
// at which (hash & mask) == 0, or 0. warmup is the number of bytes hashed to guess a segment's
// starting hash; it changes the speed, never the result (exposed so that tests can force wrong
// guesses).
constexpr quint64 DEFAULT_WARMUP = 64;
quint64 findHit(const unsigned char* data, quint64 from, quint64 to, quint32& hash, quint32 mask,
                quint64 warmup);
// The rolling hash's 256 table values, indexed by byte value.
const quint32* table();
} // namespace chunkingdetail

} // namespace launcher
} // namespace quarn
