#include "shared/zpaqdecoder.h"

#include "shared/compressionhelper.h"

#include <openssl/evp.h>

#ifdef Q_OS_UNIX
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace shared {

namespace {

[[noreturn]] void fail() {
    throw TDecompressionError();
}

// Locator tag in front of a block; the block itself starts with "zPQ".
const quint8 BLOCK_TAG[13] = {0x37, 0x6B, 0x53, 0x74, 0xA0, 0x31, 0x83, 0xD3, 0x8C, 0xB2, 0x28, 0xB0, 0xD3};

enum EComponentType : quint8 {
    COMPONENT_CONST = 1,
    COMPONENT_CM = 2,
    COMPONENT_ICM = 3,
    COMPONENT_MATCH = 4,
    COMPONENT_AVG = 5,
    COMPONENT_MIX2 = 6,
    COMPONENT_MIX = 7,
    COMPONENT_ISSE = 8,
    COMPONENT_SSE = 9,
};

// Bit-history states: next state after a 0 and after a 1, and the counts of zeros and ones the
// state stands for (state 255 is never reached).
struct TBitHistoryState {
    quint8 next0;
    quint8 next1;
    quint8 zeros;
    quint8 ones;
};

const TBitHistoryState BIT_HISTORY_STATES[256] = {
    {1, 2, 0, 0},      {3, 5, 1, 0},      {4, 6, 0, 1},     {7, 9, 2, 0},     {8, 11, 1, 1},
    {8, 11, 1, 1},     {10, 12, 0, 2},    {13, 15, 3, 0},   {14, 17, 2, 1},   {14, 17, 2, 1},
    {16, 19, 1, 2},    {16, 19, 1, 2},    {18, 20, 0, 3},   {21, 23, 4, 0},   {22, 25, 3, 1},
    {22, 25, 3, 1},    {24, 27, 2, 2},    {24, 27, 2, 2},   {26, 29, 1, 3},   {26, 29, 1, 3},
    {28, 30, 0, 4},    {31, 33, 5, 0},    {32, 35, 4, 1},   {32, 35, 4, 1},   {34, 37, 3, 2},
    {34, 37, 3, 2},    {36, 39, 2, 3},    {36, 39, 2, 3},   {38, 41, 1, 4},   {38, 41, 1, 4},
    {40, 42, 0, 5},    {43, 33, 6, 0},    {44, 47, 5, 1},   {44, 47, 5, 1},   {46, 49, 4, 2},
    {46, 49, 4, 2},    {48, 51, 3, 3},    {48, 51, 3, 3},   {50, 53, 2, 4},   {50, 53, 2, 4},
    {52, 55, 1, 5},    {52, 55, 1, 5},    {40, 56, 0, 6},   {57, 45, 7, 0},   {58, 47, 6, 1},
    {58, 47, 6, 1},    {60, 63, 5, 2},    {60, 63, 5, 2},   {62, 65, 4, 3},   {62, 65, 4, 3},
    {64, 67, 3, 4},    {64, 67, 3, 4},    {66, 69, 2, 5},   {66, 69, 2, 5},   {52, 71, 1, 6},
    {52, 71, 1, 6},    {54, 72, 0, 7},    {73, 59, 8, 0},   {74, 61, 7, 1},   {74, 61, 7, 1},
    {76, 63, 6, 2},    {76, 63, 6, 2},    {78, 81, 5, 3},   {78, 81, 5, 3},   {80, 83, 4, 4},
    {80, 83, 4, 4},    {82, 85, 3, 5},    {82, 85, 3, 5},   {66, 87, 2, 6},   {66, 87, 2, 6},
    {68, 89, 1, 7},    {68, 89, 1, 7},    {70, 90, 0, 8},   {91, 59, 9, 0},   {92, 77, 8, 1},
    {92, 77, 8, 1},    {94, 79, 7, 2},    {94, 79, 7, 2},   {96, 81, 6, 3},   {96, 81, 6, 3},
    {98, 101, 5, 4},   {98, 101, 5, 4},   {100, 103, 4, 5}, {100, 103, 4, 5}, {82, 105, 3, 6},
    {82, 105, 3, 6},   {84, 107, 2, 7},   {84, 107, 2, 7},  {86, 109, 1, 8},  {86, 109, 1, 8},
    {70, 110, 0, 9},   {111, 59, 10, 0},  {112, 77, 9, 1},  {112, 77, 9, 1},  {114, 97, 8, 2},
    {114, 97, 8, 2},   {116, 99, 7, 3},   {116, 99, 7, 3},  {62, 101, 6, 4},  {62, 101, 6, 4},
    {80, 83, 5, 5},    {80, 83, 5, 5},    {100, 67, 4, 6},  {100, 67, 4, 6},  {102, 119, 3, 7},
    {102, 119, 3, 7},  {104, 121, 2, 8},  {104, 121, 2, 8}, {86, 123, 1, 9},  {86, 123, 1, 9},
    {70, 124, 0, 10},  {125, 59, 11, 0},  {126, 77, 10, 1}, {126, 77, 10, 1}, {128, 97, 9, 2},
    {128, 97, 9, 2},   {60, 63, 8, 3},    {60, 63, 8, 3},   {66, 69, 3, 8},   {66, 69, 3, 8},
    {104, 131, 2, 9},  {104, 131, 2, 9},  {86, 133, 1, 10}, {86, 133, 1, 10}, {70, 134, 0, 11},
    {135, 59, 12, 0},  {136, 77, 11, 1},  {136, 77, 11, 1}, {138, 97, 10, 2}, {138, 97, 10, 2},
    {104, 141, 2, 10}, {104, 141, 2, 10}, {86, 143, 1, 11}, {86, 143, 1, 11}, {70, 144, 0, 12},
    {145, 59, 13, 0},  {146, 77, 12, 1},  {146, 77, 12, 1}, {148, 97, 11, 2}, {148, 97, 11, 2},
    {104, 151, 2, 11}, {104, 151, 2, 11}, {86, 153, 1, 12}, {86, 153, 1, 12}, {70, 154, 0, 13},
    {155, 59, 14, 0},  {156, 77, 13, 1},  {156, 77, 13, 1}, {158, 97, 12, 2}, {158, 97, 12, 2},
    {104, 161, 2, 12}, {104, 161, 2, 12}, {86, 163, 1, 13}, {86, 163, 1, 13}, {70, 164, 0, 14},
    {165, 59, 15, 0},  {166, 77, 14, 1},  {166, 77, 14, 1}, {168, 97, 13, 2}, {168, 97, 13, 2},
    {104, 171, 2, 13}, {104, 171, 2, 13}, {86, 173, 1, 14}, {86, 173, 1, 14}, {70, 174, 0, 15},
    {175, 59, 16, 0},  {176, 77, 15, 1},  {176, 77, 15, 1}, {178, 97, 14, 2}, {178, 97, 14, 2},
    {104, 181, 2, 14}, {104, 181, 2, 14}, {86, 183, 1, 15}, {86, 183, 1, 15}, {70, 184, 0, 16},
    {185, 59, 17, 0},  {186, 77, 16, 1},  {186, 77, 16, 1}, {74, 97, 15, 2},  {74, 97, 15, 2},
    {104, 89, 2, 15},  {104, 89, 2, 15},  {86, 187, 1, 16}, {86, 187, 1, 16}, {70, 188, 0, 17},
    {189, 59, 18, 0},  {190, 77, 17, 1},  {86, 191, 1, 17}, {70, 192, 0, 18}, {193, 59, 19, 0},
    {194, 77, 18, 1},  {86, 195, 1, 18},  {70, 196, 0, 19}, {193, 59, 20, 0}, {197, 77, 19, 1},
    {86, 198, 1, 19},  {70, 196, 0, 20},  {199, 77, 20, 1}, {86, 200, 1, 20}, {201, 77, 21, 1},
    {86, 202, 1, 21},  {203, 77, 22, 1},  {86, 204, 1, 22}, {205, 77, 23, 1}, {86, 206, 1, 23},
    {207, 77, 24, 1},  {86, 208, 1, 24},  {209, 77, 25, 1}, {86, 210, 1, 25}, {211, 77, 26, 1},
    {86, 212, 1, 26},  {213, 77, 27, 1},  {86, 214, 1, 27}, {215, 77, 28, 1}, {86, 216, 1, 28},
    {217, 77, 29, 1},  {86, 218, 1, 29},  {219, 77, 30, 1}, {86, 220, 1, 30}, {221, 77, 31, 1},
    {86, 222, 1, 31},  {223, 77, 32, 1},  {86, 224, 1, 32}, {225, 77, 33, 1}, {86, 226, 1, 33},
    {227, 77, 34, 1},  {86, 228, 1, 34},  {229, 77, 35, 1}, {86, 230, 1, 35}, {231, 77, 36, 1},
    {86, 232, 1, 36},  {233, 77, 37, 1},  {86, 234, 1, 37}, {235, 77, 38, 1}, {86, 236, 1, 38},
    {237, 77, 39, 1},  {86, 238, 1, 39},  {239, 77, 40, 1}, {86, 240, 1, 40}, {241, 77, 41, 1},
    {86, 242, 1, 41},  {243, 77, 42, 1},  {86, 244, 1, 42}, {245, 77, 43, 1}, {86, 246, 1, 43},
    {247, 77, 44, 1},  {86, 248, 1, 44},  {249, 77, 45, 1}, {86, 250, 1, 45}, {251, 77, 46, 1},
    {86, 252, 1, 46},  {253, 77, 47, 1},  {86, 254, 1, 47}, {253, 77, 48, 1}, {86, 254, 1, 48},
    {0, 0, 0, 0},
};

// Fixed tables of the model, built once. The logistic functions are computed in double
// precision and checked against known checksums, so a platform whose exp/log round
// differently cannot decode into wrong data unnoticed.
struct TTables {
    qint16 stretch[32768];  // ln(p / (1 - p)) * 64 for a 15-bit probability, -710..710
    int squash[4096];       // inverse of stretch for -2048..2047 (index + 2048), 0..32767
    int learningRate[1024]; // CM and SSE adaption by count
    int matchStrength[256]; // MATCH confidence by match length
    quint8 next[256][2];
    int initialProbability[256]; // of a bit-history state, scaled by 2^23
    bool valid = false;
};

std::unique_ptr<TTables> buildTables() {
    auto tables = std::make_unique<TTables>();
    quint32 squashSum = 0;
    for (int x = 2047; x >= -2048; --x) {
        const int value = static_cast<int>(32768.0 / (1.0 + std::exp(-x / 64.0)));
        tables->squash[x + 2048] = value;
        squashSum = squashSum * 3 + static_cast<quint32>(value);
    }
    quint32 stretchSum = 0;
    for (int v = 32767; v >= 0; --v) {
        const int value = static_cast<int>(std::floor(64.0 * std::log((v + 0.5) / (32767.5 - v)) + 0.5));
        tables->stretch[v] = static_cast<qint16>(value);
        stretchSum = stretchSum * 3 + static_cast<quint32>(value);
    }
    for (int n = 0; n < 1024; ++n) {
        tables->learningRate[n] = (131072 / (2 * n + 3)) * 2;
    }
    tables->matchStrength[0] = 0;
    for (int length = 1; length < 256; ++length) {
        tables->matchStrength[length] = 2048 / length;
    }
    for (int state = 0; state < 256; ++state) {
        const TBitHistoryState& entry = BIT_HISTORY_STATES[state];
        tables->next[state][0] = entry.next0;
        tables->next[state][1] = entry.next1;
        tables->initialProbability[state] =
            static_cast<int>(((2 * entry.ones + 1) << 22) / (entry.zeros + entry.ones + 1));
    }
    tables->valid = squashSum == 2278286169u && stretchSum == 3887533746u;
    return tables;
}

const TTables& tables() {
    static const std::unique_ptr<TTables> instance = buildTables();
    return *instance;
}

inline int clamp(int value, int low, int high) {
    return value < low ? low : (value > high ? high : value);
}

// Zero-filled memory. Large tables come straight from the kernel (already zero, so the parts a
// small block never touches cost nothing), aligned to 2 MiB and marked for huge pages where the
// system offers them: the model reads its tables at random, and with small pages nearly every
// such read would miss the TLB as well as the cache.
class TZeroedMemory {
public:
    TZeroedMemory() = default;
    TZeroedMemory(const TZeroedMemory&) = delete;
    TZeroedMemory& operator=(const TZeroedMemory&) = delete;
    ~TZeroedMemory() { release(); }

    void* allocate(size_t bytes) {
        release();
#ifdef Q_OS_UNIX
        if (bytes >= LARGE) {
            const size_t rounded = (bytes + LARGE - 1) & ~(LARGE - 1);
            m_mapped =
                mmap(nullptr, rounded + LARGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (m_mapped == MAP_FAILED) {
                m_mapped = nullptr;
                fail();
            }
            m_mappedLength = rounded + LARGE;
            const auto aligned = (reinterpret_cast<quintptr>(m_mapped) + LARGE - 1) & ~quintptr(LARGE - 1);
            m_data = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
            madvise(m_data, rounded, MADV_HUGEPAGE);
#endif
            return m_data;
        }
#endif
        m_data = std::calloc(bytes == 0 ? 1 : bytes, 1);
        if (!m_data) {
            fail();
        }
        return m_data;
    }

private:
    static constexpr size_t LARGE = size_t(1) << 21;

    void release() {
#ifdef Q_OS_UNIX
        if (m_mapped) {
            munmap(m_mapped, m_mappedLength);
            m_mapped = nullptr;
            m_data = nullptr;
        }
#endif
        std::free(m_data);
        m_data = nullptr;
    }

    void* m_data = nullptr;
    void* m_mapped = nullptr;
    size_t m_mappedLength = 0;
};

template <typename T> class TArray {
public:
    void allocate(quint64 count) {
        if (count > std::numeric_limits<size_t>::max() / sizeof(T)) {
            fail();
        }
        m_data = static_cast<T*>(m_memory.allocate(static_cast<size_t>(count) * sizeof(T)));
        m_size = static_cast<size_t>(count);
    }
    void fill(T value) { std::fill(m_data, m_data + m_size, value); }
    T* data() const { return m_data; }
    T& operator[](size_t index) const { return m_data[index]; }
    size_t size() const { return m_size; }

private:
    TZeroedMemory m_memory;
    T* m_data = nullptr;
    size_t m_size = 0;
};

class TInput {
public:
    TInput(const quint8* begin, const quint8* end) : m_position(begin), m_end(end) {}
    quint8 byte() {
        if (m_position == m_end) {
            fail();
        }
        return *m_position++;
    }
    quint64 remaining() const { return static_cast<quint64>(m_end - m_position); }
    const quint8* position() const { return m_position; }
    void skip(quint64 count) {
        if (count > remaining()) {
            fail();
        }
        m_position += count;
    }
    bool startsWith(const quint8* bytes, size_t count) const {
        return remaining() >= count && std::memcmp(m_position, bytes, count) == 0;
    }

private:
    const quint8* m_position;
    const quint8* m_end;
};

// The decoded content; refuses to grow beyond its capacity.
class TOutput {
public:
    TOutput(quint8* data, quint64 capacity) : m_data(data), m_capacity(capacity) {}
    void put(quint32 byte) {
        if (m_size == m_capacity) {
            fail();
        }
        m_data[m_size++] = static_cast<quint8>(byte);
    }
    quint64 size() const { return m_size; }
    const quint8* data() const { return m_data; }

private:
    quint8* m_data;
    quint64 m_capacity;
    quint64 m_size = 0;
};

// The ZPAQL machine: registers A, B, C, D, a flag, 256 extra registers, a byte array M and a
// word array H whose sizes are powers of two (every access is masked), and the program. Jumps
// are checked when taken; the program is followed by its terminating 0 (ERROR) and padding, so
// straight-line execution cannot run past the code. Each instruction is paid from an allowance
// that the caller tops up per byte, so no program runs for ever.
class TZpaqlMachine {
public:
    void load(const quint8* code, size_t length, int hbits, int mbits) {
        // The code, its terminating 0, and room for the operands of an instruction that starts
        // on the last code byte.
        m_code.assign(code, code + length);
        m_code.insert(m_code.end(), 4, 0);
        m_codeLength = static_cast<int>(length) + 1;
        m_h.allocate(quint64(1) << hbits);
        m_m.allocate(quint64(1) << mbits);
        m_hMask = static_cast<quint32>((quint64(1) << hbits) - 1);
        m_mMask = static_cast<quint32>((quint64(1) << mbits) - 1);
        m_remaining = TZpaqDecoder::INSTRUCTIONS_BASE;
    }

    void grant(quint64 instructions) { m_remaining += instructions; }
    quint32 h(quint32 index) const { return m_h[index & m_hMask]; }

    // Runs the program with A = input until HALT. OUT writes to output (post-processor) or is
    // ignored (no output: the context computation).
    void run(quint32 input, TOutput* output);

private:
    std::vector<quint8> m_code;
    int m_codeLength = 0;
    TArray<quint32> m_h;
    TArray<quint8> m_m;
    quint32 m_hMask = 0;
    quint32 m_mMask = 0;
    quint32 m_a = 0, m_b = 0, m_c = 0, m_d = 0;
    bool m_f = false;
    quint32 m_r[256] = {};
    quint64 m_remaining = 0;
};

void TZpaqlMachine::run(quint32 input, TOutput* output) {
    const quint8* const code = m_code.data();
    const int codeLength = m_codeLength;
    quint32* const h = m_h.data();
    quint8* const m = m_m.data();
    const quint32 hMask = m_hMask;
    const quint32 mMask = m_mMask;
    quint32 a = input, b = m_b, c = m_c, d = m_d;
    bool f = m_f;
    quint64 remaining = m_remaining;
    int pc = 0;

    auto jumpBy = [&](int offset) {
        const int target = pc + 2 + offset;
        if (target < 0 || target >= codeLength) {
            fail();
        }
        pc = target;
    };

#define ZPAQL_MB m[b & mMask]
#define ZPAQL_MC m[c & mMask]
#define ZPAQL_HD h[d & hMask]
#define ZPAQL_N code[pc + 1]
// The eight operand forms Y of an instruction: A, B, C, D, *B, *C, *D and an immediate byte.
#define ZPAQL_OPERANDS(base, apply)                                                                          \
    case base + 0: {                                                                                         \
        const quint32 v = a;                                                                                 \
        apply;                                                                                               \
        ++pc;                                                                                                \
        break;                                                                                               \
    }                                                                                                        \
    case base + 1: {                                                                                         \
        const quint32 v = b;                                                                                 \
        apply;                                                                                               \
        ++pc;                                                                                                \
        break;                                                                                               \
    }                                                                                                        \
    case base + 2: {                                                                                         \
        const quint32 v = c;                                                                                 \
        apply;                                                                                               \
        ++pc;                                                                                                \
        break;                                                                                               \
    }                                                                                                        \
    case base + 3: {                                                                                         \
        const quint32 v = d;                                                                                 \
        apply;                                                                                               \
        ++pc;                                                                                                \
        break;                                                                                               \
    }                                                                                                        \
    case base + 4: {                                                                                         \
        const quint32 v = ZPAQL_MB;                                                                          \
        apply;                                                                                               \
        ++pc;                                                                                                \
        break;                                                                                               \
    }                                                                                                        \
    case base + 5: {                                                                                         \
        const quint32 v = ZPAQL_MC;                                                                          \
        apply;                                                                                               \
        ++pc;                                                                                                \
        break;                                                                                               \
    }                                                                                                        \
    case base + 6: {                                                                                         \
        const quint32 v = ZPAQL_HD;                                                                          \
        apply;                                                                                               \
        ++pc;                                                                                                \
        break;                                                                                               \
    }                                                                                                        \
    case base + 7: {                                                                                         \
        const quint32 v = ZPAQL_N;                                                                           \
        apply;                                                                                               \
        pc += 2;                                                                                             \
        break;                                                                                               \
    }

    // clang-format off
    for (;;) {
        if (remaining == 0) {
            fail();
        }
        --remaining;
        switch (code[pc]) {
        // A
        case 1: ++a; ++pc; break;
        case 2: --a; ++pc; break;
        case 3: a = ~a; ++pc; break;
        case 4: a = 0; ++pc; break;
        case 7: a = m_r[ZPAQL_N]; pc += 2; break;
        // B
        case 8: std::swap(a, b); ++pc; break;
        case 9: ++b; ++pc; break;
        case 10: --b; ++pc; break;
        case 11: b = ~b; ++pc; break;
        case 12: b = 0; ++pc; break;
        case 15: b = m_r[ZPAQL_N]; pc += 2; break;
        // C
        case 16: std::swap(a, c); ++pc; break;
        case 17: ++c; ++pc; break;
        case 18: --c; ++pc; break;
        case 19: c = ~c; ++pc; break;
        case 20: c = 0; ++pc; break;
        case 23: c = m_r[ZPAQL_N]; pc += 2; break;
        // D
        case 24: std::swap(a, d); ++pc; break;
        case 25: ++d; ++pc; break;
        case 26: --d; ++pc; break;
        case 27: d = ~d; ++pc; break;
        case 28: d = 0; ++pc; break;
        case 31: d = m_r[ZPAQL_N]; pc += 2; break;
        // *B: a swap exchanges only the low byte of A
        case 32: {
            quint8& cell = ZPAQL_MB;
            const quint32 old = cell;
            cell = static_cast<quint8>(a);
            a = (a & ~quint32(0xFF)) | old;
            ++pc;
            break;
        }
        case 33: ++ZPAQL_MB; ++pc; break;
        case 34: --ZPAQL_MB; ++pc; break;
        case 35: ZPAQL_MB = static_cast<quint8>(~ZPAQL_MB); ++pc; break;
        case 36: ZPAQL_MB = 0; ++pc; break;
        case 39: // JT
            if (f) {
                jumpBy(static_cast<qint8>(ZPAQL_N));
            } else {
                pc += 2;
            }
            break;
        // *C
        case 40: {
            quint8& cell = ZPAQL_MC;
            const quint32 old = cell;
            cell = static_cast<quint8>(a);
            a = (a & ~quint32(0xFF)) | old;
            ++pc;
            break;
        }
        case 41: ++ZPAQL_MC; ++pc; break;
        case 42: --ZPAQL_MC; ++pc; break;
        case 43: ZPAQL_MC = static_cast<quint8>(~ZPAQL_MC); ++pc; break;
        case 44: ZPAQL_MC = 0; ++pc; break;
        case 47: // JF
            if (!f) {
                jumpBy(static_cast<qint8>(ZPAQL_N));
            } else {
                pc += 2;
            }
            break;
        // *D
        case 48: std::swap(a, ZPAQL_HD); ++pc; break;
        case 49: ++ZPAQL_HD; ++pc; break;
        case 50: --ZPAQL_HD; ++pc; break;
        case 51: ZPAQL_HD = ~ZPAQL_HD; ++pc; break;
        case 52: ZPAQL_HD = 0; ++pc; break;
        case 55: m_r[ZPAQL_N] = a; pc += 2; break;
        case 56: // HALT
            m_b = b;
            m_c = c;
            m_d = d;
            m_f = f;
            m_a = a;
            m_remaining = remaining;
            return;
        case 57: // OUT
            if (output) {
                output->put(a);
                remaining += TZpaqDecoder::INSTRUCTIONS_PER_BYTE;
            }
            ++pc;
            break;
        case 59: a = (a + ZPAQL_MB + 512) * 773; ++pc; break;
        case 60: ZPAQL_HD = (ZPAQL_HD + a + 512) * 773; ++pc; break;
        case 63: jumpBy(static_cast<qint8>(ZPAQL_N)); break;
        // X = Y
        ZPAQL_OPERANDS(64, a = v)
        ZPAQL_OPERANDS(72, b = v)
        ZPAQL_OPERANDS(80, c = v)
        ZPAQL_OPERANDS(88, d = v)
        ZPAQL_OPERANDS(96, ZPAQL_MB = static_cast<quint8>(v))
        ZPAQL_OPERANDS(104, ZPAQL_MC = static_cast<quint8>(v))
        ZPAQL_OPERANDS(112, ZPAQL_HD = v)
        // A op Y
        ZPAQL_OPERANDS(128, a += v)
        ZPAQL_OPERANDS(136, a -= v)
        ZPAQL_OPERANDS(144, a *= v)
        ZPAQL_OPERANDS(152, a = v == 0 ? 0 : a / v)
        ZPAQL_OPERANDS(160, a = v == 0 ? 0 : a % v)
        ZPAQL_OPERANDS(168, a &= v)
        ZPAQL_OPERANDS(176, a &= ~v)
        ZPAQL_OPERANDS(184, a |= v)
        ZPAQL_OPERANDS(192, a ^= v)
        ZPAQL_OPERANDS(200, a <<= (v & 31))
        ZPAQL_OPERANDS(208, a >>= (v & 31))
        ZPAQL_OPERANDS(216, f = a == v)
        ZPAQL_OPERANDS(224, f = a < v)
        ZPAQL_OPERANDS(232, f = a > v)
        case 255: { // LJ: absolute
            const int target = code[pc + 1] + 256 * code[pc + 2];
            if (target >= codeLength) {
                fail();
            }
            pc = target;
            break;
        }
        default: // ERROR and undefined opcodes, including the terminating 0
            fail();
        }
    }
    // clang-format on
#undef ZPAQL_OPERANDS
#undef ZPAQL_N
#undef ZPAQL_HD
#undef ZPAQL_MC
#undef ZPAQL_MB
}

// The two loops of a MIX over its inputs. Where the compiler can, they are built twice, for plain
// x86-64 and for AVX2 (chosen at run time), since integer multiplication of whole vectors needs
// more than the base instruction set.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define ZPAQ_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ZPAQ_VECTOR_CLONES
#endif

ZPAQ_VECTOR_CLONES int mixDot(const qint32* weights, const int* inputs, int count) {
    int dot = 0;
    for (int input = 0; input < count; ++input) {
        dot += (weights[input] >> 8) * inputs[input];
    }
    return dot;
}

ZPAQ_VECTOR_CLONES void mixTrain(qint32* weights, const int* inputs, int count, int error) {
    for (int input = 0; input < count; ++input) {
        weights[input] = clamp(weights[input] + ((error * inputs[input] + 4096) >> 13), -524288, 524287);
    }
}

struct TComponent {
    quint8 type = 0;
    int j = 0, k = 0, m = 0; // inputs: predictions j (and k), or j .. j+m-1 for MIX
    int rate = 0;            // MIX, MIX2
    int weight = 0;          // AVG
    quint32 contextMask = 0; // MIX, MIX2: bits of the partial byte added to the context
    quint32 limit = 0;       // CM, SSE: count limit of an entry
    quint32 mask = 0;        // table index mask (rows of ICM/ISSE, entries, MIX rows, SSE rows)
    int rowBits = 0;         // ICM, ISSE: log2 of the number of rows
    quint32 index = 0;       // the entry predicted from, updated afterwards
    quint8* row = nullptr;   // ICM, ISSE: the row of the current nibble
    quint8* slot = nullptr;  // ICM, ISSE: the bit history of the current bit
    // MATCH
    quint32 length = 0, pointer = 0, position = 0, bitPosition = 0, predictedBit = 0, bufferMask = 0;
    TArray<quint32> entries;   // CM, SSE: probability and count; MATCH: last position per context
    TArray<qint32> weights;    // MIX
    TArray<quint16> weights16; // MIX2
    TArray<quint8> bytes;      // ICM, ISSE: hash table rows; MATCH: history
    std::vector<int> adaptive; // ICM: probability per state; ISSE: two weights per state
};

// Bytes of model memory a component with these parameters needs.
quint64 componentMemory(quint8 type, const quint8* parameters) {
    const quint64 size = quint64(1) << parameters[0];
    switch (type) {
    case COMPONENT_CM:
        return 4 * size;
    case COMPONENT_ICM:
        return 64 * size + 1024;
    case COMPONENT_MATCH:
        return 4 * size + (quint64(1) << parameters[1]);
    case COMPONENT_MIX2:
        return 2 * size;
    case COMPONENT_MIX:
        return 4 * size * parameters[2];
    case COMPONENT_ISSE:
        return 64 * size + 2048;
    case COMPONENT_SSE:
        return 128 * size;
    default:
        return 0;
    }
}

int componentSize(quint8 type) {
    static const int sizes[10] = {0, 2, 3, 2, 3, 4, 6, 6, 3, 5};
    return type >= 1 && type <= 9 ? sizes[type] : 0;
}

// The context model of a block: predicts each bit from its components, the last of which gives
// the final probability, and learns from the bit. HCOMP computes the components' contexts after
// every byte.
class TModel {
public:
    // parameters: the component list of the header (validated).
    TModel(const std::vector<std::vector<quint8>>& components, const quint8* hcode, size_t hcodeLength,
           int hbits, int mbits);

    // The probability (16 bits, of a 1) for the next bit.
    quint32 predict();
    // Learns bit y; returns the byte (0..255) when it completes one, else -1.
    int update(int y);

private:
    quint8* find(TComponent& component, quint32 context);
    void prefetchNibble();
    void train(quint32& entry, int y, quint32 limit) const {
        const quint32 count = entry & 1023;
        const qint64 delta = qint64(y * 32767 - int(entry >> 17)) * m_tables.learningRate[count];
        entry =
            static_cast<quint32>(quint64(entry) + quint64(delta & ~qint64(1023)) + (count < limit ? 1 : 0));
    }
    int error(int y, int prediction) const { return y * 32767 - m_tables.squash[prediction + 2048]; }

    const TTables& m_tables;
    std::vector<TComponent> m_components;
    std::vector<int> m_p;
    std::vector<quint32> m_h;
    TZpaqlMachine m_hcomp;
    quint32 m_c8 = 1;
    quint32 m_hmap4 = 1;
};

TModel::TModel(const std::vector<std::vector<quint8>>& components, const quint8* hcode, size_t hcodeLength,
               int hbits, int mbits)
    : m_tables(tables()), m_components(components.size()), m_p(components.size(), 0),
      m_h(components.size(), 0) {
    m_hcomp.load(hcode, hcodeLength, hbits, mbits);
    for (size_t i = 0; i < components.size(); ++i) {
        const std::vector<quint8>& parameters = components[i];
        TComponent& component = m_components[i];
        component.type = parameters[0];
        const bool sized = component.type != COMPONENT_CONST && component.type != COMPONENT_AVG;
        const int s = sized ? parameters[1] : 0;
        const quint64 size = quint64(1) << s;
        component.mask = static_cast<quint32>(size - 1);
        switch (component.type) {
        case COMPONENT_CONST:
            m_p[i] = (parameters[1] - 128) * 4;
            break;
        case COMPONENT_CM:
            component.entries.allocate(size);
            component.entries.fill(0x80000000u);
            component.limit = parameters[2] * 4u;
            break;
        case COMPONENT_ICM:
        case COMPONENT_ISSE:
            component.rowBits = s + 2;
            component.mask = static_cast<quint32>((size << 2) - 1);
            component.bytes.allocate(size * 64);
            if (component.type == COMPONENT_ICM) {
                component.adaptive.resize(256);
                for (int state = 0; state < 256; ++state) {
                    component.adaptive[state] = m_tables.initialProbability[state];
                }
            } else {
                component.j = parameters[2];
                component.adaptive.resize(512);
                for (int state = 0; state < 256; ++state) {
                    component.adaptive[2 * state] = 32768;
                    component.adaptive[2 * state + 1] = clamp(
                        m_tables.stretch[m_tables.initialProbability[state] >> 8] * 1024, -524288, 524287);
                }
            }
            break;
        case COMPONENT_MATCH:
            component.entries.allocate(size);
            component.bytes.allocate(quint64(1) << parameters[2]);
            component.bytes[0] = 1;
            component.bufferMask = static_cast<quint32>((quint64(1) << parameters[2]) - 1);
            break;
        case COMPONENT_AVG:
            component.j = parameters[1];
            component.k = parameters[2];
            component.weight = parameters[3];
            break;
        case COMPONENT_MIX2:
            component.j = parameters[2];
            component.k = parameters[3];
            component.rate = parameters[4];
            component.contextMask = parameters[5];
            component.weights16.allocate(size);
            component.weights16.fill(32768);
            break;
        case COMPONENT_MIX:
            component.j = parameters[2];
            component.m = parameters[3];
            component.rate = parameters[4];
            component.contextMask = parameters[5];
            component.weights.allocate(size * component.m);
            component.weights.fill(65536 / component.m);
            break;
        case COMPONENT_SSE: {
            component.j = parameters[2];
            component.limit = parameters[4] * 4u;
            component.entries.allocate(size * 32);
            quint32* entries = component.entries.data();
            for (quint64 row = 0; row < size; ++row) {
                for (int q = 0; q < 32; ++q) {
                    entries[row * 32 + q] =
                        (static_cast<quint32>(m_tables.squash[64 * q - 992 + 2048]) << 17) | parameters[3];
                }
            }
            break;
        }
        default:
            fail();
        }
    }
}

// The row of an ICM/ISSE hash table for a context: one of three neighbouring rows whose check
// byte matches, or the least used of them, cleared for the context.
quint8* TModel::find(TComponent& component, quint32 context) {
    const quint8 check = static_cast<quint8>(context >> component.rowBits);
    const quint32 first = context & component.mask;
    quint8* const table = component.bytes.data();
    quint8* const row0 = table + size_t(first) * 16;
    if (row0[0] == check) {
        return row0;
    }
    quint8* const row1 = table + size_t(first ^ 1) * 16;
    if (row1[0] == check) {
        return row1;
    }
    quint8* const row2 = table + size_t(first ^ 2) * 16;
    if (row2[0] == check) {
        return row2;
    }
    quint8* victim = row2;
    if (row0[1] <= row1[1] && row0[1] <= row2[1]) {
        victim = row0;
    } else if (row1[1] < row2[1]) {
        victim = row1;
    }
    std::memset(victim, 0, 16);
    victim[0] = check;
    return victim;
}

// At the start of a nibble every CM and ICM/ISSE component moves to a new, random place of its
// table, where it stays for the four bits (a CM's 16 entries of a nibble share one cache line).
// Asking for all of these lines at once lets the memory serve them side by side instead of one
// miss after the other.
void TModel::prefetchNibble() {
    const size_t count = m_components.size();
    for (size_t i = 0; i < count; ++i) {
        const TComponent& component = m_components[i];
        switch (component.type) {
        case COMPONENT_CM:
            __builtin_prefetch(component.entries.data() + ((m_h[i] ^ m_hmap4) & component.mask));
            break;
        case COMPONENT_ICM:
        case COMPONENT_ISSE:
            __builtin_prefetch(component.bytes.data() + size_t((m_h[i] + 16 * m_c8) & component.mask) * 16);
            break;
        default:
            break;
        }
    }
}

quint32 TModel::predict() {
    const TTables& t = m_tables;
    const bool nibbleStart = m_c8 == 1 || (m_c8 >> 4) == 1;
    const size_t count = m_components.size();
    int* const p = m_p.data();
    const quint32* const h = m_h.data();
    for (size_t i = 0; i < count; ++i) {
        TComponent& component = m_components[i];
        switch (component.type) {
        case COMPONENT_CONST:
            break;
        case COMPONENT_CM:
            component.index = (h[i] ^ m_hmap4) & component.mask;
            p[i] = t.stretch[component.entries[component.index] >> 17];
            break;
        case COMPONENT_ICM:
            if (nibbleStart) {
                component.row = find(component, h[i] + 16 * m_c8);
            }
            component.slot = component.row + (m_hmap4 & 15);
            p[i] = t.stretch[component.adaptive[*component.slot] >> 8];
            break;
        case COMPONENT_MATCH:
            if (component.length == 0) {
                p[i] = 0;
            } else {
                component.predictedBit =
                    (component.bytes[(component.position - component.pointer) & component.bufferMask] >>
                     (7 - component.bitPosition)) &
                    1;
                const int strength = t.matchStrength[component.length];
                p[i] = t.stretch[component.predictedBit ? 32768 - strength : strength];
            }
            break;
        case COMPONENT_AVG:
            p[i] = (p[component.j] * component.weight + p[component.k] * (256 - component.weight)) >> 8;
            break;
        case COMPONENT_MIX2: {
            component.index = (h[i] + (m_c8 & component.contextMask)) & component.mask;
            const int w = component.weights16[component.index];
            p[i] = (w * p[component.j] + (65536 - w) * p[component.k]) >> 16;
            break;
        }
        case COMPONENT_MIX: {
            component.index = (h[i] + (m_c8 & component.contextMask)) & component.mask;
            const qint32* w = component.weights.data() + size_t(component.index) * component.m;
            p[i] = clamp(mixDot(w, p + component.j, component.m) >> 8, -2048, 2047);
            break;
        }
        case COMPONENT_ISSE: {
            if (nibbleStart) {
                component.row = find(component, h[i] + 16 * m_c8);
            }
            component.slot = component.row + (m_hmap4 & 15);
            const int* w = component.adaptive.data() + 2 * *component.slot;
            p[i] = clamp((w[0] * p[component.j] + w[1] * 64) >> 16, -2048, 2047);
            break;
        }
        case COMPONENT_SSE: {
            const quint32 row = (h[i] + m_c8) & component.mask;
            const int z = clamp(p[component.j] + 992, 0, 1983);
            const int weight = z & 63;
            const quint32 entry = row * 32 + quint32(z >> 6);
            const quint32* entries = component.entries.data();
            p[i] = t.stretch[((entries[entry] >> 10) * (64 - weight) + (entries[entry + 1] >> 10) * weight) >>
                             13];
            component.index = weight < 32 ? entry : entry + 1;
            break;
        }
        default:
            break;
        }
    }
    return static_cast<quint32>(t.squash[p[count - 1] + 2048]) * 2 + 1;
}

int TModel::update(int y) {
    const TTables& t = m_tables;
    const size_t count = m_components.size();
    int* const p = m_p.data();
    const quint32* const h = m_h.data();
    for (size_t i = 0; i < count; ++i) {
        TComponent& component = m_components[i];
        switch (component.type) {
        case COMPONENT_CM:
            train(component.entries[component.index], y, component.limit);
            break;
        case COMPONENT_ICM: {
            const quint8 state = *component.slot;
            *component.slot = t.next[state][y];
            int& probability = component.adaptive[state];
            probability += (y * 32767 - (probability >> 8)) >> 2;
            break;
        }
        case COMPONENT_MATCH:
            if (int(component.predictedBit) != y) {
                component.length = 0;
            }
            {
                quint8& current = component.bytes[component.position];
                current = static_cast<quint8>(current * 2 + y);
            }
            if (++component.bitPosition == 8) {
                component.bitPosition = 0;
                component.position = (component.position + 1) & component.bufferMask;
                const quint32 context = h[i] & component.mask;
                const quint32 mask = component.bufferMask;
                const quint8* history = component.bytes.data();
                if (component.length == 0) {
                    component.pointer = (component.position - component.entries[context]) & mask;
                    if (component.pointer != 0) {
                        quint32 length = 0;
                        while (length < 255 &&
                               history[(component.position - length - 1) & mask] ==
                                   history[(component.position - length - component.pointer - 1) & mask]) {
                            ++length;
                        }
                        component.length = length;
                    }
                } else if (component.length < 255) {
                    ++component.length;
                }
                component.entries[context] = component.position;
            }
            break;
        case COMPONENT_MIX2: {
            const int e = (error(y, p[i]) * component.rate) >> 5;
            quint16& w = component.weights16[component.index];
            w = static_cast<quint16>(
                clamp(w + ((e * (p[component.j] - p[component.k]) + 4096) >> 13), 0, 65535));
            break;
        }
        case COMPONENT_MIX: {
            const int e = (error(y, p[i]) * component.rate) >> 4;
            qint32* w = component.weights.data() + size_t(component.index) * component.m;
            mixTrain(w, p + component.j, component.m, e);
            break;
        }
        case COMPONENT_ISSE: {
            const int e = error(y, p[i]);
            const quint8 state = *component.slot;
            int* w = component.adaptive.data() + 2 * state;
            w[0] = clamp(w[0] + ((e * p[component.j] + 4096) >> 13), -524288, 524287);
            w[1] = clamp(w[1] + ((e + 16) >> 5), -524288, 524287);
            *component.slot = t.next[state][y];
            break;
        }
        case COMPONENT_SSE:
            train(component.entries[component.index], y, component.limit);
            break;
        default:
            break;
        }
    }

    m_c8 = m_c8 * 2 + quint32(y);
    if (m_c8 >= 256) {
        const int byte = static_cast<int>(m_c8 - 256);
        m_hcomp.grant(TZpaqDecoder::INSTRUCTIONS_PER_BYTE);
        m_hcomp.run(static_cast<quint32>(byte), nullptr);
        m_c8 = 1;
        m_hmap4 = 1;
        for (size_t i = 0; i < count; ++i) {
            m_h[i] = m_hcomp.h(static_cast<quint32>(i));
        }
        prefetchNibble();
        return byte;
    }
    if (m_c8 >= 16 && m_c8 <= 31) {
        m_hmap4 = ((m_hmap4 & 15) << 5) | (quint32(y) << 4) | 1;
        prefetchNibble();
    } else {
        m_hmap4 = (m_hmap4 & 0x1F0) | (((m_hmap4 & 15) * 2 + quint32(y)) & 15);
    }
    return -1;
}

// Turns the decoded bytes of a block into output: the first byte selects plain output (0) or a
// ZPAQL post-processor (1) whose program follows (two length bytes, then the code); the
// program then receives every later byte and, at each end of a segment, 2^32 - 1.
class TPostProcessor {
public:
    TPostProcessor(int hbits, int mbits, TOutput& output)
        : m_hbits(hbits), m_mbits(mbits), m_output(output) {}

    void put(quint32 byte) {
        switch (m_state) {
        case STATE_PASS:
            m_output.put(byte);
            break;
        case STATE_RUN:
            m_pcomp.grant(TZpaqDecoder::INSTRUCTIONS_PER_BYTE);
            m_pcomp.run(byte, &m_output);
            break;
        case STATE_SELECTOR:
            if (byte == 0) {
                m_state = STATE_PASS;
            } else if (byte == 1) {
                m_state = STATE_LENGTH_LOW;
            } else {
                fail();
            }
            break;
        case STATE_LENGTH_LOW:
            m_programLength = byte;
            m_state = STATE_LENGTH_HIGH;
            break;
        case STATE_LENGTH_HIGH:
            m_programLength += byte * 256;
            if (m_programLength == 0) {
                fail();
            }
            m_state = STATE_PROGRAM;
            break;
        case STATE_PROGRAM:
            m_program.push_back(static_cast<quint8>(byte));
            if (m_program.size() == m_programLength) {
                m_pcomp.load(m_program.data(), m_program.size(), m_hbits, m_mbits);
                m_state = STATE_RUN;
            }
            break;
        }
    }

    void endSegment() {
        if (m_state == STATE_RUN) {
            m_pcomp.grant(TZpaqDecoder::INSTRUCTIONS_PER_BYTE);
            m_pcomp.run(0xFFFFFFFFu, &m_output);
        } else if (m_state != STATE_PASS) {
            fail();
        }
    }

private:
    enum EState { STATE_SELECTOR, STATE_LENGTH_LOW, STATE_LENGTH_HIGH, STATE_PROGRAM, STATE_PASS, STATE_RUN };
    EState m_state = STATE_SELECTOR;
    int m_hbits;
    int m_mbits;
    TOutput& m_output;
    size_t m_programLength = 0;
    std::vector<quint8> m_program;
    TZpaqlMachine m_pcomp;
};

class TArithmeticDecoder {
public:
    explicit TArithmeticDecoder(TInput& input) : m_input(input) {}

    void startSegment() {
        m_x = 0;
        for (int i = 0; i < 4; ++i) {
            m_x = (m_x << 8) | m_input.byte();
        }
    }
    quint32 x() const { return m_x; }

    // Decodes one bit whose probability of being 1 is probability / 65536.
    int decode(quint32 probability) {
        if (m_x < m_low || m_x > m_high) {
            fail();
        }
        const quint32 mid = m_low + static_cast<quint32>((quint64(m_high - m_low) * probability) >> 16);
        int y;
        if (m_x <= mid) {
            y = 1;
            m_high = mid;
        } else {
            y = 0;
            m_low = mid + 1;
        }
        while ((m_high ^ m_low) < 0x1000000u) {
            m_high = (m_high << 8) | 255;
            m_low <<= 8;
            if (m_low == 0) {
                m_low = 1;
            }
            m_x = (m_x << 8) | m_input.byte();
        }
        return y;
    }

private:
    TInput& m_input;
    quint32 m_low = 1;
    quint32 m_high = 0xFFFFFFFFu;
    quint32 m_x = 0;
};

class TStreamDecoder {
public:
    TStreamDecoder(const quint8* data, quint64 size, quint8* output, quint64 capacity)
        : m_input(data, data + size), m_output(output, capacity),
          m_decodedLimit(2 * capacity + TZpaqDecoder::MAX_DECODED_SLACK) {}

    void decode() {
        if (!tables().valid) {
            fail();
        }
        static const quint8 magic[3] = {'z', 'P', 'Q'};
        bool anyBlock = false;
        while (m_input.remaining() > 0) {
            // A block follows at once, with or without its locator tag.
            if (m_input.startsWith(BLOCK_TAG, sizeof(BLOCK_TAG))) {
                m_input.skip(sizeof(BLOCK_TAG));
            }
            if (!m_input.startsWith(magic, sizeof(magic))) {
                fail();
            }
            m_input.skip(sizeof(magic));
            decodeBlock();
            anyBlock = true;
        }
        if (!anyBlock) {
            fail();
        }
    }

    quint64 produced() const { return m_output.size(); }

private:
    void countDecodedByte() {
        if (++m_decoded > m_decodedLimit) {
            fail();
        }
    }

    void decodeBlock();
    void skipString() {
        while (m_input.byte() != 0) {
        }
    }
    void checkTrailer(quint64 segmentStart);

    TInput m_input;
    TOutput m_output;
    quint64 m_decoded = 0;
    quint64 m_decodedLimit;
};

void TStreamDecoder::decodeBlock() {
    const quint8 level = m_input.byte();
    if ((level != 1 && level != 2) || m_input.byte() != 1) {
        fail();
    }
    quint64 headerSize = m_input.byte();
    headerSize |= quint64(m_input.byte()) << 8;
    if (headerSize > m_input.remaining()) {
        fail();
    }
    TInput header(m_input.position(), m_input.position() + headerSize);
    m_input.skip(headerSize);

    int bits[4];
    for (int& value : bits) {
        value = header.byte();
        if (value > 32) {
            fail();
        }
    }
    const int hbits = bits[0], mbits = bits[1], phbits = bits[2], pmbits = bits[3];
    const int componentCount = header.byte();
    if (level == 1 && componentCount == 0) {
        fail();
    }
    quint64 memory =
        (quint64(4) << hbits) + (quint64(1) << mbits) + (quint64(4) << phbits) + (quint64(1) << pmbits);
    std::vector<std::vector<quint8>> components;
    int modelInputs = componentCount;
    for (int i = 0; i < componentCount; ++i) {
        const quint8 type = header.byte();
        const int size = componentSize(type);
        if (size == 0) {
            fail();
        }
        std::vector<quint8> parameters(static_cast<size_t>(size));
        parameters[0] = type;
        for (int index = 1; index < size; ++index) {
            parameters[index] = header.byte();
        }
        const quint8* values = parameters.data() + 1;
        bool valid = true;
        switch (type) {
        case COMPONENT_CM:
            valid = values[0] <= 32;
            break;
        case COMPONENT_ICM:
            valid = values[0] <= 26;
            break;
        case COMPONENT_MATCH:
            valid = values[0] <= 32 && values[1] <= 32;
            break;
        case COMPONENT_AVG:
            valid = values[0] < i && values[1] < i;
            break;
        case COMPONENT_MIX2:
            valid = values[0] <= 32 && values[1] < i && values[2] < i;
            break;
        case COMPONENT_MIX:
            valid = values[0] <= 32 && values[1] < i && values[2] >= 1 && values[2] <= i - values[1];
            modelInputs += values[2];
            break;
        case COMPONENT_ISSE:
            valid = values[0] <= 32 && values[1] < i;
            break;
        case COMPONENT_SSE:
            valid = values[0] <= 32 && values[1] < i && values[2] <= 4 * values[3];
            break;
        default:
            break;
        }
        if (!valid) {
            fail();
        }
        if (type != COMPONENT_CONST && type != COMPONENT_AVG) {
            memory += componentMemory(type, values);
        }
        components.push_back(std::move(parameters));
    }
    if (memory > TZpaqDecoder::MAX_BLOCK_MEMORY || modelInputs > TZpaqDecoder::MAX_MODEL_INPUTS) {
        fail();
    }
    if (header.byte() != 0) {
        fail();
    }
    // The rest of the header is the context program and its terminating 0.
    const quint64 hcodeLength = header.remaining() - 1;
    if (header.remaining() == 0 || header.position()[hcodeLength] != 0) {
        fail();
    }
    const quint8* hcode = header.position();

    std::unique_ptr<TModel> model;
    std::unique_ptr<TArithmeticDecoder> coder;
    if (componentCount > 0) {
        model = std::make_unique<TModel>(components, hcode, static_cast<size_t>(hcodeLength), hbits, mbits);
        coder = std::make_unique<TArithmeticDecoder>(m_input);
    }
    TPostProcessor postProcessor(phbits, pmbits, m_output);

    for (;;) {
        const quint8 marker = m_input.byte();
        if (marker == 0xFF) {
            return;
        }
        if (marker != 0x01) {
            fail();
        }
        skipString(); // file name
        skipString(); // comment
        if (m_input.byte() != 0) {
            fail();
        }
        const quint64 segmentStart = m_output.size();
        if (model) {
            coder->startSegment();
            while (coder->decode(0) == 0) {
                int byte;
                do {
                    byte = model->update(coder->decode(model->predict()));
                } while (byte < 0);
                countDecodedByte();
                postProcessor.put(static_cast<quint32>(byte));
            }
            // The end of the segment leaves the four zero bytes that close the coded data in x.
            if (coder->x() != 0) {
                fail();
            }
        } else {
            // Stored: records of a 32-bit big-endian length and that many bytes, up to a length 0.
            for (;;) {
                quint64 length = 0;
                for (int i = 0; i < 4; ++i) {
                    length = (length << 8) | m_input.byte();
                }
                if (length == 0) {
                    break;
                }
                if (length > m_input.remaining()) {
                    fail();
                }
                for (quint64 i = 0; i < length; ++i) {
                    countDecodedByte();
                    postProcessor.put(m_input.byte());
                }
            }
        }
        postProcessor.endSegment();
        checkTrailer(segmentStart);
    }
}

// 0xFD and the SHA-1 of the segment's output, or 0xFE for none.
void TStreamDecoder::checkTrailer(quint64 segmentStart) {
    const quint8 marker = m_input.byte();
    if (marker == 0xFE) {
        return;
    }
    if (marker != 0xFD || m_input.remaining() < 20) {
        fail();
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(m_output.data() + segmentStart, static_cast<size_t>(m_output.size() - segmentStart),
                   digest, &digestLength, EVP_sha1(), nullptr) != 1 ||
        digestLength != 20 || std::memcmp(digest, m_input.position(), 20) != 0) {
        fail();
    }
    m_input.skip(20);
}

} // namespace

QByteArray TZpaqDecoder::decode(const quint8* data, quint64 size, quint64 capacity) {
    if (capacity >= quint64(std::numeric_limits<int>::max())) {
        fail();
    }
    QByteArray output(static_cast<int>(capacity), Qt::Uninitialized);
    TStreamDecoder decoder(data, size, reinterpret_cast<quint8*>(output.data()), capacity);
    decoder.decode();
    output.truncate(static_cast<int>(decoder.produced()));
    return output;
}

} // namespace shared
