// The CSC (14) and CRUSH (21) decoders against the vectors their original encoders made, and
// hostile streams of both: each must end as the one decompression error, quickly, without
// reading or writing outside its buffers (the sanitizer build checks that).
#include "leb128.h"
#include "shared/compressionhelper.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

#include <algorithm>
#include <utility>
#include <vector>

using shared::TCompressionHelper;

namespace {

const char* const ERROR_TEXT = "Invalid input data could not be decompressed";
// The vectors' containers right-align their header in 32 bytes: the payload starts there.
constexpr int VECTOR_PAYLOAD_OFFSET = 32;

QString vectorDirectory() {
    return qEnvironmentVariable("ORVANE_SOURCE_DIR") + QStringLiteral("/../shared/formats/vectors");
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qFatal("cannot read %s", qPrintable(path));
    }
    return file.readAll();
}

using testsupport::leb128;

QByteArray container(int codec, quint64 unpackedLength, const QByteArray& payload) {
    return QByteArray(1, char(0x70)) + char(codec) + leb128(unpackedLength) +
           leb128(static_cast<quint64>(payload.size())) + payload;
}

// Decodes and reports whether the one error came; any other exception fails the test.
bool rejected(const QByteArray& input, QByteArray* output = nullptr) {
    try {
        const QByteArray result = TCompressionHelper::DecompressLZMAByteArrayWithExceptionOnError(input);
        if (output) {
            *output = result;
        }
        return false;
    } catch (const shared::TDecompressionError& error) {
        if (QString::fromUtf8(error.what()) != QLatin1String(ERROR_TEXT)) {
            qFatal("unexpected error text: %s", error.what());
        }
        return true;
    }
}

// A small CSC writer for what no vector covers: a window smaller than the data, so that the
// window wraps. It writes a stored block and then an LZ block of matches only, in one segment,
// with the models and codes the decoder reads (range coder with 12-bit probabilities, direct
// bits most significant first).
class TCscWriter {
public:
    TCscWriter() : m_probabilities(64 * 3 + 168 + 2 + 8 + 8 + 128 + 29 * 16, 2048) {}

    void stored(const QByteArray& bytes) {
        integer(8);
        integer(static_cast<quint64>(bytes.size()));
        for (const char byte : bytes) {
            direct(static_cast<quint8>(byte), 8);
        }
        integer(0); // no coder reset
    }
    // An LZ block of matches (length >= 2, distance >= 1), then its end marker.
    void matches(const std::vector<std::pair<int, quint64>>& list) {
        integer(1);
        for (const auto& [length, distance] : list) {
            match(static_cast<quint32>(length - 2), distance - 1);
        }
        match(0, 64);
        integer(0);
    }
    QByteArray finish(quint32 window) {
        integer(9);
        for (int index = 0; index < 5; ++index) {
            shiftLow();
        }
        m_rangeBytes.append('\0'); // never read, as the real writer leaves one
        flushDirect();
        m_directBytes.append('\0');
        QByteArray payload;
        for (const int shift : {24, 16, 8, 0}) {
            payload.append(static_cast<char>(window >> shift));
        }
        payload += QByteArray::fromHex("010000200000");
        auto chunk = [](quint8 flags, const QByteArray& data) {
            return QByteArray(1, static_cast<char>(flags)) + char(data.size() >> 16) +
                   char(data.size() >> 8) + char(data.size()) + data;
        };
        return payload + chunk(0x80, m_rangeBytes) + chunk(0x00, m_directBytes);
    }

private:
    quint16* kinds() { return m_probabilities.data(); }
    quint16* distanceSlots() { return kinds() + 64 * 3; }
    quint16* lengthClass() { return distanceSlots() + 168; }
    quint16* shortLengths() { return lengthClass() + 2; }
    quint16* middleLengths() { return shortLengths() + 8; }
    quint16* longLengths() { return middleLengths() + 8; }
    quint16* lows() { return longLengths() + 128; }

