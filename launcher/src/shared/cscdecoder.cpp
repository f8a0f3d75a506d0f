#include "shared/cscdecoder.h"

#include "shared/compressionhelper.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace shared {

namespace {

constexpr std::size_t PROPERTY_SIZE = 10;
constexpr std::uint64_t MIN_WINDOW = 32768;
constexpr std::uint64_t MAX_WINDOW = std::uint64_t(1) << 30;
constexpr std::uint8_t CHUNK_RANGE_CODER = 0x80;
constexpr std::uint8_t CHUNK_FULL = 0x40;
constexpr std::uint16_t PROBABILITY_START = 2048;
constexpr int PROBABILITY_SHIFT = 5;
constexpr std::uint32_t RANGE_TOP = std::uint32_t(1) << 24;

enum EBlockType : std::uint64_t {
    BLOCK_NORMAL = 1,
    BLOCK_TEXT = 2,
    BLOCK_EXE = 3,
    BLOCK_ENTROPY = 7,
    BLOCK_STORED = 8,
    BLOCK_END = 9,
    BLOCK_DELTA_FIRST = 16,
    BLOCK_DELTA_LAST = 20,
};
constexpr int DELTA_CHANNELS[] = {1, 2, 3, 4, 8};
// Inverse delta is applied only to blocks of at least this size.
constexpr std::size_t DELTA_MIN_BLOCK = 512;
constexpr std::uint64_t FLAG_CODER_RESET = 1;

// Match lengths: a value of LONG_LENGTH is followed by further multiples of it.
constexpr std::size_t LONG_LENGTH = 143;
constexpr std::size_t MIN_MATCH = 2;
constexpr std::size_t MIN_RUN = 11;
// The pair (length value 0, distance value 64) ends an LZ section.
constexpr std::uint64_t END_MARKER_DISTANCE = 64;

// Distance slot tree per length value (0 to 5, then 6 and above): offset and depth.
constexpr int DISTANCE_TREE_OFFSET[7] = {0, 8, 24, 40, 72, 104, 136};
constexpr int DISTANCE_TREE_BITS[7] = {3, 4, 4, 5, 5, 5, 5};
constexpr int DISTANCE_TREE_SIZE = 168;
constexpr int DISTANCE_SLOTS_WITH_LOW_BITS = 29;

// Words of the text filter, for the symbols 0x82 to 0xFB.
constexpr std::uint8_t WORD_FIRST = 0x82;
constexpr std::uint8_t WORD_LAST = 0xFB;
constexpr std::uint8_t WORD_ESCAPE = 0xFE;
const char* const WORDS[WORD_LAST - WORD_FIRST + 1] = {
    "ac",  "ad",  "ai",   "al",   "am",   "an",   "ar",   "as",   "at",   "ea",  "ec",  "ed",  "ee",  "el",
    "en",  "er",  "es",   "et",   "id",   "ie",   "ig",   "il",   "in",   "io",  "is",  "it",  "of",  "ol",
    "on",  "oo",  "or",   "os",   "ou",   "ow",   "ul",   "un",   "ur",   "us",  "ba",  "be",  "ca",  "ce",
    "co",  "ch",  "de",   "di",   "ge",   "gh",   "ha",   "he",   "hi",   "ho",  "ra",  "re",  "ri",  "ro",
    "rs",  "la",  "le",   "li",   "lo",   "ld",   "ll",   "ly",   "se",   "si",  "so",  "sh",  "ss",  "st",
    "ma",  "me",  "mi",   "ne",   "nc",   "nd",   "ng",   "nt",   "pa",   "pe",  "ta",  "te",  "ti",  "to",
    "th",  "tr",  "wa",   "ve",   "all",  "and",  "but",  "dow",  "for",  "had", "hav", "her", "him", "his",
    "man", "mor", "not",  "now",  "one",  "out",  "she",  "the",  "was",  "wer", "whi", "whe", "wit", "you",
    "any", "are", "that", "said", "with", "have", "this", "from", "were", "tion"};

std::uint32_t readBigEndian(const std::uint8_t* data, int bytes) {
    std::uint32_t value = 0;
    for (int index = 0; index < bytes; ++index) {
        value = (value << 8) | data[index];
    }
    return value;
}

// The chunks of one of the two byte streams, taken in payload order.
struct TChunkStream {
    std::size_t scan = PROPERTY_SIZE; // where the search for this stream's next chunk goes on
    const std::uint8_t* position = nullptr;
    const std::uint8_t* end = nullptr;
};

class TCscDecoder {
public:
    TCscDecoder(const std::uint8_t* payload, std::size_t payloadLength, std::uint8_t* output,
                std::size_t outputLength)
        : m_payload(payload), m_payloadLength(payloadLength), m_output(output), m_outputLength(outputLength) {
    }

