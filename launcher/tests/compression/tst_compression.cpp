// Compressed chunk containers: the edge cases of the format, each decoded codec on data made by
// the real tools (python3's zlib and lzma modules, the lzip command), the bounds on untrusted
// headers, and the publisher tool's pack/unpack round trip.
#include "leb128.h"
#include "shared/compressionhelper.h"

#include <lzma.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using shared::TCompressionHelper;

namespace {

using testsupport::leb128;

QByteArray container(int codec, quint64 unpackedLength, const QByteArray& payload, int padding = 0) {
    return QByteArray(padding, '\0') + char(0x70) + char(codec) + leb128(unpackedLength) +
           leb128(static_cast<quint64>(payload.size())) + payload;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qFatal("cannot read %s", qPrintable(path));
    }
    return file.readAll();
}

// Raw LZMA1 stream without an end marker, ending exactly after the data (as an encoder that
// knows the size writes it), behind the 13-byte payload header.
QByteArray lzmaPayloadWithoutEndMarker(const QByteArray& data) {
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 6);
    options.dict_size = 1 << 20;
    options.ext_flags = 0;
    lzma_set_ext_size(options, static_cast<quint64>(data.size()));
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&stream, filters) != LZMA_OK) {
        qFatal("LZMA1EXT encoder not available");
    }
    QByteArray out(data.size() + 65536, '\0');
    stream.next_in = reinterpret_cast<const uint8_t*>(data.constData());
    stream.avail_in = static_cast<size_t>(data.size());
    stream.next_out = reinterpret_cast<uint8_t*>(out.data());
    stream.avail_out = static_cast<size_t>(out.size());
    lzma_ret result = LZMA_OK;
    while (result == LZMA_OK) {
        result = lzma_code(&stream, LZMA_FINISH);
    }
    out.truncate(static_cast<int>(stream.total_out));
    lzma_end(&stream);
    QByteArray header;
    header.append(char(3 + 9 * (0 + 5 * 2))); // lc=3, lp=0, pb=2
    header.append(QByteArray::fromHex("00001000"));
    header.append(QByteArray(8, '\0'));
    return header + out;
}

} // namespace

class TestCompression : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void decode_data();
    void decode();
    void nonThrowingFormKeepsUndecodableInput();
    void publishPackUnpack_data();
    void publishPackUnpack();
    void publishUnpackRejectsCorruptContainer();

private:
    QTemporaryDir m_dir;
    QByteArray m_content;
    QByteArray m_deflate; // raw DEFLATE by python's zlib
    QByteArray m_lzma;    // 13-byte header + raw LZMA1 with end marker by python's lzma
    QByteArray m_lzip;    // lzip member by the lzip command
    QString m_publish;
};

