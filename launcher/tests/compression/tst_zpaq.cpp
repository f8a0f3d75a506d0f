// ZPAQ containers (codec 6): the vectors made by the original encoder, streams written by
// Debian's zpaq program with several methods (stored, context models, LZ77, BWT and E8E9
// post-processors, several blocks), and hostile streams: cut, altered, asking for huge memory,
// carrying programs that never end.
#include "leb128.h"
#include "shared/compressionhelper.h"
#include "shared/zpaqdecoder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using shared::TCompressionHelper;

namespace {

const QByteArray BLOCK_TAG = QByteArray::fromHex("376B5374A03183D38CB228B0D3");

using testsupport::leb128;

QByteArray container(quint64 unpackedLength, const QByteArray& payload) {
    return char(0x70) + QByteArray(1, char(6)) + leb128(unpackedLength) +
           leb128(static_cast<quint64>(payload.size())) + payload;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qFatal("cannot read %s", qPrintable(path));
    }
    return file.readAll();
}

QByteArray withByte(QByteArray data, int position, quint8 value) {
    data[position] = static_cast<char>(value);
    return data;
}

QByteArray flipped(const QByteArray& data, int position) {
    return withByte(data, position, static_cast<quint8>(data.at(position)) ^ 0x10);
}

// A block without a model (level 2): the bytes go through the post-processor as they are.
// With a program, the decoded bytes start with the selector 1, the program's length and code.
QByteArray storedBlock(const QByteArray& content, const QByteArray& program = QByteArray(), int hh = 0,
                       int hm = 0, int ph = 0, int pm = 0, bool checksum = true) {
    const QByteArray header =
        QByteArray(1, char(hh)) + char(hm) + char(ph) + char(pm) + char(0) + char(0) + char(0);
    QByteArray decoded;
    if (program.isEmpty()) {
        decoded += char(0);
    } else {
        decoded += char(1);
        decoded += char(program.size() & 0xff);
        decoded += char(program.size() >> 8);
        decoded += program;
    }
    decoded += content;
    QByteArray block = BLOCK_TAG + "zPQ" + char(2) + char(1);
    block += char(header.size() & 0xff);
    block += char(header.size() >> 8);
    block += header;
    block += QByteArray::fromHex("01") + "name" + char(0) + "comment" + char(0) + char(0);
    for (int start = 0; start < decoded.size(); start += 1000) {
        const QByteArray record = decoded.mid(start, 1000);
        const quint32 length = static_cast<quint32>(record.size());
        block += char(length >> 24);
        block += char((length >> 16) & 0xff);
        block += char((length >> 8) & 0xff);
        block += char(length & 0xff);
        block += record;
    }
    block += QByteArray(4, '\0');
    if (checksum) {
        block += char(0xFD) + QCryptographicHash::hash(content, QCryptographicHash::Sha1);
    } else {
        block += char(0xFE);
    }
    return block + char(0xFF);
}

// Offsets in the first block of a stream that starts with the locator tag.
constexpr int BLOCK_HEADER_SIZE_OFFSET = 18; // after tag, "zPQ", level and type
constexpr int BLOCK_HEADER_START = 20;       // hh, hm, ph, pm, n, components

int componentSize(quint8 type) {
    static const int sizes[10] = {0, 2, 3, 2, 3, 4, 6, 6, 3, 5};
    return type < 10 ? sizes[type] : 0;
}

// Offset of the first component of the first block and the offset just after the last one.
QPair<int, int> componentRange(const QByteArray& stream) {
    const int count = static_cast<quint8>(stream.at(BLOCK_HEADER_START + 4));
    const int first = BLOCK_HEADER_START + 5;
    int position = first;
    for (int i = 0; i < count; ++i) {
        position += componentSize(static_cast<quint8>(stream.at(position)));
    }
    return {first, position};
}

// The stream with the first block's context program replaced.
QByteArray withContextProgram(const QByteArray& stream, const QByteArray& code) {
    const int headerSize = static_cast<quint8>(stream.at(BLOCK_HEADER_SIZE_OFFSET)) +
                           256 * static_cast<quint8>(stream.at(BLOCK_HEADER_SIZE_OFFSET + 1));
    const int headerEnd = BLOCK_HEADER_START + headerSize;
    const int codeStart = componentRange(stream).second + 1;
    const int newSize = codeStart - BLOCK_HEADER_START + code.size() + 1;
    QByteArray result = stream.left(codeStart) + code + char(0) + stream.mid(headerEnd);
    result[BLOCK_HEADER_SIZE_OFFSET] = static_cast<char>(newSize & 0xff);
    result[BLOCK_HEADER_SIZE_OFFSET + 1] = static_cast<char>(newSize >> 8);
    return result;
}