    void run();

private:
    bool takeChunk(TChunkStream& stream, bool rangeCoder);
    std::uint8_t nextByte(TChunkStream& stream, bool rangeCoder) {
        if (stream.position == stream.end) {
            refill(stream, rangeCoder);
        }
        return *stream.position++;
    }
    void refill(TChunkStream& stream, bool rangeCoder);
    void restartStream(TChunkStream& stream, bool rangeCoder);
    void startRangeCoder();
    void resetCoders();

    int bit(std::uint16_t& probability) {
        if (m_range < RANGE_TOP) {
            m_range <<= 8;
            m_code = (m_code << 8) | nextByte(m_rangeStream, true);
        }
        const std::uint32_t bound = (m_range >> 12) * probability;
        if (m_code < bound) {
            m_range = bound;
            probability =
                static_cast<std::uint16_t>(probability + ((4095 - probability) >> PROBABILITY_SHIFT));
            return 1;
        }
        m_range -= bound;
        m_code -= bound;
        probability = static_cast<std::uint16_t>(probability - (probability >> PROBABILITY_SHIFT));
        return 0;
    }
    std::uint32_t tree(std::uint16_t* probabilities, int bits) {
        std::uint32_t node = 1;
        for (int index = 0; index < bits; ++index) {
            node = 2 * node + static_cast<std::uint32_t>(bit(probabilities[node]));
        }
        return node - (std::uint32_t(1) << bits);
    }
    std::uint32_t directBits(int count) {
        while (m_directCount < count) {
            m_directBits = (m_directBits << 8) | nextByte(m_directStream, false);
            m_directCount += 8;
        }
        m_directCount -= count;
        return static_cast<std::uint32_t>((m_directBits >> m_directCount) &
                                          ((std::uint64_t(1) << count) - 1));
    }
    std::uint64_t readInteger() {
        const int bits = static_cast<int>(directBits(5));
        if (bits == 0) {
            return directBits(1);
        }
        return (std::uint64_t(1) << bits) + directBits(bits);
    }

    std::size_t lengthValue();
    std::size_t length();
    std::uint64_t distanceValue(std::size_t lengthValue);

    void append(std::uint8_t byte) {
        m_window[m_windowPosition] = byte;
        if (++m_windowPosition == m_windowSize) {
            m_windowPosition = 0;
        }
        m_output[m_produced++] = byte;
    }
    void copy(std::uint64_t distance, std::size_t count, std::size_t& blockProduced);
    std::size_t checkedBlockSize(std::uint64_t size) const;

    std::size_t decodeLzSection();
    std::size_t decodeEntropyBlock();
    std::size_t decodeStoredBlock();
    std::size_t decodeDeltaBlock(int channels);
    void invertExeFilter(std::uint8_t* block, std::size_t size) const;
    void invertTextFilter(std::uint8_t* block, std::size_t size);
    void checkNothingLeft();

    const std::uint8_t* m_payload;
    std::size_t m_payloadLength;
    std::uint8_t* m_output;
    std::size_t m_outputLength;
    std::size_t m_produced = 0;

    std::uint32_t m_chunkSize = 0;
    std::size_t m_rawBlockSize = 0;
    TChunkStream m_rangeStream;
    TChunkStream m_directStream;
    std::uint32_t m_range = 0;
    std::uint32_t m_code = 0;
    std::uint64_t m_directBits = 0;
    int m_directCount = 0;

    std::uint64_t m_windowSize = 0; // the stream's window size W: positions wrap at it
    // min(W, output length) bytes: a shorter output never wraps. Left uninitialised, so that
    // pages a stream never reaches cost nothing; no byte is read before it was written.
    std::unique_ptr<std::uint8_t[]> m_window;
    std::uint64_t m_windowPosition = 0;
    std::vector<std::uint8_t> m_scratch;