    void bit(quint16& probability, int value) {
        const quint32 bound = (m_range >> 12) * probability;
        if (value) {
            m_range = bound;
            probability = static_cast<quint16>(probability + ((4095 - probability) >> 5));
        } else {
            m_low += bound;
            m_range -= bound;
            probability = static_cast<quint16>(probability - (probability >> 5));
        }
        while (m_range < (1u << 24)) {
            m_range <<= 8;
            shiftLow();
        }
    }
    void shiftLow() {
        if (static_cast<quint32>(m_low) < 0xFF000000u || (m_low >> 32) != 0) {
            const auto carry = static_cast<quint8>(m_low >> 32);
            quint8 pending = m_cache;
            do {
                m_rangeBytes.append(static_cast<char>(static_cast<quint8>(pending + carry)));
                pending = 0xFF;
            } while (--m_cacheSize != 0);
            m_cache = static_cast<quint8>(m_low >> 24);
        }
        ++m_cacheSize;
        m_low = (m_low & 0x00FFFFFFu) << 8;
    }
    void tree(quint16* probabilities, int bits, quint32 value) {
        quint32 node = 1;
        for (int index = bits - 1; index >= 0; --index) {
            const int value_ = (value >> index) & 1;
            bit(probabilities[node], value_);
            node = 2 * node + static_cast<quint32>(value_);
        }
    }
    void direct(quint64 value, int bits) {
        for (int index = bits - 1; index >= 0; --index) {
            m_directBits = (m_directBits << 1) | ((value >> index) & 1);
            if (++m_directCount == 8) {
                m_directBytes.append(static_cast<char>(m_directBits));
                m_directBits = 0;
                m_directCount = 0;
            }
        }
    }
    void flushDirect() {
        while (m_directCount != 0) {
            direct(0, 1);
        }
    }
    void integer(quint64 value) {
        if (value < 2) {
            direct(0, 5);
            direct(value, 1);
            return;
        }
        int bits = 0;
        while ((value >> (bits + 1)) != 0) {
            ++bits;
        }
        direct(static_cast<quint64>(bits), 5);
        direct(value - (quint64(1) << bits), bits);
    }
    void match(quint32 lengthValue, quint64 distanceValue) {
        bit(kinds()[m_state * 3], 1);
        bit(kinds()[m_state * 3 + 1], 1);
        if (lengthValue < 8) {
            bit(lengthClass()[0], 0);
            tree(shortLengths(), 3, lengthValue);
        } else if (lengthValue < 16) {
            bit(lengthClass()[0], 1);
            bit(lengthClass()[1], 0);
            tree(middleLengths(), 3, lengthValue - 8);
        } else {
            bit(lengthClass()[0], 1);
            bit(lengthClass()[1], 1);
            tree(longLengths(), 7, lengthValue - 16); // below 143: no long lengths
        }
        static const int offsets[7] = {0, 8, 24, 40, 72, 104, 136};
        static const int depths[7] = {3, 4, 4, 5, 5, 5, 5};
        const int which = static_cast<int>(std::min<quint32>(lengthValue, 6));
        quint32 slot = static_cast<quint32>(distanceValue);
        if (distanceValue > 2) {
            slot = 2;
            while (((distanceValue - 1) >> (slot - 1)) != 0) {
                ++slot;
            }
        }
        tree(distanceSlots() + offsets[which], depths[which], slot);
        if (slot > 2) {
            const quint32 extra = slot - 2;
            const quint64 rest = distanceValue - ((quint64(1) << extra) + 1);
            if (extra > 4) {
                direct(rest >> 4, static_cast<int>(extra - 4));
            }
            const quint32 low = rest & 15;
            const quint32 reversed =
                ((low & 1) << 3) | ((low & 2) << 1) | ((low & 4) >> 1) | ((low & 8) >> 3);
            tree(lows() + (extra - 1) * 16, 4, reversed);
        }
        m_state = (m_state * 4 + 1) & 63;
    }

    std::vector<quint16> m_probabilities;
    unsigned m_state = 0;
    quint64 m_low = 0;
    quint32 m_range = 0xFFFFFFFFu;
    quint8 m_cache = 0;
    quint64 m_cacheSize = 1;
    QByteArray m_rangeBytes;
    QByteArray m_directBytes;
    quint64 m_directBits = 0;
    int m_directCount = 0;
};

} // namespace

class TestCodecs : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void vectors_data();
    void vectors();
    void hostile_data();
    void hostile();
    void flippedBytes_data();
    void flippedBytes();
    void cscWindowWrap_data();
    void cscWindowWrap();

private:
    QDir m_vectors;
    bool m_haveVectors = false;
};

void TestCodecs::initTestCase() {
    m_vectors = QDir(vectorDirectory());
    m_haveVectors = m_vectors.exists(QStringLiteral("MANIFEST.tsv"));
}

void TestCodecs::vectors_data() {
    QTest::addColumn<QString>("name");
    const QStringList names =
        QDir(vectorDirectory())
            .entryList({QStringLiteral("*.c14"), QStringLiteral("*.c21")}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        QTest::newRow(qPrintable(name)) << name;
    }
    if (names.isEmpty()) {
        QTest::newRow("no vectors") << QString();
    }
}