// The stream with components added after the first block's last one: a CONST, `mixers` MIX
// components over the first two predictions, and an AVG of the former last component with
// itself, which passes its prediction on unchanged. The content decodes as before.
QByteArray withExtraComponents(const QByteArray& stream, int mixers) {
    const int count = static_cast<quint8>(stream.at(BLOCK_HEADER_START + 4));
    const int end = componentRange(stream).second;
    QByteArray extra = QByteArray::fromHex("0180");
    for (int i = 0; i < mixers; ++i) {
        extra += QByteArray::fromHex("070000021000");
    }
    extra += char(5) + QByteArray(2, char(count - 1)) + char(0);
    const int headerSize = static_cast<quint8>(stream.at(BLOCK_HEADER_SIZE_OFFSET)) +
                           256 * static_cast<quint8>(stream.at(BLOCK_HEADER_SIZE_OFFSET + 1)) + extra.size();
    QByteArray result = stream.left(end) + extra + stream.mid(end);
    result[BLOCK_HEADER_START + 4] = static_cast<char>(count + mixers + 2);
    result[BLOCK_HEADER_SIZE_OFFSET] = static_cast<char>(headerSize & 0xff);
    result[BLOCK_HEADER_SIZE_OFFSET + 1] = static_cast<char>(headerSize >> 8);
    return result;
}

QString vectorFolder() {
    return qEnvironmentVariable("ORVANE_SOURCE_DIR") + QStringLiteral("/../shared/formats/vectors");
}

} // namespace

class TestZpaq : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void vectors_data();
    void vectors();
    void zpaqProgram_data();
    void zpaqProgram();
    void decode_data();
    void decode();

private:
    QByteArray zpaqStream(const QString& method, const QByteArray& content);

    QTemporaryDir m_dir;
    QByteArray m_text;         // text and x86-like code, 96 KiB
    QByteArray m_large;        // 1.1 MiB: two blocks at zpaq's smallest block size (1 MiB - 4 KiB)
    QByteArray m_contextModel; // m_text by zpaq with an ICM and an ISSE
    QByteArray m_smallModel;   // its first 4 KiB the same way
};

void TestZpaq::initTestCase() {
    QVERIFY(m_dir.isValid());
    quint32 state = 12345;
    auto next = [&state]() {
        state = state * 1103515245u + 12345u;
        return state >> 16;
    };
    static const char* const words[] = {"orvane", "launcher", "chunk",  "package", "client",
                                        "the",    "of",       "update", "service", "digest",
                                        "file",   "and",      "stream", "block"};
    while (m_text.size() < 64 * 1024) {
        m_text += words[next() % 14];
        m_text += next() % 9 == 0 ? ".\n" : " ";
    }
    // Machine code alike: calls and jumps with relative targets, which the E8E9 filter changes.
    while (m_text.size() < 96 * 1024) {
        m_text += char(next() % 2 ? 0xE8 : 0x8B);
        const quint32 target = next() % 4096;
        m_text += QByteArray(reinterpret_cast<const char*>(&target), 4);
        m_text += QByteArray(static_cast<int>(next() % 6), '\0');
    }
    for (int i = 0; m_large.size() < 1126 * 1024; ++i) {
        m_large += m_text.mid((i * 7919) % 60000, 4096);
        m_large += QByteArray::number(i);
    }
    m_contextModel = zpaqStream(QStringLiteral("s0.0ci1"), m_text);
    m_smallModel = zpaqStream(QStringLiteral("s0.0ci1"), m_text.left(4096));
    QVERIFY(!m_contextModel.isEmpty() && !m_smallModel.isEmpty());
}

// The archive zpaq writes in streaming mode for the content: as a whole the payload of a
// container.
QByteArray TestZpaq::zpaqStream(const QString& method, const QByteArray& content) {
    const QString folder = m_dir.filePath(QString::number(qHash(method) ^ qHash(content)));
    QDir().mkpath(folder);
    QFile input(folder + QStringLiteral("/input"));
    if (!input.open(QIODevice::WriteOnly) || input.write(content) != content.size()) {
        return QByteArray();
    }
    input.close();
    QFile::remove(folder + QStringLiteral("/out.zpaq"));
    QProcess zpaq;
    zpaq.setWorkingDirectory(folder);
    zpaq.start(QStringLiteral("zpaq"), {"a", "out.zpaq", "input", "-method", method});
    if (!zpaq.waitForFinished(120000) || zpaq.exitStatus() != QProcess::NormalExit || zpaq.exitCode() != 0) {
        qWarning("the zpaq program failed or is missing (scripts/setup.sh installs it): %s",
                 zpaq.readAllStandardError().constData());
        return QByteArray();
    }
    return readFile(folder + QStringLiteral("/out.zpaq"));
}

