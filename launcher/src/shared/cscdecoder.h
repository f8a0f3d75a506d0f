#pragma once

#include <cstddef>
#include <cstdint>

namespace shared {

// Decoder of the CSC stream (container codec 14): a 10-byte property record (window size, chunk
// size, largest block), then chunks of two interleaved byte streams, one for a binary range
// coder and one for direct bits. The decoded data is a sequence of blocks: LZ77 with an adaptive
// model (optionally followed by an inverse x86 call filter or an inverse word dictionary),
// order-1 literals, stored bytes, or run-length coded deltas of 1 to 8 channels.
//
// Fills exactly outputLength bytes. Throws TDecompressionError for a property record outside
// its bounds (window 32 KiB to 1 GiB), a chunk that runs past the payload, a stream that runs out
// of chunks, a block larger than the record allows, a copy from before the start of the data or
// across the window's end, output that would pass outputLength or stop short of it, and chunks
// left over after the end block. Memory: the output, a window of min(window size, outputLength)
// bytes and, for filtered blocks, one block of scratch space.
void decodeCsc(const std::uint8_t* payload, std::size_t payloadLength, std::uint8_t* output,
               std::size_t outputLength);

} // namespace shared
