#include "shared/crushdecoder.h"

#include "shared/compressionhelper.h"

#include <cstring>

namespace shared {

namespace {

// Bits are taken least significant first from each byte; a field of n bits has its first bit
// as bit 0. Bytes are fetched only when a field needs them.
class TBitReader {
public:
    TBitReader(const std::uint8_t* data, std::size_t length) : m_position(data), m_end(data + length) {}

    std::uint32_t read(int count) {
        if (m_count < count) {
            refill();
            if (m_count < count) {
                throw TDecompressionError();
            }
        }
        const std::uint32_t value = static_cast<std::uint32_t>(m_bits & ((std::uint64_t(1) << count) - 1));
        m_bits >>= count;
        m_count -= count;
        return value;
    }

private:
    void refill() {
        while (m_count <= 56 && m_position < m_end) {
            m_bits |= std::uint64_t(*m_position++) << m_count;
            m_count += 8;
        }
    }

    const std::uint8_t* m_position;
    const std::uint8_t* m_end;
    std::uint64_t m_bits = 0;
    int m_count = 0;
};

constexpr int MAX_LENGTH_PREFIX = 5;
// Extra bits and base of the match length classes, by the number of leading zero bits.
constexpr int LENGTH_EXTRA_BITS[MAX_LENGTH_PREFIX + 1] = {2, 2, 2, 3, 5, 9};
constexpr std::uint32_t LENGTH_BASE[MAX_LENGTH_PREFIX + 1] = {0, 4, 8, 12, 20, 52};
constexpr std::uint32_t MIN_MATCH = 3;
constexpr int DISTANCE_SLOT_BITS = 4;
constexpr int SHORT_DISTANCE_BITS = 6;

} // namespace

void decodeCrush(const std::uint8_t* payload, std::size_t payloadLength, std::uint8_t* output,
                 std::size_t outputLength) {
    TBitReader reader(payload, payloadLength);
    std::size_t produced = 0;
    while (produced < outputLength) {
        if (reader.read(1) == 0) {
            output[produced++] = static_cast<std::uint8_t>(reader.read(8));
            continue;
        }
        int zeros = 0;
        while (zeros < MAX_LENGTH_PREFIX && reader.read(1) == 0) {
            ++zeros;
        }
        const std::size_t length = LENGTH_BASE[zeros] + reader.read(LENGTH_EXTRA_BITS[zeros]) + MIN_MATCH;
        const std::uint32_t slot = reader.read(DISTANCE_SLOT_BITS);
        std::size_t distance;
        if (slot == 0) {
            distance = reader.read(SHORT_DISTANCE_BITS);
        } else {
            const int bits = static_cast<int>(slot) + 5;
            distance = (std::size_t(1) << bits) + reader.read(bits);
        }
        distance += 1;
        if (distance > produced || length > outputLength - produced) {
            throw TDecompressionError();
        }
        std::uint8_t* target = output + produced;
        const std::uint8_t* source = target - distance;
        if (distance >= length) {
            std::memcpy(target, source, length);
        } else {
            // Overlapping: byte by byte, so that a short distance repeats what was just written.
            for (std::size_t index = 0; index < length; ++index) {
                target[index] = source[index];
            }
        }
        produced += length;
    }
}

} // namespace shared