void TestZpaq::vectors_data() {
    QTest::addColumn<QString>("name");
    const QDir folder(vectorFolder());
    const QStringList names = folder.entryList({QStringLiteral("*.c6")}, QDir::Files, QDir::Name);
    if (names.isEmpty()) {
        QTest::newRow("no vectors") << QString();
    }
    for (const QString& name : names) {
        QTest::newRow(qPrintable(name)) << folder.filePath(name);
    }
}

void TestZpaq::vectors() {
    QFETCH(QString, name);
    if (name.isEmpty()) {
        QSKIP(qPrintable(QStringLiteral("no ZPAQ vectors in %1").arg(vectorFolder())));
    }
    const QString expectedPath = name.left(name.size() - 3) + QStringLiteral(".in");
    // The multi-block vector takes minutes in a sanitizer build; bench_zpaq decodes and checks it.
    if (QFileInfo(expectedPath).size() > 4 * 1024 * 1024 &&
        qEnvironmentVariableIsEmpty("ORVANE_LARGE_VECTORS")) {
        QSKIP("large vector: set ORVANE_LARGE_VECTORS=1 to decode it here, or run bench_zpaq on it");
    }
    const QByteArray output = TCompressionHelper::DecompressLZMAByteArrayWithExceptionOnError(readFile(name));
    QVERIFY(output == readFile(expectedPath));
}

void TestZpaq::zpaqProgram_data() {
    QTest::addColumn<QString>("method");
    QTest::addColumn<bool>("large");
    QTest::newRow("stored") << QStringLiteral("s0.0") << false;
    QTest::newRow("stored, several blocks") << QStringLiteral("s0.0") << true;
    QTest::newRow("CM") << QStringLiteral("s0.0c0.0.255") << false;
    QTest::newRow("ICM and ISSE, several blocks") << QStringLiteral("s0.0ci1") << true;
    QTest::newRow("mixed model with MATCH, MIX, MIX2, SSE")
        << QStringLiteral("s0.0w1i1c256ci1,1,1,1,1,1,2ac0,2,0,255i1c0,3,0,0,255i1c0,4,0,0,0,255i1mm16ts19t0")
        << false;
    QTest::newRow("LZ77 bit-packed, post-processor") << QStringLiteral("s0.1.4.0.3.20") << false;
    QTest::newRow("LZ77 bytes with model, post-processor")
        << QStringLiteral("s0.2.12.0.7.21.1c0.0.511i2") << false;
    QTest::newRow("BWT, post-processor") << QStringLiteral("s0.3ci1") << false;
    QTest::newRow("E8E9, post-processor") << QStringLiteral("s0.4ci1") << false;
    QTest::newRow("E8E9 and LZ77, post-processor") << QStringLiteral("s0.5.4.0.3.22") << false;
    QTest::newRow("E8E9 and BWT, post-processor") << QStringLiteral("s0.7ci1") << false;
}

void TestZpaq::zpaqProgram() {
    QFETCH(QString, method);
    QFETCH(bool, large);
    const QByteArray content = large ? m_large : m_text;
    const QByteArray stream = zpaqStream(method, content);
    QVERIFY(!stream.isEmpty());
    const quint64 size = static_cast<quint64>(content.size());
    QVERIFY(TCompressionHelper::DecompressLZMAByteArrayWithExceptionOnError(container(size, stream)) ==
            content);
}