void TestCodecs::vectors() {
    QFETCH(QString, name);
    if (name.isEmpty()) {
        QSKIP(qPrintable(QStringLiteral("codec vectors not found in %1").arg(vectorDirectory())));
    }
    const QByteArray packed = readFile(m_vectors.filePath(name));
    const QByteArray expected = readFile(m_vectors.filePath(QFileInfo(name).completeBaseName() + ".in"));
    QByteArray output;
    QVERIFY(!rejected(packed, &output));
    QCOMPARE(output.size(), expected.size());
    QVERIFY(output == expected);
}

// Streams every decoder must refuse: taken from real vectors and broken in one place each.
void TestCodecs::hostile_data() {
    QTest::addColumn<QByteArray>("input");
    if (!m_haveVectors) {
        QTest::newRow("no vectors") << QByteArray();
        return;
    }
    const QByteArray csc = readFile(m_vectors.filePath(QStringLiteral("text_64k.c14")));
    const QByteArray crush = readFile(m_vectors.filePath(QStringLiteral("text_64k.c21")));
    const QByteArray cscPayload = csc.mid(VECTOR_PAYLOAD_OFFSET);
    const QByteArray crushPayload = crush.mid(VECTOR_PAYLOAD_OFFSET);
    const quint64 size = 65536;
    auto cscWith = [&](int offset, const QByteArray& bytes) {
        QByteArray payload = cscPayload;
        payload.replace(offset, bytes.size(), bytes);
        return container(14, size, payload);
    };

    for (const auto& [codec, payload] : {std::pair<int, QByteArray>{14, cscPayload}, {21, crushPayload}}) {
        const QString prefix = codec == 14 ? QStringLiteral("csc ") : QStringLiteral("crush ");
        for (const int keep : {1, 9, 10, 14, payload.size() / 2, payload.size() - 3}) {
            QTest::newRow(qPrintable(prefix + QStringLiteral("cut to %1 bytes").arg(keep)))
                << container(codec, size, payload.left(keep));
        }
        QTest::newRow(qPrintable(prefix + "L one more")) << container(codec, size + 1, payload);
        QTest::newRow(qPrintable(prefix + "L one less")) << container(codec, size - 1, payload);
        // A huge L with a tiny stream ends at the stream's end, not after writing L bytes.
        QTest::newRow(qPrintable(prefix + "largest L, tiny stream"))
            << container(codec, TCompressionHelper::MAX_UNPACKED_LENGTH, payload.left(40));
        QTest::newRow(qPrintable(prefix + "L beyond the limit"))
            << container(codec, TCompressionHelper::MAX_UNPACKED_LENGTH + 1, payload);
        QTest::newRow(qPrintable(prefix + "zeros")) << container(codec, size, QByteArray(4096, '\0'));
        QTest::newRow(qPrintable(prefix + "ones")) << container(codec, size, QByteArray(4096, '\xff'));
    }

    // CSC property record: window, chunk size and block size out of bounds.
    QTest::newRow("csc window 4 GiB") << cscWith(0, QByteArray::fromHex("ffffffff"));
    QTest::newRow("csc window 1 GiB + 1") << cscWith(0, QByteArray::fromHex("40000001"));
    QTest::newRow("csc window below 32 KiB") << cscWith(0, QByteArray::fromHex("00007fff"));
    QTest::newRow("csc chunk size 0") << cscWith(4, QByteArray::fromHex("000000"));
    QTest::newRow("csc block size 0") << cscWith(7, QByteArray::fromHex("000000"));
    QTest::newRow("csc chunk size too small") << cscWith(4, QByteArray::fromHex("000100"));
    // A chunk length beyond the payload, and chunks after the end block.
    QTest::newRow("csc chunk beyond the payload") << cscWith(11, QByteArray::fromHex("ffff"));
    QTest::newRow("csc trailing chunk")
        << container(14, size, cscPayload + QByteArray::fromHex("8000000141"));
    QTest::newRow("csc trailing bytes") << container(14, size, cscPayload + "x");
    // CRUSH has no header: a first match cannot refer to data before the start.
    QTest::newRow("crush match at the start")
        << container(21, size, QByteArray::fromHex("ff") + crushPayload);
}

void TestCodecs::hostile() {
    QFETCH(QByteArray, input);
    if (input.isEmpty()) {
        QSKIP("codec vectors not found");
    }
    QElapsedTimer timer;
    timer.start();
    QVERIFY(rejected(input));
    // Generous: a sanitizer build on a loaded machine. A hang or a walk over gigabytes is far slower.
    QVERIFY2(timer.elapsed() < 20000, qPrintable(QStringLiteral("took %1 ms").arg(timer.elapsed())));
}

