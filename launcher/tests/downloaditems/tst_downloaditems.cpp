#include "launcher/download/downloaditems.h"
#include "launcher/download/filesize.h"

#include <QtTest>

#include <limits>

using namespace quarn::launcher;

namespace {

constexpr quint64 NOWHERE = std::numeric_limits<quint64>::max();

TChunkInPackage chunk(const QString& digest, quint64 size, const QString& url = QString()) {
    return TChunkInPackage(QUrl(url), TFileMetadata(), TFileMetadata(size, digest.toLatin1()), true);
}

// A file described as "digest:size,digest:size,...".
std::shared_ptr<TChunkedFileState> fileState(const QString& description) {
    TChunkInPackageVector chunks;
    for (const QString& part : description.split(',', Qt::SkipEmptyParts)) {
        const QStringList fields = part.split(':');
        chunks.push_back(chunk(fields[0], fields[1].toULongLong()));
    }
    std::vector<int> indices;
    for (size_t i = 0; i < chunks.size(); ++i) {
        indices.push_back(int(i));
    }
    const TFileInPackage file(description, TFileMetadata(), false, indices, TChunkInPackage());
    return std::make_shared<TChunkedFileState>(TChunkedFileInPackage(file, chunks), std::list<int>(),
                                               QString());
}

TChunkToDownload chunkToDownload(const QString& url) {
    return TChunkToDownload(chunk("x", 1, url));
}

QStringList urls(const TChunksToDownloadVector& chunks) {
    QStringList result;
    for (const TChunkToDownload& item : chunks) {
        result.append(item.chunkData().fileUrl().toString());
    }
    return result;
}

} // namespace

class TestDownloadItems : public QObject {
    Q_OBJECT

private slots:
    void positionKey_data();
    void positionKey();
    void sortByOffset();
    void sortAndFindByUrl();
    void fileSizeIsAMetaType();
};

void TestDownloadItems::positionKey_data() {
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<quint64>("key");

    QTest::newRow("start of one file, later in another") << QStringList{"a:5000,x:10", "x:10"} << quint64(0);
    QTest::newRow("twice in one file") << QStringList{"a:300,x:1,b:599,x:1"} << quint64(300);
    QTest::newRow("smallest over files") << QStringList{"a:900,x:1", "b:40,c:2,x:1"} << quint64(42);
    QTest::newRow("sizes are not compared") << QStringList{"a:3,x:999999"} << quint64(3);
    QTest::newRow("empty file skipped") << QStringList{"", "a:7,x:1"} << quint64(7);
    QTest::newRow("no files") << QStringList() << NOWHERE;
    QTest::newRow("digest in no file") << QStringList{"a:1,b:2"} << NOWHERE;
    QTest::newRow("offsets saturate") << QStringList{"a:18446744073709551615,b:10,x:1"} << NOWHERE;
}

void TestDownloadItems::positionKey() {
    QFETCH(QStringList, files);
    QFETCH(quint64, key);
    TChunkToDownload item(chunk("x", 1));
    for (const QString& file : files) {
        item.addFile(fileState(file));
    }
    QCOMPARE(item.positionKey(), key);
}

void TestDownloadItems::sortByOffset() {
    const auto file = fileState("a:100,b:50,c:25");
    TChunksToDownloadVector chunks;
    for (const char* digest : {"c", "z", "a", "b"}) {
        TChunkToDownload item(chunk(digest, 1, QStringLiteral("https://h/") + digest));
        item.addFile(file);
        chunks.push_back(item);
    }
    chunks.sortByOffset();
    QCOMPARE(urls(chunks), (QStringList{"https://h/a", "https://h/b", "https://h/c", "https://h/z"}));
    QVERIFY(ChunkToDownloadComparisonByOffset(chunks[0], chunks[1]));
    QVERIFY(!ChunkToDownloadComparisonByOffset(chunks[1], chunks[0]));
}

void TestDownloadItems::sortAndFindByUrl() {
    TChunksToDownloadVector chunks;
    QVERIFY(chunks.findByUrlWhenSortedByUrl(QUrl("https://h/a9")) == chunks.end());
    for (const char* url : {"https://h/a9", "https://h/b", "https://h/a10", "https://h/A"}) {
        chunks.push_back(chunkToDownload(url));
    }
    chunks.sortByUrl();
    // Text order: "a10" before "a9", upper case before lower case.
    QCOMPARE(urls(chunks), (QStringList{"https://h/A", "https://h/a10", "https://h/a9", "https://h/b"}));
    QVERIFY(ChunkToDownloadComparisonByUrl(chunks[1], chunks[2]));

    const auto found = chunks.findByUrlWhenSortedByUrl(QUrl("https://h/a9"));
    QVERIFY(found != chunks.end());
    QCOMPARE(found->chunkData().fileUrl(), QUrl("https://h/a9"));
    for (const char* missing :
         {"https://h/a", "https://h/a9/", "https://h/B", "http://h/a9", "https://h/zz"}) {
        QVERIFY2(chunks.findByUrlWhenSortedByUrl(QUrl(missing)) == chunks.end(), missing);
    }
}

void TestDownloadItems::fileSizeIsAMetaType() {
    QVERIFY(FILE_SIZE_META_TYPE_ID != QMetaType::UnknownType);
    QCOMPARE(QMetaType::type("TFileSize"), FILE_SIZE_META_TYPE_ID);
    QCOMPARE(QMetaType::type("quarn::launcher::TFileSize"), FILE_SIZE_META_TYPE_ID);
}

QTEST_GUILESS_MAIN(TestDownloadItems)
#include "tst_downloaditems.moc"