void TestCompression::initTestCase() {
    QVERIFY(m_dir.isValid());
    // Compressible but not trivial content, the same in every run.
    for (int line = 0; m_content.size() < 300000; ++line) {
        m_content += QByteArray("chunk line ") + QByteArray::number(line * 7919 % 10007) + ' ' +
                     QByteArray::number(line).repeated(line % 5 + 1) + '\n';
    }
    const QString contentPath = m_dir.filePath(QStringLiteral("content"));
    {
        QFile file(contentPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(m_content);
    }
    const QString script = QStringLiteral(R"(
import lzma, sys, zlib
d = open(sys.argv[1], 'rb').read()
c = zlib.compressobj(9, zlib.DEFLATED, -15)
open(sys.argv[1] + '.deflate', 'wb').write(c.compress(d) + c.flush())
f = {'id': lzma.FILTER_LZMA1, 'preset': 9, 'dict_size': 1 << 20}
props = lzma._encode_filter_properties(f)
stream = lzma.compress(d, format=lzma.FORMAT_RAW, filters=[f])
open(sys.argv[1] + '.lzma', 'wb').write(props + len(stream).to_bytes(8, 'little') + stream)
)");
    QProcess python;
    python.start(QStringLiteral("python3"), {QStringLiteral("-c"), script, contentPath});
    QVERIFY(python.waitForFinished(60000));
    QCOMPARE(python.exitCode(), 0);
    QProcess lzip;
    lzip.start(QStringLiteral("lzip"), {QStringLiteral("-9"), QStringLiteral("-k"), contentPath});
    QVERIFY2(lzip.waitForFinished(60000), "the lzip command is needed (scripts/setup.sh installs it)");
    QCOMPARE(lzip.exitCode(), 0);
    m_deflate = readFile(contentPath + ".deflate");
    m_lzma = readFile(contentPath + ".lzma");
    m_lzip = readFile(contentPath + ".lz");
    QCOMPARE(m_lzma.size() > 13, true);
    m_publish = qEnvironmentVariable("ORVANE_BINARY_DIR") + "/tools/orvane-publish/orvane-publish";
}

void TestCompression::decode_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("rejected");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray abc = QByteArrayLiteral("\x70\x00\x03\x03"
                                             "abc");
    const QByteArray content = m_content;
    const quint64 size = static_cast<quint64>(content.size());
    const QByteArray none;

    // Recognising a container.
    QTest::newRow("codec 0") << abc << false << QByteArray("abc");
    QTest::newRow("codec 0 after padding") << QByteArray(3, '\0') + abc << false << QByteArray("abc");
    QTest::newRow("plain text passes") << QByteArray("hello") << false << QByteArray("hello");
    QTest::newRow("empty passes") << QByteArray() << false << QByteArray();
    QTest::newRow("zeros only pass") << QByteArray(5, '\0') << false << QByteArray(5, '\0');
    QTest::newRow("lone marker passes") << QByteArray("\0\0p", 3) << false << QByteArray("\0\0p", 3);
    QTest::newRow("codec 24 passes") << QByteArray("p\x18\x01\x01x") << false << QByteArray("p\x18\x01\x01x");
    QTest::newRow("codec 0 shorter than L") << container(0, 10, "abc") << false << QByteArray("abc");

    // Codecs that are not decoded.
    for (int codec : {1, 6, 7, 23}) {
        QTest::newRow(qPrintable(QStringLiteral("codec %1 rejected").arg(codec)))
            << container(codec, 3, "abc") << true << none;
    }

    // Header bounds.
    QTest::newRow("L is 0") << container(0, 0, "abc") << true << none;
    QTest::newRow("N is 0") << container(0, 3, "") << true << none;
    QTest::newRow("N beyond the data") << QByteArray("p\x00\x03\x05"
                                                     "abc",
                                                     7)
                                       << true << none;
    QTest::newRow("header cut in L") << QByteArray("p\x00\x83", 3) << true << none;
    QTest::newRow("codec 0 payload longer than L") << container(0, 2, "abc") << true << none;
    QTest::newRow("L absurd") << container(0, TCompressionHelper::MAX_UNPACKED_LENGTH + 1, "abc") << true
                              << none;
    QTest::newRow("L beyond 64 bits") << QByteArray("p\x00", 2) + QByteArray(10, '\xff') +
                                             "\x01\x03"
                                             "abc"
                                      << true << none;

    // Raw DEFLATE (codec 3).
    QTest::newRow("deflate") << container(3, size, m_deflate, 2) << false << content;
    QTest::newRow("deflate, L as capacity") << container(3, size + 100, m_deflate) << false << content;
    QTest::newRow("deflate cut short")
        << container(3, size, m_deflate.left(m_deflate.size() - 20)) << true << none;
    QTest::newRow("deflate missing final block")
        << container(3, size, m_deflate.left(m_deflate.size() - 1)) << true << none;
    QTest::newRow("deflate longer than L") << container(3, size - 1, m_deflate) << true << none;
    QTest::newRow("deflate garbage") << container(3, 100, QByteArray(64, '\xff')) << true << none;

    // lzip member (codec 4).
    QByteArray badCrc = m_lzip;
    badCrc[badCrc.size() - 20] = static_cast<char>(badCrc.at(badCrc.size() - 20) ^ 0x01);
    QByteArray hugeDictionary = m_lzip;
    hugeDictionary[5] = 29; // 512 MiB
    QTest::newRow("lzip") << container(4, size, m_lzip) << false << content;
    QTest::newRow("lzip cut short") << container(4, size, m_lzip.left(m_lzip.size() - 30)) << true << none;
    QTest::newRow("lzip cut in trailer")
        << container(4, size, m_lzip.left(m_lzip.size() - 4)) << true << none;
    QTest::newRow("lzip bad CRC") << container(4, size, badCrc) << true << none;
    QTest::newRow("lzip longer than L") << container(4, size - 1, m_lzip) << true << none;
    QByteArray secondHuge = m_lzip + hugeDictionary;
    QTest::newRow("lzip of two members")
        << container(4, size * 2, m_lzip + m_lzip) << false << content + content;
    QTest::newRow("lzip of two members longer than L")
        << container(4, size * 2 - 1, m_lzip + m_lzip) << true << none;
    QTest::newRow("lzip second member with huge dictionary")
        << container(4, size * 2, secondHuge) << true << none;
    QTest::newRow("lzip second member cut short")
        << container(4, size * 2, m_lzip + m_lzip.left(m_lzip.size() - 30)) << true << none;
    QTest::newRow("lzip with trailing bytes") << container(4, size, m_lzip + "LZ") << true << none;
    QTest::newRow("lzip huge dictionary") << container(4, size, hugeDictionary) << true << none;
    QTest::newRow("lzip bad magic") << container(4, size, "LZIX" + m_lzip.mid(4)) << true << none;

    // Raw LZMA1 behind the payload header (codecs 5 and 10).
    QByteArray lzmaHugeDictionary = m_lzma;
    lzmaHugeDictionary.replace(1, 4, QByteArray(4, '\xff'));
    const QByteArray noEndMarker = lzmaPayloadWithoutEndMarker(content);
    QTest::newRow("lzma codec 5") << container(5, size, m_lzma) << false << content;
    QTest::newRow("lzma codec 10") << container(10, size, m_lzma) << false << content;
    QTest::newRow("lzma, L as capacity") << container(5, size + 1000, m_lzma) << false << content;
    QTest::newRow("lzma dictionary capped") << container(5, size, lzmaHugeDictionary) << false << content;
    QTest::newRow("lzma cut short") << container(5, size, m_lzma.left(m_lzma.size() - 40)) << true << none;
    // All L bytes come out before the cut: decoding stops there, the data is whole.
    QTest::newRow("lzma cut inside end marker")
        << container(5, size, m_lzma.left(m_lzma.size() - 6)) << false << content;
    // A stream that yields more than L stops at L; the digest decides whether that is the chunk.
    QTest::newRow("lzma longer than L stops at L")
        << container(5, size - 1, m_lzma) << false << content.left(size - 1);
    QTest::newRow("lzma stops at a small L") << container(5, 1000, m_lzma) << false << content.left(1000);
    QTest::newRow("lzma header only") << container(5, size, m_lzma.left(13)) << true << none;
    QTest::newRow("lzma bad properties") << container(5, size, char(225) + m_lzma.mid(1)) << true << none;
    QTest::newRow("lzma without end marker") << container(5, size, noEndMarker) << false << content;
    QTest::newRow("lzma without end marker cut short")
        << container(5, size, noEndMarker.left(noEndMarker.size() - 30)) << true << none;
    QTest::newRow("lzma without end marker longer than L stops at L")
        << container(5, size - 1, noEndMarker) << false << content.left(size - 1);
}

