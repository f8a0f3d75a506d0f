#include "launcher/installation/chunking.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace quarn {
namespace launcher {

namespace {

constexpr quint64 AVERAGE_MIN = 256;
constexpr quint64 AVERAGE_MAX = 268435456;
constexpr quint64 MINIMUM_MAX = 67108864;
constexpr quint64 MAXIMUM_MIN = 1024;

// The rolling hash's table, indexed by byte value. Part of the exchanged format: every value is
// below 2^31, so the hash never overflows, and none has its low 8 bits clear.
constexpr quint32 TABLE[256] = {
    0x5C95C078, 0x22408989, 0x2D48A214, 0x12842087, 0x530F8AFB, 0x474536B9, 0x2963B4F1, 0x44CB738B,
    0x4EA7403D, 0x4D606B6E, 0x074EC5D3, 0x3AF39D18, 0x726003CA, 0x37A62A74, 0x51A2F58E, 0x7506358E,
    0x5D4AB128, 0x4D4AE17B, 0x41E85924, 0x470C36F7, 0x4741CBE1, 0x01BB7F30, 0x617C1DE3, 0x2B0C3A1F,
    0x50C48F73, 0x21A82D37, 0x6095ACE0, 0x419167A0, 0x3CAF49B0, 0x40CEA62D, 0x66BC1C66, 0x545E1DAD,
    0x2BFA77CD, 0x6E85DA24, 0x5FB0BDC5, 0x652CFC29, 0x3A0AE1AB, 0x2837E0F3, 0x6387B70E, 0x13176012,
    0x4362C2BB, 0x66D8F4B1, 0x37FCE834, 0x2C9CD386, 0x21144296, 0x627268A8, 0x650DF537, 0x2805D579,
    0x3B21EBBD, 0x7357ED34, 0x3F58B583, 0x7150DDCA, 0x7362225E, 0x620A6070, 0x2C5EF529, 0x7B522466,
    0x768B78C0, 0x4B54E51E, 0x75FA07E5, 0x06A35FC6, 0x30B71024, 0x1C8626E1, 0x296AD578, 0x28D7BE2E,
    0x1490A05A, 0x7CEE43BD, 0x698B56E3, 0x09DC0126, 0x4ED6DF6E, 0x02C1BFC7, 0x2A59AD53, 0x29C0E434,
    0x7D6C5278, 0x507940A7, 0x5EF6BA93, 0x68B6AF1E, 0x46537276, 0x611BC766, 0x155C587D, 0x301BA847,
    0x2CC9DDA7, 0x0A438E2C, 0x0A69D514, 0x744C72D3, 0x4F326B9B, 0x7EF34286, 0x4A0EF8A7, 0x6AE06EBE,
    0x669C5372, 0x12402DCB, 0x5FEAE99D, 0x76C7F4A7, 0x6ABDB79C, 0x0DFAA038, 0x20E2282C, 0x730ED48B,
    0x069DAC2F, 0x168ECF3E, 0x2610E61F, 0x2C512C8E, 0x15FB8C06, 0x5E62BC76, 0x69555135, 0x0ADB864C,
    0x4268F914, 0x349AB3AA, 0x20EDFDB2, 0x51727981, 0x37B4B3D8, 0x5DD17522, 0x6B2CBFE4, 0x5C47CF9F,
    0x30FA1CCD, 0x23DEDB56, 0x13D1F50A, 0x64EDDEE7, 0x0820B0F7, 0x46E07308, 0x1E2D1DFD, 0x17B06C32,
    0x250036D8, 0x284DBF34, 0x68292EE0, 0x362EC87C, 0x087CB1EB, 0x76B46720, 0x104130DB, 0x71966387,
    0x482DC43F, 0x2388EF25, 0x524144E1, 0x44BD834E, 0x448E7DA3, 0x3FA6EAF9, 0x3CDA215C, 0x3A500CF3,
    0x395CB432, 0x5195129F, 0x43945F87, 0x51862CA4, 0x56EA8FF1, 0x201034DC, 0x4D328FF5, 0x7D73A909,
    0x6234D379, 0x64CFBF9C, 0x36F6589A, 0x0A2CE98A, 0x5FE4D971, 0x03BC15C5, 0x44021D33, 0x16C1932B,
    0x37503614, 0x1ACAF69D, 0x3F03B779, 0x49E61A03, 0x1F52D7EA, 0x1C6DDD5C, 0x062218CE, 0x07E7A11A,
    0x1905757A, 0x7CE00A53, 0x49F44F29, 0x4BCC70B5, 0x39FEEA55, 0x5242CEE8, 0x3CE56B85, 0x00B81672,
    0x46BEECCC, 0x3CA0AD56, 0x2396CEE8, 0x78547F40, 0x6B08089B, 0x66A56751, 0x781E7E46, 0x1E2CF856,
    0x3BC13591, 0x494A4202, 0x520494D7, 0x2D87459A, 0x757555B6, 0x42284CC1, 0x1F478507, 0x75C95DFF,
    0x35FF8DD7, 0x4E4757ED, 0x2E11F88C, 0x5E1B5048, 0x420E6699, 0x226B0695, 0x4D1679B4, 0x5A22646F,
    0x161D1131, 0x125C68D9, 0x1313E32E, 0x4AA85724, 0x21DC7EC1, 0x4FFA29FE, 0x72968382, 0x1CA8EEF3,
    0x3F3B1C28, 0x39C2FB6C, 0x6D76493F, 0x7A22A62E, 0x789B1C2A, 0x16E0CB53, 0x7DECEEEB, 0x0DC7E1C6,
    0x5C75BF3D, 0x52218333, 0x106DE4D6, 0x7DC64422, 0x65590FF4, 0x2C02EC30, 0x64A9AC67, 0x59CAB2E9,
    0x4A21D2F3, 0x0F616E57, 0x23B54EE8, 0x02730AAA, 0x2F3C634D, 0x7117FC6C, 0x01AC6F05, 0x5A9ED20C,
    0x158C4E2A, 0x42B699F0, 0x0C7C14B3, 0x02BD9641, 0x15AD56FC, 0x1C722F60, 0x7DA1AF91, 0x23E0DBCB,
    0x0E93E12B, 0x64B2791D, 0x440D2476, 0x588EA8DD, 0x4665A658, 0x7446C418, 0x1877A774, 0x5626407E,
    0x7F63BD46, 0x32D2DBD8, 0x3C790F4A, 0x772B7239, 0x6F8B2826, 0x677FF609, 0x0DC82C11, 0x23FFE354,
    0x2EAC53A6, 0x16139E09, 0x0AFD0DBC, 0x2A4D4237, 0x56A368C7, 0x234325E4, 0x2DCE9187, 0x32E8EA7E,
};

// Bytes read per refill, as a multiple of the average.
constexpr quint64 READ_FACTOR = 16;
// Working buffers up to this size stay with the thread for its next call.
constexpr quint64 REUSED_BUFFER_LIMIT = 18 * DEFAULT_CHUNK_AVERAGE;

// Continues the hash over data[from, to) one byte after the other and returns the offset just
// after the first byte at which (hash & mask) == 0, or 0 when there is none.
inline quint64 findHitSerial(const unsigned char* data, quint64 from, quint64 to, quint32& hash,
                             quint32 mask) {
    quint32 h = hash;
    for (quint64 i = from; i < to; ++i) {
        h = (h >> 1) + TABLE[data[i]];
        if ((h & mask) == 0) {
            hash = h;
            return i + 1;
        }
    }
    hash = h;
    return 0;
}

// The same search, several times faster on long ranges. Each byte's update depends on the previous
// hash (one shift and one addition), so a single chain is bound by that latency. Here a round covers
// LANES consecutive segments at once: lane 0 continues the true hash; every other lane guesses its
// segment's starting hash by hashing the warmup bytes before the segment from 0 (after 32 bytes
// the guess is off by at most 1, and soon not at all). A guess counts only when it equals the true
// hash that the previous lane reaches at the segment's start, and then that lane computed exactly
// the true hashes; a wrong guess, or any hit outside lane 0, is settled by the serial loop from the
// last true hash. The result is therefore always that of findHitSerial.
constexpr quint64 LANES = 4;
constexpr quint64 SEGMENT = 4096;
constexpr quint64 ROUND = LANES * SEGMENT;

} // namespace

namespace chunkingdetail {

quint64 findHit(const unsigned char* data, quint64 from, quint64 to, quint32& hash, quint32 mask,
                quint64 warmup) {
    warmup = std::min(warmup, SEGMENT);
    quint64 i = from;
    quint32 trueHash = hash;
    while (to - i >= ROUND) {
        const unsigned char* const base = data + i;
        quint32 guess[LANES];
        quint32 h[LANES];
        guess[0] = trueHash;
        for (quint64 lane = 1; lane < LANES; ++lane) {
            const unsigned char* const start = base + lane * SEGMENT;
            quint32 g = 0;
            for (quint64 k = warmup; k > 0; --k) {
                g = (g >> 1) + TABLE[*(start - k)];
            }
            guess[lane] = g;
        }
        quint64 k = 0;
        bool settle = false;
        static_assert(LANES == 4, "the loop below is written out for four lanes");
        const unsigned char* const p0 = base;
        const unsigned char* const p1 = base + SEGMENT;
        const unsigned char* const p2 = base + 2 * SEGMENT;
        const unsigned char* const p3 = base + 3 * SEGMENT;
        quint32 h0 = guess[0];
        quint32 h1 = guess[1];
        quint32 h2 = guess[2];
        quint32 h3 = guess[3];
        for (; k < SEGMENT; ++k) {
            h0 = (h0 >> 1) + TABLE[p0[k]];
            h1 = (h1 >> 1) + TABLE[p1[k]];
            h2 = (h2 >> 1) + TABLE[p2[k]];
            h3 = (h3 >> 1) + TABLE[p3[k]];
            if ((h0 & mask) == 0) {
                hash = h0;
                return i + k + 1;
            }
            // One test and branch per lane: the cheapest form while hits are rare.
            if ((h1 & mask) == 0 || (h2 & mask) == 0 || (h3 & mask) == 0) {
                settle = true;
                break;
            }
        }
        h[0] = h0;
        h[1] = h1;
        h[2] = h2;
        h[3] = h3;
        const quint64 roundEnd = i + ROUND;
        // Resume serially at the first lane whose guess the true hash at its start does not
        // confirm; the lanes before it computed true hashes and found no hit.
        quint64 resume = LANES;
        trueHash = h[0];
        if (settle) {
            resume = 0; // h[0] is the true hash after byte i + k
        } else {
            for (quint64 lane = 1; lane < LANES && resume == LANES; ++lane) {
                if (h[lane - 1] != guess[lane]) {
                    resume = lane;
                } else {
                    trueHash = h[lane];
                }
            }
        }
        if (resume < LANES) {
            const quint64 resumeAt = settle ? i + k + 1 : i + resume * SEGMENT;
            if (const quint64 cut = findHitSerial(data, resumeAt, roundEnd, trueHash, mask)) {
                hash = trueHash;
                return cut;
            }
        }
        i = roundEnd;
    }
    hash = trueHash;
    return findHitSerial(data, i, to, hash, mask);
}

const quint32* table() {
    return TABLE;
}

} // namespace chunkingdetail

namespace {

inline quint64 findHit(const unsigned char* data, quint64 from, quint64 to, quint32& hash, quint32 mask) {
    return chunkingdetail::findHit(data, from, to, hash, mask, chunkingdetail::DEFAULT_WARMUP);
}

// The length of the chunk that starts at data, given pending available bytes (at least maximum
// whenever more data may follow).
quint64 cutLength(const unsigned char* data, quint64 pending, const TChunkingParameters& parameters) {
    if (pending <= parameters.minimum) {
        return pending;
    }
    const quint64 limit = std::min(pending, parameters.maximum);
    const quint64 normalEnd = std::max(std::min(parameters.normalSize, limit), parameters.minimum);
    quint32 hash = 0;
    if (const quint64 cut = findHit(data, parameters.minimum, normalEnd, hash, parameters.smallChunkMask)) {
        return cut;
    }
    if (const quint64 cut = findHit(data, normalEnd, limit, hash, parameters.largeChunkMask)) {
        return cut;
    }
    return limit;
}

struct TWorkingBuffer {
    std::unique_ptr<char[]> data;
    quint64 size = 0;
};

// Returns a buffer of at least size bytes. The contents are never read before they are written, so
// the buffer is not cleared.
char* workingBuffer(quint64 size, TWorkingBuffer& local) {
    thread_local TWorkingBuffer reused;
    TWorkingBuffer& buffer = size <= REUSED_BUFFER_LIMIT ? reused : local;
    if (buffer.size < size) {
        buffer.data.reset();
        buffer.data.reset(new char[size]);
        buffer.size = size;
    }
    return buffer.data.get();
}

} // namespace

TChunkingParameters TChunkingParameters::derive(quint64 average) {
    if (average < AVERAGE_MIN) {
        throw std::invalid_argument("average < AVERAGE_MIN");
    }
    if (average > AVERAGE_MAX) {
        throw std::invalid_argument("average > AVERAGE_MAX");
    }
    TChunkingParameters parameters;
    parameters.average = average;
    parameters.minimum = average / 2;
    parameters.maximum = 2 * average;
    if (parameters.minimum > MINIMUM_MAX) {
        throw std::invalid_argument("minimum > MINIMUM_MAX");
    }
    if (parameters.maximum < MAXIMUM_MIN) {
        throw std::invalid_argument("maximum < MAXIMUM_MIN");
    }
    if (parameters.maximum - parameters.minimum < average) {
        throw std::invalid_argument("maximum - minimum < average");
    }
    // log2 of an integer is never exactly halfway between two integers, so rounding is unambiguous.
    parameters.bits = static_cast<int>(std::lround(std::log2(static_cast<double>(average))));
    if (parameters.bits < 8) {
        throw std::invalid_argument("average must be at least 8 bits");
    }
    if (parameters.bits > 28) {
        throw std::invalid_argument("average must be at most 28 bits");
    }
    parameters.smallChunkMask = (quint32(1) << (parameters.bits + 1)) - 1;
    parameters.largeChunkMask = (quint32(1) << (parameters.bits - 1)) - 1;
    const quint64 normalOffset = parameters.minimum + (parameters.minimum + 1) / 2;
    parameters.normalSize = normalOffset > average ? 0 : average - normalOffset;
    return parameters;
}

void splitIntoChunks(quint64 average, const TChunkSource& source, const TChunkCallback& callback) {
    const TChunkingParameters parameters = TChunkingParameters::derive(average);
    const quint64 maximum = parameters.maximum;
    const quint64 readArea = READ_FACTOR * average;
    TWorkingBuffer local;
    char* const buffer = workingBuffer(maximum + readArea, local);
    const auto* const bytes = reinterpret_cast<const unsigned char*>(buffer);

    quint64 pending = 0;
    quint64 start = 0;
    bool moreData = true;
    for (;;) {
        if (moreData && pending < maximum) {
            // The unconsumed tail moves to end exactly at offset maximum; new data follows it. The
            // read area is filled completely unless the input ends, so the window holds at least
            // maximum bytes whenever more data may follow, whatever sizes the reads return.
            std::memmove(buffer + maximum - pending, buffer + start, pending);
            start = maximum - pending;
            quint64 filled = 0;
            while (filled < readArea) {
                const qint64 got = source(buffer + maximum + filled, static_cast<qint64>(readArea - filled));
                if (got <= 0) {
                    moreData = false;
                    break;
                }
                filled += std::min(static_cast<quint64>(got), readArea - filled);
            }
            pending += filled;
        }
        if (pending == 0) {
            return;
        }
        const quint64 length = cutLength(bytes + start, pending, parameters);
        callback(buffer + start, length);
        start += length;
        pending -= length;
    }
}

void splitIntoChunks(quint64 average, const std::string& path, const TChunkCallback& callback) {
    TChunkingParameters::derive(average); // validation comes before the file is opened
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return;
    }
    splitIntoChunks(
        average,
        [&file](char* buffer, qint64 maxSize) -> qint64 {
            file.read(buffer, maxSize);
            return file.gcount();
        },
        callback);
}

} // namespace launcher
} // namespace quarn
