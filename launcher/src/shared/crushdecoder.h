#pragma once

#include <cstddef>
#include <cstdint>

namespace shared {

// Decoder of the CRUSH bit stream (container codec 21): literals and LZ77 matches (lengths 3 to
// 566, distances up to 2 MiB) in a little-endian bit stream, without header or end marker.
//
// Fills exactly outputLength bytes. Throws TDecompressionError when the stream needs a bit
// beyond payloadLength bytes, refers to data before the start of the output or would write past
// its end. Work is linear in outputLength: every token produces at least one byte.
void decodeCrush(const std::uint8_t* payload, std::size_t payloadLength, std::uint8_t* output,
                 std::size_t outputLength);

} // namespace shared