void TestCompression::decode() {
    QFETCH(QByteArray, input);
    QFETCH(bool, rejected);
    QFETCH(QByteArray, expected);
    if (rejected) {
        try {
            TCompressionHelper::DecompressLZMAByteArrayWithExceptionOnError(input);
            QFAIL("a corrupt container was accepted");
        } catch (const shared::TDecompressionError& error) {
            QCOMPARE(QString::fromUtf8(error.what()),
                     QStringLiteral("Invalid input data could not be decompressed"));
        }
    } else {
        const QByteArray output = TCompressionHelper::DecompressLZMAByteArrayWithExceptionOnError(input);
        QCOMPARE(output.size(), expected.size());
        QVERIFY(output == expected);
    }
}

void TestCompression::nonThrowingFormKeepsUndecodableInput() {
    const QByteArray undecodable = container(7, 3, "abc");
    QCOMPARE(TCompressionHelper::DecompressLZMAByteArray(undecodable), undecodable);
    QCOMPARE(TCompressionHelper::DecompressLZMAByteArray(container(0, 3, "abc", 1)), QByteArray("abc"));
}

void TestCompression::publishPackUnpack_data() {
    QTest::addColumn<int>("codec");
    // How an independent decoder checks the payload; empty for codec 0.
    QTest::addColumn<QString>("check");
    const QString lzmaCheck =
        QStringLiteral("import lzma,sys\n"
                       "p=open(sys.argv[1],'rb').read()\n"
                       "f=lzma._decode_filter_properties(lzma.FILTER_LZMA1,p[:5])\n"
                       "d=lzma.LZMADecompressor(lzma.FORMAT_RAW,filters=[f]).decompress(p[13:])\n"
                       "sys.exit(0 if d==open(sys.argv[2],'rb').read() else 1)\n");
    QTest::newRow("0") << 0 << QString();
    QTest::newRow("3") << 3
                       << QStringLiteral("import zlib,sys\n"
                                         "d=zlib.decompress(open(sys.argv[1],'rb').read(),-15)\n"
                                         "sys.exit(0 if d==open(sys.argv[2],'rb').read() else 1)\n");
    QTest::newRow("4")
        << 4
        << QStringLiteral(
               "import subprocess,sys\n"
               "d=subprocess.run(['lzip','-dc',sys.argv[1]],capture_output=True,check=True).stdout\n"
               "sys.exit(0 if d==open(sys.argv[2],'rb').read() else 1)\n");
    QTest::newRow("5") << 5 << lzmaCheck;
    QTest::newRow("10") << 10 << lzmaCheck;
}