void TestZpaq::decode_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("rejected");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray none;
    const QByteArray text = m_text;
    const quint64 size = static_cast<quint64>(text.size());
    const QByteArray model = m_contextModel;
    const QByteArray stored = storedBlock(text);

    QTest::newRow("stored block") << container(size, stored) << false << text;
    QTest::newRow("two blocks") << container(size * 2, stored + stored) << false << text + text;
    QTest::newRow("block without locator tag")
        << container(size, stored.mid(BLOCK_TAG.size())) << false << text;
    QTest::newRow("no checksum") << container(size, storedBlock(text, {}, 0, 0, 0, 0, false)) << false
                                 << text;
    QTest::newRow("L as capacity") << container(size + 100, model) << false << text;
    QTest::newRow("more than L") << container(size - 1, model) << true << none;
    QTest::newRow("wrong checksum") << container(size, flipped(stored, stored.size() - 5)) << true << none;
    QTest::newRow("bytes after the last block") << container(size, model + "x") << true << none;
    QTest::newRow("no block") << container(size, QByteArray(100, 'x')) << true << none;

    // Cut anywhere.
    for (const int keep :
         {10, 25, 60, model.size() / 2, model.size() - 23, model.size() - 2, model.size() - 1}) {
        QTest::newRow(qPrintable(QStringLiteral("cut to %1 bytes").arg(keep)))
            << container(size, model.left(keep)) << true << none;
    }
    // One byte altered: magic, level, component list, coded data, trailer, end of block.
    const QPair<int, int> components = componentRange(model);
    for (const int position :
         {13, 16, components.first, model.size() / 10, model.size() / 2, model.size() * 9 / 10,
          model.size() - 22, model.size() - 10, model.size() - 1}) {
        QTest::newRow(qPrintable(QStringLiteral("byte %1 altered").arg(position)))
            << container(size, flipped(model, position)) << true << none;
    }

    // Memory beyond the bound: 2^32 words of H, and an ISSE or CM table of 2^32 rows.
    QTest::newRow("huge H") << container(size, withByte(model, BLOCK_HEADER_START, 32)) << true << none;
    QTest::newRow("size beyond the format")
        << container(size, withByte(model, BLOCK_HEADER_START + 1, 33)) << true << none;
    QTest::newRow("huge post-processor memory")
        << container(size, storedBlock(text, {}, 0, 0, 24, 31)) << true << none;
    QTest::newRow("huge component table")
        << container(size, withByte(model, components.second - 2, 32)) << true << none;

    // The work per bit: 2 + 1 + 150 + 1 components with 300 MIX inputs is within the bound, 170
    // MIX components are not.
    QTest::newRow("costly model within the bound")
        << container(4096, withExtraComponents(m_smallModel, 150)) << false << text.left(4096);
    QTest::newRow("model too costly")
        << container(4096, withExtraComponents(m_smallModel, 170)) << true << none;

    // Programs. The context program runs after the first byte; the post-processor's after its
    // program has arrived.
    const QByteArray loopForever = QByteArray::fromHex("3FFE"); // JMP -2
    // B = 5120; do B-- until B == 0; HALT: about 20000 instructions per byte.
    const QByteArray longLoop = QByteArray::fromHex("4714CF0848"
                                                    "0A41DF002FFA"
                                                    "38");
    QTest::newRow("context program loops for ever")
        << container(size, withContextProgram(model, loopForever)) << true << none;
    QTest::newRow("context program too long per byte")
        << container(size, withContextProgram(model, longLoop)) << true << none;
    QTest::newRow("context program jumps outside")
        << container(size, withContextProgram(model, QByteArray::fromHex("3F40"))) << true << none;
    QTest::newRow("context program long jump beyond its end")
        << container(size, withContextProgram(model, QByteArray::fromHex("FFFF00"))) << true << none;
    QTest::newRow("context program undefined instruction")
        << container(size, withContextProgram(model, QByteArray::fromHex("05"))) << true << none;
    QTest::newRow("context program empty")
        << container(size, withContextProgram(model, QByteArray())) << true << none;
    QTest::newRow("post-processor loops for ever")
        << container(size, storedBlock(text, loopForever)) << true << none;
    QTest::newRow("post-processor too long per byte")
        << container(size, storedBlock(text, longLoop)) << true << none;
    // OUT; JMP -3: output without end.
    QTest::newRow("post-processor writes beyond L")
        << container(size, storedBlock(text, QByteArray::fromHex("393FFD"))) << true << none;
    // A > 255 (the end of a segment) skips OUT: the content unchanged.
    QTest::newRow("post-processor copies")
        << container(size, storedBlock(text, QByteArray::fromHex("EFFF27013938"))) << false << text;
}

void TestZpaq::decode() {
    QFETCH(QByteArray, input);
    QFETCH(bool, rejected);
    QFETCH(QByteArray, expected);
    QElapsedTimer timer;
    timer.start();
    if (rejected) {
        try {
            TCompressionHelper::DecompressLZMAByteArrayWithExceptionOnError(input);
            QFAIL("a corrupt container was accepted");
        } catch (const shared::TDecompressionError& error) {
            QCOMPARE(QString::fromUtf8(error.what()),
                     QStringLiteral("Invalid input data could not be decompressed"));
        }
        // Quickly: well below what decoding the content takes, even in a sanitizer build.
        QVERIFY2(timer.elapsed() < 30000, qPrintable(QString::number(timer.elapsed())));
    } else {
        const QByteArray output = TCompressionHelper::DecompressLZMAByteArrayWithExceptionOnError(input);
        QCOMPARE(output.size(), expected.size());
        QVERIFY(output == expected);
    }
}

QTEST_GUILESS_MAIN(TestZpaq)
#include "tst_zpaq.moc"
