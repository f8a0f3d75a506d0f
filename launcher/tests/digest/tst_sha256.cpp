#include "shared/sha256.h"

#include <QCryptographicHash>
#include <QtTest>

using shared::TSha256;

class TestSha256 : public QObject {
    Q_OBJECT

private slots:
    void knownDigests_data();
    void knownDigests();
    void incrementalEqualsWhole_data();
    void incrementalEqualsWhole();
    void resultIsFinalUntilReset();
    void ignoresInvalidInput();
};

void TestSha256::knownDigests_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("hex");
    QTest::newRow("empty") << QByteArray()
                           << QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    QTest::newRow("abc") << QByteArray("abc")
                         << QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    QTest::newRow("two blocks") << QByteArray("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
                                << QByteArray(
                                       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

void TestSha256::knownDigests() {
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, hex);
    const QByteArray digest = TSha256::hash(input);
    QCOMPARE(digest.size(), TSha256::DIGEST_SIZE);
    QCOMPARE(digest.toHex(), hex);
    QCOMPARE(TSha256::hash(input.constData(), input.size()), digest);
}

void TestSha256::incrementalEqualsWhole_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("piece");
    QTest::newRow("single bytes") << 300 << 1;
    QTest::newRow("odd pieces across blocks") << 100003 << 63;
    QTest::newRow("one piece") << 1 << 1;
}

void TestSha256::incrementalEqualsWhole() {
    QFETCH(int, size);
    QFETCH(int, piece);
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        data[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    }
    TSha256 sha;
    for (int offset = 0; offset < size; offset += piece) {
        sha.addData(data.constData() + offset, qMin(piece, size - offset));
    }
    QCOMPARE(sha.result(), QCryptographicHash::hash(data, QCryptographicHash::Sha256));
}

void TestSha256::resultIsFinalUntilReset() {
    TSha256 sha;
    sha.addData(QByteArray("abc"));
    const QByteArray first = sha.result();
    sha.addData(QByteArray("more"));
    QCOMPARE(sha.result(), first);
    sha.reset();
    sha.addData(QByteArray("more"));
    QCOMPARE(sha.result(), QCryptographicHash::hash("more", QCryptographicHash::Sha256));

    TSha256 moved(std::move(sha));
    moved.reset();
    QCOMPARE(moved.result(), TSha256::hash(QByteArray()));
}

void TestSha256::ignoresInvalidInput() {
    TSha256 sha;
    sha.addData(nullptr, 10);
    sha.addData("abc", -1);
    sha.addData("abc", 0);
    QCOMPARE(sha.result(), TSha256::hash(QByteArray()));
}

QTEST_GUILESS_MAIN(TestSha256)
#include "tst_sha256.moc"