    std::vector<std::uint16_t> m_probabilities;
    std::uint16_t* m_packetKind = nullptr;
    std::uint16_t* m_literal = nullptr;
    std::uint16_t* m_repIndex = nullptr;
    std::uint16_t* m_distanceSlot = nullptr;
    std::uint16_t* m_lengthClass = nullptr;
    std::uint16_t* m_shortLength = nullptr;
    std::uint16_t* m_middleLength = nullptr;
    std::uint16_t* m_longLength = nullptr;
    std::uint16_t* m_distanceLow = nullptr;
    std::uint16_t* m_lengthContinues = nullptr;
    std::uint16_t* m_runFlag = nullptr;
    std::uint16_t* m_deltaLiteral = nullptr;

    unsigned m_state = 0;
    std::uint8_t m_context = 0;
    std::uint64_t m_rep[4] = {0, 0, 0, 0};
};

// Finds the next chunk of the wanted stream after the last one taken and makes it current;
// false when there is none. Chunks of the other stream are skipped, headers are checked.
bool TCscDecoder::takeChunk(TChunkStream& stream, bool rangeCoder) {
    while (stream.scan < m_payloadLength) {
        const std::uint8_t flags = m_payload[stream.scan];
        std::size_t header = 1;
        std::size_t length = m_chunkSize;
        if ((flags & CHUNK_FULL) == 0) {
            header = 4;
            if (m_payloadLength - stream.scan < header) {
                throw TDecompressionError();
            }
            length = readBigEndian(m_payload + stream.scan + 1, 3);
            if (length > m_chunkSize) {
                throw TDecompressionError();
            }
        }
        if (length > m_payloadLength - stream.scan - header) {
            throw TDecompressionError();
        }
        const std::uint8_t* data = m_payload + stream.scan + header;
        stream.scan += header + length;
        if (((flags & CHUNK_RANGE_CODER) != 0) == rangeCoder) {
            stream.position = data;
            stream.end = data + length;
            return true;
        }
    }
    return false;
}

// Inside a segment, a stream simply goes on in its next chunk (empty chunks are passed over).
void TCscDecoder::refill(TChunkStream& stream, bool rangeCoder) {
    do {
        if (!takeChunk(stream, rangeCoder)) {
            throw TDecompressionError();
        }
    } while (stream.position == stream.end);
}

// A coder reset drops the rest of the current chunk and goes on with the next one. A chunk that
// was read to its very end counts as already left behind (the writer fetches ahead), so the
// chunk after it, possibly an empty one closing the segment, is dropped as well.
void TCscDecoder::restartStream(TChunkStream& stream, bool rangeCoder) {
    if (stream.position == stream.end) {
        takeChunk(stream, rangeCoder);
    }
    if (!takeChunk(stream, rangeCoder)) {
        throw TDecompressionError();
    }
}

void TCscDecoder::startRangeCoder() {
    m_range = 0xFFFFFFFFu;
    nextByte(m_rangeStream, true);
    m_code = 0;
    for (int index = 0; index < 4; ++index) {
        m_code = (m_code << 8) | nextByte(m_rangeStream, true);
    }
}

void TCscDecoder::resetCoders() {
    restartStream(m_rangeStream, true);
    restartStream(m_directStream, false);
    m_directBits = 0;
    m_directCount = 0;
    startRangeCoder();
}

std::size_t TCscDecoder::lengthValue() {
    if (!bit(m_lengthClass[0])) {
        return tree(m_shortLength, 3);
    }
    if (!bit(m_lengthClass[1])) {
        return 8 + tree(m_middleLength, 3);
    }
    return 16 + tree(m_longLength, 7);
}

std::size_t TCscDecoder::length() {
    const std::size_t value = lengthValue();
    if (value != LONG_LENGTH) {
        return value;
    }
    std::size_t total = LONG_LENGTH;
    while (!bit(m_lengthContinues[0])) {
        total += LONG_LENGTH;
        // No copy or run is longer than a block; this also bounds the loop.
        if (total > m_rawBlockSize) {
            throw TDecompressionError();
        }
    }
    return total + lengthValue();
}

std::uint64_t TCscDecoder::distanceValue(std::size_t lengthValue) {
    const std::size_t tree_ = std::min<std::size_t>(lengthValue, 6);
    const std::uint32_t slot = tree(m_distanceSlot + DISTANCE_TREE_OFFSET[tree_], DISTANCE_TREE_BITS[tree_]);
    if (slot <= 2) {
        return slot;
    }
    const std::uint32_t extra = slot - 2;
    const std::uint64_t high = extra > 4 ? directBits(static_cast<int>(extra - 4)) : 0;
    const std::uint32_t low = tree(m_distanceLow + (extra - 1) * 16, 4);
    const std::uint32_t reversed = ((low & 1) << 3) | ((low & 2) << 1) | ((low & 4) >> 1) | ((low & 8) >> 3);
    return (std::uint64_t(1) << (slot - 2)) + 1 + high * 16 + reversed;
}

void TCscDecoder::copy(std::uint64_t distance, std::size_t count, std::size_t& blockProduced) {
    if (distance == 0 || distance > m_produced || distance > m_windowSize ||
        count > m_rawBlockSize - blockProduced || count > m_outputLength - m_produced) {
        throw TDecompressionError();
    }
    const std::uint64_t source = m_windowPosition >= distance ? m_windowPosition - distance
                                                              : m_windowPosition + m_windowSize - distance;
    // Neither run may cross the window's end.
    if (source + count > m_windowSize || m_windowPosition + count > m_windowSize) {
        throw TDecompressionError();
    }
    // Forward, byte by byte within the window (a short distance repeats what was just written),
    // then the same bytes to the output. Neither run wraps (checked above).
    std::uint8_t* to = m_window.get() + m_windowPosition;
    const std::uint8_t* from = m_window.get() + source;
    if (distance >= count) {
        std::memcpy(to, from, count);
    } else {
        for (std::size_t index = 0; index < count; ++index) {
            to[index] = from[index];
        }
    }
    std::memcpy(m_output + m_produced, to, count);
    m_produced += count;
    m_windowPosition += count;
    if (m_windowPosition == m_windowSize) {
        m_windowPosition = 0;
    }
    m_context = m_output[m_produced - 1];
    blockProduced += count;
}

std::size_t TCscDecoder::checkedBlockSize(std::uint64_t size) const {
    if (size > m_rawBlockSize || size > m_outputLength - m_produced) {
        throw TDecompressionError();
    }
    return static_cast<std::size_t>(size);
}

std::size_t TCscDecoder::decodeLzSection() {
    std::size_t produced = 0;
    while (true) {
        std::uint16_t* kind = m_packetKind + m_state * 3;
        if (!bit(kind[0])) {
            if (produced >= m_rawBlockSize || m_produced >= m_outputLength) {
                throw TDecompressionError();
            }
            const auto byte = static_cast<std::uint8_t>(tree(m_literal + m_context * 256, 8));
            append(byte);
            m_context = byte;
            m_state = (m_state * 4) & 63;
            ++produced;
        } else if (bit(kind[1])) {
            const std::size_t lengthValue_ = length();
            const std::uint64_t distance = distanceValue(lengthValue_);
            m_state = (m_state * 4 + 1) & 63;
            if (lengthValue_ == 0 && distance == END_MARKER_DISTANCE) {
                return produced;
            }
            m_rep[3] = m_rep[2];
            m_rep[2] = m_rep[1];
            m_rep[1] = m_rep[0];
            m_rep[0] = distance + 1;
            copy(m_rep[0], lengthValue_ + MIN_MATCH, produced);
        } else if (!bit(kind[2])) {
            m_state = (m_state * 4 + 2) & 63;
            copy(m_rep[0], 1, produced);
        } else {
            std::uint16_t* rep = m_repIndex + m_state * 3;
            const int high = bit(rep[0]);
            const int low = bit(rep[1 + high]);
            const int index = high * 2 + low;
            const std::size_t count = length() + MIN_MATCH;
            m_state = (m_state * 4 + 3) & 63;
            const std::uint64_t distance = m_rep[index];
            for (int move = index; move > 0; --move) {
                m_rep[move] = m_rep[move - 1];
            }
            m_rep[0] = distance;
            copy(distance, count, produced);
        }
    }
}

std::size_t TCscDecoder::decodeEntropyBlock() {
    const std::size_t size = checkedBlockSize(readInteger());
    for (std::size_t index = 0; index < size; ++index) {
        const auto byte = static_cast<std::uint8_t>(tree(m_literal + m_context * 256, 8));
        append(byte);
        m_context = byte;
    }
    return size;
}

std::size_t TCscDecoder::decodeStoredBlock() {
    const std::size_t size = checkedBlockSize(readInteger());
    for (std::size_t index = 0; index < size; ++index) {
        append(static_cast<std::uint8_t>(directBits(8)));
    }
    return size;
}

std::size_t TCscDecoder::decodeDeltaBlock(int channels) {
    const std::size_t size = checkedBlockSize(readInteger());
    m_scratch.resize(size);
    std::uint8_t* coded = m_scratch.data();
    std::size_t produced = 0;
    std::uint8_t context = 0;
    while (produced < size) {
        if (!bit(m_runFlag[0])) {
            const auto byte = static_cast<std::uint8_t>(tree(m_deltaLiteral + context * 256, 8));
            coded[produced++] = byte;
            context = byte;
        } else {
            const std::size_t run = length() + MIN_RUN;
            if (produced == 0) {
                throw TDecompressionError();
            }
            const std::uint8_t byte = coded[produced - 1];
            const std::size_t count = std::min(run, size - produced);
            std::memset(coded + produced, byte, count);
            produced += count;
            context = byte;
        }
    }
    if (size < DELTA_MIN_BLOCK) {
        for (std::size_t index = 0; index < size; ++index) {
            append(coded[index]);
        }
        return size;
    }
    // The coded block lists the bytes channel by channel, each as the difference to the byte
    // listed before it.
    std::uint8_t* block = m_output + m_produced;
    std::uint8_t previous = 0;
    std::size_t next = 0;
    for (int channel = 0; channel < channels; ++channel) {
        for (std::size_t index = static_cast<std::size_t>(channel); index < size;
             index += static_cast<std::size_t>(channels)) {
            previous = static_cast<std::uint8_t>(coded[next++] + previous);
            block[index] = previous;
        }
    }
    for (std::size_t index = 0; index < size; ++index) {
        append(block[index]);
    }
    return size;
}

// Call and jump operands (E8/E9 followed by 4 bytes whose last is 00 or FF) were made absolute
// and their bytes permuted; this restores the relative form.
void TCscDecoder::invertExeFilter(std::uint8_t* block, std::size_t size) const {
    std::size_t next = 0;
    for (std::size_t at = 0; at + 5 < size; ++at) {
        if (at < next || (block[at] != 0xE8 && block[at] != 0xE9)) {
            continue;
        }
        next = at + 4;
        const std::uint8_t last = block[at + 4];
        if (last != 0x00 && last != 0xFF) {
            continue;
        }
        const std::uint32_t value = (std::uint32_t(block[at + 1]) << 17) |
                                    (std::uint32_t(block[at + 2]) << 9) |
                                    (std::uint32_t(block[at + 3]) << 1) | (last == 0x00 ? 1u : 0u);
        const std::uint32_t relative = (value - static_cast<std::uint32_t>(at + 5)) & 0x1FFFFFFu;
        block[at + 1] = static_cast<std::uint8_t>(relative);
        block[at + 2] = static_cast<std::uint8_t>(relative >> 8);
        block[at + 3] = static_cast<std::uint8_t>(relative >> 16);
        block[at + 4] = relative < (1u << 24) ? 0xFF : 0x00;
    }
}

// Symbols 0x82 to 0xFB stand for common words; 0xFE escapes a literal byte of that range.
void TCscDecoder::invertTextFilter(std::uint8_t* block, std::size_t size) {
    m_scratch.assign(block, block + size);
    const std::uint8_t* coded = m_scratch.data();
    std::size_t read = 0;
    std::size_t written = 0;
    while (written < size) {
        if (read >= size) {
            throw TDecompressionError();
        }
        const std::uint8_t symbol = coded[read];
        if (symbol >= WORD_FIRST && symbol <= WORD_LAST) {
            const char* word = WORDS[symbol - WORD_FIRST];
            const std::size_t count = std::min(std::strlen(word), size - written);
            std::memcpy(block + written, word, count);
            written += count;
            read += 1;
        } else if (symbol == WORD_ESCAPE && read + 1 < size && coded[read + 1] >= WORD_FIRST) {
            block[written++] = coded[read + 1];
            read += 2;
        } else {
            block[written++] = symbol;
            read += 1;
        }
    }
}

// Every chunk must have been used: data left behind means the stream is not what it claims.
void TCscDecoder::checkNothingLeft() {
    for (TChunkStream* stream : {&m_rangeStream, &m_directStream}) {
        const bool rangeCoder = stream == &m_rangeStream;
        while (takeChunk(*stream, rangeCoder)) {
            if (stream->position != stream->end) {
                throw TDecompressionError();
            }
        }
    }
    if (m_produced != m_outputLength) {
        throw TDecompressionError();
    }
}

void TCscDecoder::run() {
    if (m_payloadLength < PROPERTY_SIZE) {
        throw TDecompressionError();
    }
    m_windowSize = readBigEndian(m_payload, 4);
    m_chunkSize = readBigEndian(m_payload + 4, 3);
    m_rawBlockSize = readBigEndian(m_payload + 7, 3);
    if (m_windowSize < MIN_WINDOW || m_windowSize > MAX_WINDOW || m_chunkSize == 0 || m_rawBlockSize == 0) {
        throw TDecompressionError();
    }
    m_window.reset(
        new std::uint8_t[static_cast<std::size_t>(std::min<std::uint64_t>(m_windowSize, m_outputLength))]);

    // One allocation for every model; all probabilities start at one half.
    constexpr std::size_t KINDS = 64 * 3, LITERALS = 256 * 256, REPS = 64 * 3,
                          LOWS = DISTANCE_SLOTS_WITH_LOW_BITS * 16;
    m_probabilities.assign(KINDS + LITERALS + REPS + DISTANCE_TREE_SIZE + 2 + 8 + 8 + 128 + LOWS + 1 + 1 +
                               LITERALS,
                           PROBABILITY_START);
    std::uint16_t* next = m_probabilities.data();
    auto take = [&next](std::size_t count) {
        std::uint16_t* part = next;
        next += count;
        return part;
    };
    m_packetKind = take(KINDS);
    m_literal = take(LITERALS);
    m_repIndex = take(REPS);
    m_distanceSlot = take(DISTANCE_TREE_SIZE);
    m_lengthClass = take(2);
    m_shortLength = take(8);
    m_middleLength = take(8);
    m_longLength = take(128);
    m_distanceLow = take(LOWS);
    m_lengthContinues = take(1);
    m_runFlag = take(1);
    m_deltaLiteral = take(LITERALS);

    if (!takeChunk(m_rangeStream, true) || !takeChunk(m_directStream, false)) {
        throw TDecompressionError();
    }
    startRangeCoder();

    while (true) {
        const std::uint64_t type = readInteger();
        const std::size_t blockStart = m_produced;
        std::size_t size = 0;
        if (type == BLOCK_END) {
            break;
        } else if (type == BLOCK_NORMAL || type == BLOCK_EXE) {
            size = decodeLzSection();
            if (type == BLOCK_EXE) {
                invertExeFilter(m_output + blockStart, size);
            }
        } else if (type == BLOCK_TEXT) {
            readInteger(); // the block size, known from the LZ section as well
            size = decodeLzSection();
            invertTextFilter(m_output + blockStart, size);
        } else if (type == BLOCK_ENTROPY) {
            size = decodeEntropyBlock();
        } else if (type == BLOCK_STORED) {
            size = decodeStoredBlock();
        } else if (type >= BLOCK_DELTA_FIRST && type <= BLOCK_DELTA_LAST) {
            size = decodeDeltaBlock(DELTA_CHANNELS[type - BLOCK_DELTA_FIRST]);
        } else {
            throw TDecompressionError();
        }
        if (size == 0) {
            // The writer never makes an empty block; the stream ends here.
            break;
        }
        if (readInteger() == FLAG_CODER_RESET) {
            resetCoders();
        }
    }
    checkNothingLeft();
}

} // namespace

void decodeCsc(const std::uint8_t* payload, std::size_t payloadLength, std::uint8_t* output,
               std::size_t outputLength) {
    TCscDecoder(payload, payloadLength, output, outputLength).run();
}

} // namespace shared