void TestCompression::publishPackUnpack() {
    QFETCH(int, codec);
    QFETCH(QString, check);
    QVERIFY2(QFile::exists(m_publish), qPrintable(m_publish));
    const QString in = m_dir.filePath(QStringLiteral("content"));
    const QString packed = m_dir.filePath(QStringLiteral("packed%1").arg(codec));
    const QString unpacked = m_dir.filePath(QStringLiteral("unpacked%1").arg(codec));
    QCOMPARE(QProcess::execute(m_publish, {"pack", "--codec", QString::number(codec), in, packed}), 0);
    QCOMPARE(QProcess::execute(m_publish, {"unpack", packed, unpacked}), 0);
    QVERIFY(readFile(unpacked) == m_content);

    // The payload must also be what an independent decoder of the codec reads.
    const QByteArray container = readFile(packed);
    QCOMPARE(quint8(container.at(0)), quint8(0x70));
    QCOMPARE(int(container.at(1)), codec);
    if (!check.isEmpty()) {
        const QByteArray header = leb128(quint64(m_content.size()));
        int position = 2 + header.size();
        quint64 payloadLength = 0;
        for (int shift = 0;; shift += 7) {
            const quint8 byte = quint8(container.at(position++));
            payloadLength |= quint64(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0) {
                break;
            }
        }
        QCOMPARE(quint64(container.size() - position), payloadLength);
        const QString payloadPath = packed + ".payload";
        QFile payload(payloadPath);
        QVERIFY(payload.open(QIODevice::WriteOnly));
        payload.write(container.mid(position));
        payload.close();
        QCOMPARE(QProcess::execute(QStringLiteral("python3"), {"-c", check, payloadPath, in}), 0);
    }
}

void TestCompression::publishUnpackRejectsCorruptContainer() {
    const QString corrupt = m_dir.filePath(QStringLiteral("corrupt"));
    QFile file(corrupt);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(container(5, quint64(m_content.size()), m_lzma.left(m_lzma.size() / 2)));
    file.close();
    QProcess process;
    process.start(m_publish, {"unpack", corrupt, m_dir.filePath(QStringLiteral("never"))});
    QVERIFY(process.waitForFinished(60000));
    QVERIFY(process.exitCode() != 0);
    QVERIFY(process.readAllStandardError().contains("Invalid input data could not be decompressed"));

    // Data that is not a container is copied unchanged, as the launcher accepts it.
    QCOMPARE(QProcess::execute(m_publish, {"unpack", m_dir.filePath("content"), m_dir.filePath("copied")}),
             0);
    QVERIFY(readFile(m_dir.filePath("copied")) == m_content);
}

QTEST_GUILESS_MAIN(TestCompression)
#include "tst_compression.moc"