// One byte flipped at many places of each codec's largest small vector. Neither format carries
// a checksum, so a flip may also decode to other bytes of the right length (the chunk digest
// rejects those); what must never happen is a crash, a hang, an access outside the buffers or
// output of another size. The window bound of CSC is exercised too: the record asks for 1 GiB.
void TestCodecs::flippedBytes_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("patch");
    QTest::newRow("csc text") << QStringLiteral("text_64k.c14") << QByteArray();
    QTest::newRow("csc exe") << QStringLiteral("exe_64k.c14") << QByteArray();
    QTest::newRow("csc window 1 GiB") << QStringLiteral("text_64k.c14") << QByteArray::fromHex("40000000");
    QTest::newRow("crush text") << QStringLiteral("text_64k.c21") << QByteArray();
    QTest::newRow("crush exe") << QStringLiteral("exe_64k.c21") << QByteArray();
}

void TestCodecs::flippedBytes() {
    QFETCH(QString, name);
    QFETCH(QByteArray, patch);
    if (!m_haveVectors) {
        QSKIP("codec vectors not found");
    }
    QByteArray packed = readFile(m_vectors.filePath(name));
    const QByteArray expected = readFile(m_vectors.filePath(QFileInfo(name).completeBaseName() + ".in"));
    packed.replace(VECTOR_PAYLOAD_OFFSET, patch.size(), patch);
    QByteArray output;
    QVERIFY(!rejected(packed, &output));
    QVERIFY(output == expected);

    int refused = 0;
    int tried = 0;
    QElapsedTimer timer;
    timer.start();
    for (int at = VECTOR_PAYLOAD_OFFSET; at < packed.size(); at += 211) {
        for (const char mask : {'\x01', '\x80'}) {
            QByteArray broken = packed;
            broken[at] = static_cast<char>(broken.at(at) ^ mask);
            ++tried;
            if (rejected(broken, &output)) {
                ++refused;
            } else {
                QCOMPARE(output.size(), expected.size());
            }
        }
    }
    qInfo("%s: %d of %d flipped streams refused", qPrintable(name), refused, tried);
    QVERIFY(refused > 0);
    QVERIFY2(timer.elapsed() < 120000, qPrintable(QStringLiteral("took %1 ms").arg(timer.elapsed())));
}

using TMatchList = std::vector<std::pair<int, quint64>>;
Q_DECLARE_METATYPE(TMatchList)

// A 32 KiB window under more data: copies reach back across the wrap; a copy whose source or
// target run would cross the window's end, or whose distance exceeds the window, is refused.
void TestCodecs::cscWindowWrap_data() {
    QTest::addColumn<int>("storedSize");
    QTest::addColumn<TMatchList>("matches");
    QTest::addColumn<bool>("accepted");
    // Lengths stay below 143 (the writer has no long lengths). After 40000 + 140 bytes the write
    // position is 7372: distance 7600 reads from 32540 to 32680, distance 7500 would pass 32768.
    QTest::newRow("copies across the wrap") << 40000 << TMatchList{{140, 1000}, {140, 7600}, {70, 3}} << true;
    QTest::newRow("source crosses the window end") << 40000 << TMatchList{{140, 1000}, {140, 7500}} << false;
    QTest::newRow("target crosses the window end") << 32700 << TMatchList{{100, 100}} << false;
    QTest::newRow("distance beyond the window") << 40000 << TMatchList{{10, 32769}} << false;
    QTest::newRow("distance beyond the data") << 1000 << TMatchList{{10, 1001}} << false;
}

void TestCodecs::cscWindowWrap() {
    QFETCH(int, storedSize);
    QFETCH(TMatchList, matches);
    QFETCH(bool, accepted);
    QByteArray expected(storedSize, '\0');
    for (int index = 0; index < storedSize; ++index) {
        expected[index] = static_cast<char>((index * 7919) >> 5);
    }
    TCscWriter writer;
    writer.stored(expected);
    writer.matches(matches);
    for (const auto& [length, distance] : matches) {
        for (int index = 0; accepted && index < length; ++index) {
            expected.append(expected.at(expected.size() - static_cast<int>(distance)));
        }
    }
    const QByteArray packed = container(14, static_cast<quint64>(expected.size()), writer.finish(32768));
    QByteArray output;
    QCOMPARE(!rejected(packed, &output), accepted);
    if (accepted) {
        QVERIFY(output == expected);
    }
}

QTEST_GUILESS_MAIN(TestCodecs)
#include "tst_codecs.moc"
