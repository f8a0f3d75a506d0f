#include "launcher/installation/chunking.h"
#include "shared/sha256.h"
#include "splitmix64.h"

#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <stdexcept>

using namespace quarn::launcher;

namespace {

// The golden files: testsupport::splitmix64Bytes from this seed.
constexpr quint64 GOLDEN_SEED = 0x4F7276616E65; // "Orvane"

using testsupport::splitmix64Bytes;

// One line per chunk, "offset length sha256-hex", as orvane-publish chunks prints them.
struct TCollector {
    QStringList lines;
    quint64 offset = 0;
    TChunkCallback callback() {
        return [this](const char* data, quint64 length) {
            lines.append(QStringLiteral("%1 %2 %3")
                             .arg(offset)
                             .arg(length)
                             .arg(QString::fromLatin1(shared::TSha256::hash(data, qint64(length)).toHex())));
            offset += length;
        };
    }
    QList<quint64> lengths() const {
        QList<quint64> result;
        for (const QString& line : lines) {
            result.append(line.section(' ', 1, 1).toULongLong());
        }
        return result;
    }
};

QString writeFile(const QTemporaryDir& dir, const QByteArray& content) {
    const QString path = dir.filePath(QStringLiteral("input.bin"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
        qFatal("cannot write the test file");
    }
    return path;
}

QStringList chunkFile(quint64 average, const QByteArray& content) {
    QTemporaryDir dir;
    TCollector collector;
    splitIntoChunks(average, writeFile(dir, content).toStdString(), collector.callback());
    return collector.lines;
}

// Serves content in reads whose sizes follow the given pattern.
TChunkSource pieces(const QByteArray& content, QList<qint64> pattern) {
    auto position = std::make_shared<qint64>(0);
    auto call = std::make_shared<int>(0);
    return [content, pattern, position, call](char* buffer, qint64 maxSize) -> qint64 {
        const qint64 size =
            qMin(qMin(pattern[(*call)++ % pattern.size()], maxSize), content.size() - *position);
        memcpy(buffer, content.constData() + *position, size_t(size));
        *position += size;
        return size;
    };
}

} // namespace

class TestChunking : public QObject {
    Q_OBJECT

private slots:
    void validation_data();
    void validation();
    void derivedParameters();
    void edgeCases_data();
    void edgeCases();
    void cutsDoNotDependOnReads_data();
    void cutsDoNotDependOnReads();
    void searchMatchesSerialHash_data();
    void searchMatchesSerialHash();
    void goldenSmallAverage();
    void goldenProgramAverage();
    void failures();
};

void TestChunking::validation_data() {
    QTest::addColumn<quint64>("average");
    QTest::addColumn<QString>("message");
    QTest::newRow("0") << quint64(0) << "average < AVERAGE_MIN";
    QTest::newRow("255") << quint64(255) << "average < AVERAGE_MIN";
    QTest::newRow("256") << quint64(256) << "maximum < MAXIMUM_MIN";
    QTest::newRow("511") << quint64(511) << "maximum < MAXIMUM_MIN";
    QTest::newRow("512") << quint64(512) << "";
    QTest::newRow("8 MiB") << DEFAULT_CHUNK_AVERAGE << "";
    QTest::newRow("134217729") << quint64(134217729) << "";
    QTest::newRow("134217730") << quint64(134217730) << "minimum > MINIMUM_MAX";
    QTest::newRow("268435457") << quint64(268435457) << "average > AVERAGE_MAX";
    QTest::newRow("2^40") << (quint64(1) << 40) << "average > AVERAGE_MAX";
}

void TestChunking::validation() {
    QFETCH(quint64, average);
    QFETCH(QString, message);
    // A missing file is silently empty, so an exception can only come from the validation.
    int calls = 0;
    try {
        splitIntoChunks(average, std::string("/nonexistent/orvane/input.bin"),
                        [&calls](const char*, quint64) { ++calls; });
        QVERIFY2(message.isEmpty(), "no exception thrown");
    } catch (const std::invalid_argument& error) {
        QCOMPARE(QString::fromUtf8(error.what()), message);
    }
    QCOMPARE(calls, 0);
}

void TestChunking::derivedParameters() {
    const TChunkingParameters p = TChunkingParameters::derive(DEFAULT_CHUNK_AVERAGE);
    QCOMPARE(p.minimum, quint64(4194304));
    QCOMPARE(p.maximum, quint64(16777216));
    QCOMPARE(p.bits, 23);
    QCOMPARE(p.smallChunkMask, quint32(0xFFFFFF));
    QCOMPARE(p.largeChunkMask, quint32(0x3FFFFF));
    QCOMPARE(p.normalSize, quint64(2097152));
    // log2 rounds to the nearest integer: 2^22.5 lies between 11 * 2^19 and 3 * 2^21.
    QCOMPARE(TChunkingParameters::derive(11 << 19).bits, 22);
    QCOMPARE(TChunkingParameters::derive(3 << 21).bits, 23);
}

void TestChunking::edgeCases_data() {
    QTest::addColumn<quint64>("average");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QList<quint64>>("lengths");

    const quint64 minimum = DEFAULT_CHUNK_AVERAGE / 2;
    QTest::newRow("empty") << DEFAULT_CHUNK_AVERAGE << QByteArray() << QList<quint64>{};
    QTest::newRow("one byte") << DEFAULT_CHUNK_AVERAGE << QByteArray("x") << QList<quint64>{1};
    QTest::newRow("exactly the minimum")
        << DEFAULT_CHUNK_AVERAGE << splitmix64Bytes(1, int(minimum)) << QList<quint64>{minimum};
    QTest::newRow("minimum + 1") << DEFAULT_CHUNK_AVERAGE << splitmix64Bytes(2, int(minimum + 1))
                                 << QList<quint64>{minimum + 1};
    // A run of one byte value settles the hash where it never meets the mask: forced cuts at the
    // maximum, each followed by a fresh hash.
    QTest::newRow("run of zero bytes") << DEFAULT_CHUNK_AVERAGE << QByteArray(40 * 1024 * 1024, '\0')
                                       << QList<quint64>{16777216, 16777216, 8388608};
    // At average 512 the mask is 0xFF. TABLE[3] >> 1 plus TABLE[48] has its low 8 bits clear, so
    // a chunk ends on the second hashed byte; no single TABLE value can end it on the first.
    QTest::newRow("hit two bytes after the minimum")
        << quint64(512) << QByteArray(256, 'x') + QByteArray("\x03\x30") + QByteArray(300, 'y')
        << QList<quint64>{258, 300};
    // A forced cut at the maximum, then a fresh hash that hits on the second hashed byte again.
    QTest::newRow("hit after a forced cut")
        << quint64(512) << QByteArray(1024 + 256, 'x') + QByteArray("\x03\x30") + QByteArray(5, 'y')
        << QList<quint64>{1024, 258, 5};
}

void TestChunking::edgeCases() {
    QFETCH(quint64, average);
    QFETCH(QByteArray, content);
    QFETCH(QList<quint64>, lengths);
    QTemporaryDir dir;
    TCollector collector;
    splitIntoChunks(average, writeFile(dir, content).toStdString(), collector.callback());
    QCOMPARE(collector.lengths(), lengths);
}

void TestChunking::cutsDoNotDependOnReads_data() {
    QTest::addColumn<quint64>("average");
    QTest::addColumn<QList<qint64>>("pattern");
    QTest::newRow("single bytes") << quint64(512) << QList<qint64>{1};
    QTest::newRow("odd sizes") << quint64(4096) << QList<qint64>{1, 4095, 7, 65537, 8191, 3};
    QTest::newRow("one byte short of the maximum") << quint64(16384) << QList<qint64>{32767};
}

void TestChunking::cutsDoNotDependOnReads() {
    QFETCH(quint64, average);
    QFETCH(QList<qint64>, pattern);
    // Random data with runs of one value mixed in, so that forced cuts and hash hits both occur.
    QByteArray content = splitmix64Bytes(GOLDEN_SEED + 7, 3 * 1024 * 1024);
    content.replace(100000, int(4 * average), QByteArray(int(4 * average), '\x5a'));
    const QStringList whole = chunkFile(average, content);
    QVERIFY(whole.size() > 50);

    TCollector collector;
    splitIntoChunks(average, pieces(content, pattern), collector.callback());
    QCOMPARE(collector.lines, whole);
    QCOMPARE(collector.offset, quint64(content.size()));
}

void TestChunking::searchMatchesSerialHash_data() {
    QTest::addColumn<quint32>("mask");
    QTest::addColumn<quint64>("warmup");
    // Warmups of 0 and 1 byte make most guesses of a segment's starting hash wrong, so the
    // recovery from a wrong guess runs as often as the confirmed path.
    for (const quint64 warmup : {quint64(0), quint64(1), quint64(8), chunkingdetail::DEFAULT_WARMUP}) {
        for (const quint32 mask : {quint32(0x3FF), quint32(0x3FFF), quint32(0xFFFFF)}) {
            QTest::addRow("mask %x, warmup %llu", mask, static_cast<unsigned long long>(warmup))
                << mask << warmup;
        }
    }
}

// The search runs several hash chains side by side; every hit and every hash it reports must be
// those of the plain byte-by-byte definition.
void TestChunking::searchMatchesSerialHash() {
    QFETCH(quint32, mask);
    QFETCH(quint64, warmup);
    QByteArray content = splitmix64Bytes(GOLDEN_SEED + 3, 2 * 1024 * 1024);
    content.replace(300000, 200000, QByteArray(200000, '\x11'));
    const auto* data = reinterpret_cast<const unsigned char*>(content.constData());
    const quint64 size = quint64(content.size());
    const quint32* const table = chunkingdetail::table();

    quint64 position = 0;
    int hits = 0;
    while (position < size) {
        quint32 expectedHash = quint32(position * 2654435761u); // any start value
        quint32 hash = expectedHash;
        quint64 expectedCut = 0;
        for (quint64 i = position; i < size; ++i) {
            expectedHash = (expectedHash >> 1) + table[data[i]];
            if ((expectedHash & mask) == 0) {
                expectedCut = i + 1;
                break;
            }
        }
        const quint64 cut = chunkingdetail::findHit(data, position, size, hash, mask, warmup);
        QCOMPARE(cut, expectedCut);
        QCOMPARE(hash, expectedHash);
        if (cut == 0) {
            break;
        }
        ++hits;
        position = cut + (position % 7); // vary the alignment of the next search
    }
    QVERIFY(hits > 0);
}

void TestChunking::goldenSmallAverage() {
    const QByteArray content = splitmix64Bytes(GOLDEN_SEED, 200000);
    QCOMPARE(shared::TSha256::hash(content).toHex(),
             QByteArray("995c83cf15da1022cadb100eadf4393b551b65a2f3f49925bd1f0fd1837992e8"));
    const QStringList lines = chunkFile(4096, content);
    TCollector collector;
    collector.lines = lines;
    const QList<quint64> expected{
        3850, 3197, 2232, 2070, 2487, 2766, 2162, 6015, 7901, 5486, 6995, 4197, 7236, 2745, 3261, 4352, 6754,
        4766, 3875, 2138, 2270, 4287, 3469, 2150, 5862, 5324, 8192, 2830, 4529, 2387, 5405, 3411, 3441, 6118,
        4377, 2526, 2118, 3197, 3150, 2849, 2168, 2622, 3484, 5812, 3500, 4505, 2311, 4435, 4567, 3834, 385};
    QCOMPARE(collector.lengths(), expected);
    // The digest of the listing "offset length sha256-hex\n" per chunk.
    QCOMPARE(shared::TSha256::hash((lines.join('\n') + '\n').toLatin1()).toHex(),
             QByteArray("19e4a9a9cdbc2b728100cdebdbb82ab95256ab04060b0106d5a3211906a3d8d4"));
}

void TestChunking::goldenProgramAverage() {
    const QByteArray content = splitmix64Bytes(GOLDEN_SEED, 41955000);
    const QStringList expected{
        "0 9429422 23d53272cd4c5beef5bd4816205a77fb6f86cbee96837a36760787367aa83084",
        "9429422 6874149 33425ba491c1d5865e334e4c8830d2733d6d25eb5a166aa84b4b52c0ffcbcbb9",
        "16303571 5502800 657a9c9caeaf47dc7a8016887fb512d127baeadaa321f574d8fa3086a2a384e0",
        "21806371 4415617 78ee9b17928e92eb255f40ce44ee046ebc5103482beb689f8807438868dd60a1",
        "26221988 6845393 c220c8308f7414db40dd369840959e57da78881274e3aab4aa558e3abe065e5a",
        "33067381 8023034 7ba63533cc682be518043220958f2d61adeda2d0665410ad3330bd637df9c1ea",
        "41090415 864585 65885aea80a8808a29f342e62e89812415ec04da027f059041a15a5804c9ded0",
    };
    QCOMPARE(chunkFile(DEFAULT_CHUNK_AVERAGE, content), expected);
}

void TestChunking::failures() {
    QTemporaryDir dir;
    const std::string path = writeFile(dir, QByteArray(5000, 'a')).toStdString();

    // A directory cannot be read: no chunks, no error.
    int calls = 0;
    splitIntoChunks(512, dir.path().toStdString(), [&calls](const char*, quint64) { ++calls; });
    QCOMPARE(calls, 0);

    QVERIFY_EXCEPTION_THROWN(splitIntoChunks(512, path, TChunkCallback()), std::bad_function_call);

    calls = 0;
    QVERIFY_EXCEPTION_THROWN(splitIntoChunks(512, path,
                                             [&calls](const char*, quint64) {
                                                 if (++calls == 2) {
                                                     throw std::runtime_error("stop");
                                                 }
                                             }),
                             std::runtime_error);
    QCOMPARE(calls, 2);
}

QTEST_GUILESS_MAIN(TestChunking)
#include "tst_chunking.moc"
