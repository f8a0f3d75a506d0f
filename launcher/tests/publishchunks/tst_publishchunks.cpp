#include "shared/sha256.h"
#include "splitmix64.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// orvane-publish chunks must list exactly the chunks the launcher's scan cuts.
class TestPublishChunks : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void listing_data();
    void listing();

private:
    QString m_tool;
    QTemporaryDir m_dir;
    QString m_input;
};

void TestPublishChunks::initTestCase() {
    m_tool = qEnvironmentVariable("ORVANE_PUBLISH");
    QVERIFY2(QFileInfo(m_tool).isExecutable(), qPrintable(m_tool));
    QVERIFY(m_dir.isValid());
    m_input = m_dir.filePath("golden.bin");
    QFile file(m_input);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(testsupport::splitmix64Bytes(0x4F7276616E65, 200000));
}

void TestPublishChunks::listing_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("stdoutDigest"); // SHA-256 hex of standard output, empty: not checked
    QTest::addColumn<QString>("stderrText");

    // The same listing the chunking test checks for this file at average 4096.
    const QByteArray golden = "19e4a9a9cdbc2b728100cdebdbb82ab95256ab04060b0106d5a3211906a3d8d4";
    QTest::newRow("golden") << QStringList{"golden.bin", "--average", "4096"} << 0 << golden << "";
    QTest::newRow("option first") << QStringList{"--average=4096", "golden.bin"} << 0 << golden << "";
    QTest::newRow("default average: one chunk") << QStringList{"golden.bin"} << 0 << QByteArray() << "";
    QTest::newRow("average too small")
        << QStringList{"golden.bin", "--average", "511"} << 1 << QByteArray() << "maximum < MAXIMUM_MIN";
    QTest::newRow("average too large") << QStringList{"golden.bin", "--average", "134217730"} << 1
                                       << QByteArray() << "minimum > MINIMUM_MAX";
    QTest::newRow("size with a suffix") << QStringList{"golden.bin", "--average=4K"} << 0 << golden << "";
    QTest::newRow("not a size") << QStringList{"golden.bin", "--average", "eight"} << 2 << QByteArray()
                                << "'eight' is not a size";
    QTest::newRow("missing file") << QStringList{"absent.bin"} << 1 << QByteArray() << "cannot read";
    QTest::newRow("no file") << QStringList{} << 2 << QByteArray() << "no file given";
}

void TestPublishChunks::listing() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, stdoutDigest);
    QFETCH(QString, stderrText);

    QProcess process;
    process.setWorkingDirectory(m_dir.path());
    process.start(m_tool, QStringList{"chunks"} + arguments);
    QVERIFY(process.waitForFinished(60000));
    const QByteArray out = process.readAllStandardOutput();
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    if (!stdoutDigest.isEmpty()) {
        QCOMPARE(shared::TSha256::hash(out).toHex(), stdoutDigest);
    }
    if (exitCode == 0) {
        QVERIFY2(err.isEmpty(), qPrintable(err));
        if (stdoutDigest.isEmpty()) {
            const QByteArray whole = testsupport::splitmix64Bytes(0x4F7276616E65, 200000);
            QCOMPARE(out, "0 200000 " + shared::TSha256::hash(whole).toHex() + "\n");
        }
    } else {
        QVERIFY(out.isEmpty());
        QVERIFY2(err.contains(stderrText), qPrintable(err));
    }
}

QTEST_GUILESS_MAIN(TestPublishChunks)
#include "tst_publishchunks.moc"
