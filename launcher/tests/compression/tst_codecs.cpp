// The CSC (14) and CRUSH (21) decoders against the vectors their original encoders made, and
// hostile streams of both: each must end as the one decompression error, quickly, without
// reading or writing outside its buffers (the sanitizer build checks that).
#include "shared/compressionhelper.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

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

QByteArray leb128(quint64 value) {
    QByteArray out;
    do {
        quint8 byte = value & 0x7f;
        value >>= 7;
        if (value != 0) {
            byte |= 0x80;
        }
        out.append(static_cast<char>(byte));
    } while (value != 0);
    return out;
}

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

QTEST_GUILESS_MAIN(TestCodecs)
#include "tst_codecs.moc"
