#include "launcher/configuration/packageconfiguration.h"

#include <QtTest>

#include <stdexcept>

using namespace quarn::launcher;

namespace {

QStringList paths(const TFileInPackageVector& files) {
    QStringList result;
    for (const TFileInPackage& file : files) {
        result.append(file.relativeLocalPath());
    }
    return result;
}

const QUrl PACKAGE_BASE(QStringLiteral("https://cdn.example/pkg/"));
const QUrl ASSET_BASE(QStringLiteral("https://cdn.example/assets/"));

} // namespace

class TestPackageConfiguration : public QObject {
    Q_OBJECT

private slots:
    void documents_data();
    void documents();
    void chunkFields_data();
    void chunkFields();
    void packageFields();
    void urlResolution_data();
    void urlResolution();
    void combinedChunkIndices();
    void lookupAndSortOrder();
};

void TestPackageConfiguration::documents_data() {
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QByteArray>("asset");
    QTest::addColumn<bool>("initialised");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("chunkCount");

    const QByteArray twoFiles = R"({"version":"1.0","chunks":[{},{}],
        "files":[{"localfile":"b","chunks":[1]},{"localfile":"a","chunks":[0,1]}]})";

    QTest::newRow("package only") << QByteArray(R"({"version":"1.0"})") << QByteArray() << true << "P1.0 A?"
                                  << QStringList() << 0;
    QTest::newRow("numeric versions") << QByteArray(R"({"version":12})") << QByteArray(R"({"version":12})")
                                      << true << "P? A12" << QStringList() << 0;
    QTest::newRow("string asset version")
        << QByteArray(R"({"version":"3"})") << QByteArray(R"({"version":"12"})") << true << "P3 A12"
        << QStringList() << 0;
    QTest::newRow("fractional asset version")
        << QByteArray("{}") << QByteArray(R"({"version":1.5})") << true << "P? A0" << QStringList() << 0;
    QTest::newRow("empty documents") << QByteArray("{}") << QByteArray("{}") << true << "P? A?"
                                     << QStringList() << 0;
    QTest::newRow("top-level array") << QByteArray("[1,2]") << QByteArray("[]") << true << "P? A?"
                                     << QStringList() << 0;
    QTest::newRow("lists of wrong type")
        << QByteArray(R"({"chunks":{},"files":"a","parameters":1})") << QByteArray(R"({"chunks":3})") << true
        << "P? A?" << QStringList() << 0;
    QTest::newRow("package not JSON")
        << QByteArray("{\"version\":") << QByteArray() << false << "P? A?" << QStringList() << 0;
    QTest::newRow("asset not JSON") << twoFiles << QByteArray("nope") << false << "P? A?" << QStringList()
                                    << 0;
    QTest::newRow("files of both documents") << twoFiles << QByteArray(R"({"version":7,"chunks":[{}],
                                                  "files":[{"localfile":"A","chunks":[2,0]}]})")
                                             << true << "P1.0 A7" << QStringList{"A", "a", "b"} << 3;
    QTest::newRow("chunk index past the end")
        << twoFiles << QByteArray(R"({"files":[{"localfile":"c","chunks":[2]}]})") << false << "P? A?"
        << QStringList() << 0;
    QTest::newRow("negative chunk index")
        << QByteArray(R"({"chunks":[{}],"files":[{"localfile":"x","chunks":[-1]}]})") << QByteArray() << false
        << "P? A?" << QStringList() << 0;
    QTest::newRow("non-integer index reads as 0")
        << QByteArray(R"({"chunks":[{}],"files":[{"localfile":"x","chunks":[0.5,"3",null,1e300]}]})")
        << QByteArray() << true << "P? A?" << QStringList{"x"} << 1;
    QTest::newRow("path leaves the directory") << QByteArray(R"({"files":[{"localfile":"data/../../evil"}]})")
                                               << QByteArray() << false << "P? A?" << QStringList() << 0;
    QTest::newRow("absolute path") << QByteArray(R"({"files":[{"localfile":"/etc/passwd"}]})") << QByteArray()
                                   << false << "P? A?" << QStringList() << 0;
    // A path that names a folder (the package directory itself, or one that holds other files)
    // would have that whole folder replaced or removed by the installation.
    QTest::newRow("path names the package directory")
        << QByteArray(R"({"files":[{"localfile":"."}]})") << QByteArray() << false << "P? A?" << QStringList()
        << 0;
    QTest::newRow("path names a folder") << QByteArray(R"({"files":[{"localfile":"Contents/."}]})")
                                         << QByteArray() << false << "P? A?" << QStringList() << 0;
    QTest::newRow("path ends with a separator") << QByteArray(R"({"files":[{"localfile":"Contents/"}]})")
                                                << QByteArray() << false << "P? A?" << QStringList() << 0;
    QTest::newRow("inner dot segments name a file")
        << QByteArray(R"({"files":[{"localfile":"./Contents//run"}]})") << QByteArray() << true << "P? A?"
        << QStringList{"./Contents//run"} << 0;
    QTest::newRow("executable leaves the directory")
        << QByteArray(R"({"executable":"../other/run"})") << QByteArray() << false << "P? A?" << QStringList()
        << 0;
}

void TestPackageConfiguration::documents() {
    QFETCH(QByteArray, package);
    QFETCH(QByteArray, asset);
    QFETCH(bool, initialised);
    QFETCH(QString, version);
    QFETCH(QStringList, files);
    QFETCH(int, chunkCount);

    const TPackageConfigurationReader reader(package, asset, PACKAGE_BASE, ASSET_BASE);
    QCOMPARE(reader.initializedSuccessfully(), initialised);
    QCOMPARE(reader.combinedPackageAndAssetVersion(), version);
    QCOMPARE(paths(reader.containedFiles()), files);
    QCOMPARE(int(reader.containedChunks().size()), chunkCount);
    QCOMPARE(reader.rawPackageJsonData(), package);
    QCOMPARE(reader.rawAssetJsonData(), asset);
    if (!initialised) {
        QVERIFY(reader.relativeExecutablePath().isEmpty());
        QVERIFY(reader.executableParameters().isEmpty());
    }
}

void TestPackageConfiguration::chunkFields_data() {
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<quint64>("packedSize");
    QTest::addColumn<quint64>("unpackedSize");
    QTest::addColumn<QByteArray>("unpackedHashHex");
    QTest::addColumn<bool>("unpack");

    const QByteArray hex = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
    QTest::newRow("defaults") << QByteArray("{}") << quint64(0) << quint64(0) << QByteArray() << true;
    QTest::newRow("numbers") << QByteArray(R"({"packedsize":10,"unpackedsize":4294967296,"unpack":false})")
                             << quint64(10) << quint64(4294967296ULL) << QByteArray() << false;
    QTest::newRow("numeric strings") << QByteArray(
                                            R"({"packedsize":"18446744073709551615","unpackedsize":" 7 "})")
                                     << quint64(18446744073709551615ULL) << quint64(7) << QByteArray()
                                     << true;
    QTest::newRow("out of range reads as 0") << QByteArray(R"({"packedsize":-5,"unpackedsize":1e30})")
                                             << quint64(0) << quint64(0) << QByteArray() << true;
    QTest::newRow("wrong types") << QByteArray(
                                        R"({"packedsize":true,"unpackedsize":"12abc","unpack":"false"})")
                                 << quint64(0) << quint64(0) << QByteArray() << true;
    QTest::newRow("upper-case hash") << QByteArray(R"({"unpackedhash":")" + hex.toUpper() + R"("})")
                                     << quint64(0) << quint64(0) << hex << true;
    QTest::newRow("non-hex characters skipped") << QByteArray(R"({"unpackedhash":"00-11 22:zz33"})")
                                                << quint64(0) << quint64(0) << QByteArray("00112233") << true;
}

void TestPackageConfiguration::chunkFields() {
    QFETCH(QByteArray, chunk);
    QFETCH(quint64, packedSize);
    QFETCH(quint64, unpackedSize);
    QFETCH(QByteArray, unpackedHashHex);
    QFETCH(bool, unpack);

    // The same keys describe a chunk and a file's full chunk.
    const QByteArray fileObject =
        chunk.left(chunk.size() - 1) + (chunk.size() > 2 ? "," : "") + R"("localfile":"f","chunks":[0]})";
    const TPackageConfigurationReader reader("{\"chunks\":[" + chunk + "],\"files\":[" + fileObject + "]}",
                                             QByteArray(), PACKAGE_BASE, ASSET_BASE);
    QVERIFY(reader.initializedSuccessfully());
    const TFileInPackage& file = reader.containedFiles().at(0);
    for (const TChunkInPackage& read : {reader.containedChunks().at(0), file.fullChunk()}) {
        QCOMPARE(read.packedFileMetadata().fileSize(), packedSize);
        QCOMPARE(read.unpackedFileMetadata().fileSize(), unpackedSize);
        QCOMPARE(read.unpackedFileMetadata().fileHash().toHex(), unpackedHashHex);
        QCOMPARE(read.unpackAfterDownload(), unpack);
        QVERIFY(read.fileUrl().isEmpty());
    }
    QCOMPARE(file.unpackedFileMetadata(), file.fullChunk().unpackedFileMetadata());
}

void TestPackageConfiguration::packageFields() {
    const TPackageConfigurationReader reader(
        R"({"executable":"Client.app/Contents/MacOS/client","generation":"second","variant":"Beta",
            "parameters":["-a",5,"b"],
            "files":[{"localfile":"bin/run","executable":true,"url":"full/run.bin",
                      "patches":[{"url":"p/1","fromversion":1,"toversion":2,"size":99},3]}]})",
        QByteArray(), PACKAGE_BASE, ASSET_BASE);
    QVERIFY(reader.initializedSuccessfully());
    QCOMPARE(reader.relativeExecutablePath(), QStringLiteral("Client.app/Contents/MacOS/client"));
    QCOMPARE(reader.clientGeneration(), CLIENT_GENERATION_SECOND);
    QCOMPARE(reader.clientVariant(), CLIENT_VARIANT_UNKNOWN); // exact case only
    QCOMPARE(reader.executableParameters(), (QStringList{"-a", "", "b"}));
    const TFileInPackage& file = reader.containedFiles().at(0);
    QVERIFY(file.isExecutable());
    QCOMPARE(file.fullChunk().fileUrl(), QUrl("https://cdn.example/pkg/full/run.bin"));
    QCOMPARE(int(file.patches().size()), 2);
    QCOMPARE(file.patches()[0].patchUrl(), QUrl("https://cdn.example/pkg/p/1"));
    QCOMPARE(file.patches()[0].toVersion(), 2);
    QCOMPARE(file.patches()[0].size(), quint64(99));
    QCOMPARE(file.patches()[1].size(), quint64(0));
}

void TestPackageConfiguration::urlResolution_data() {
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("expected");

    QTest::newRow("relative") << "https://h/pkg/"
                              << "c/00.bin"
                              << "https://h/pkg/c/00.bin";
    QTest::newRow("base query dropped") << "https://h/pkg/?nocache=42"
                                        << "c/00.bin"
                                        << "https://h/pkg/c/00.bin";
    QTest::newRow("own query dropped") << "https://h/pkg/"
                                       << "c/00.bin?x=1#f"
                                       << "https://h/pkg/c/00.bin";
    QTest::newRow("absolute kept") << "https://h/pkg/"
                                   << "http://o:8080/a.bin?x=1"
                                   << "http://o:8080/a.bin?x=1";
    QTest::newRow("separator added") << "https://h/pkg"
                                     << "a.bin"
                                     << "https://h/pkg/a.bin";
    QTest::newRow("slashes on both sides") << "https://h/pkg/"
                                           << "/a.bin"
                                           << "https://h/pkg//a.bin";
    QTest::newRow("empty given") << "https://h:81/pkg/?q=1"
                                 << ""
                                 << "https://h:81/pkg/";
    QTest::newRow("encoded characters") << "https://h/my%20pkg/"
                                        << "a%20b.bin"
                                        << "https://h/my%20pkg/a%20b.bin";
    QTest::newRow("local directory") << "file:///tmp/install"
                                     << "a.json"
                                     << "file:///tmp/install/a.json";
}

void TestPackageConfiguration::urlResolution() {
    QFETCH(QString, base);
    QFETCH(QString, given);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromLatin1(resolveUrlAgainstBase(QUrl(base), QUrl(given)).toEncoded()), expected);
}

void TestPackageConfiguration::combinedChunkIndices() {
    const TPackageConfigurationReader reader(
        R"({"chunks":[{"url":"c/0","unpackedsize":100},{"url":"c/1","unpackedsize":200},
                      {"url":"c/2","unpackedsize":300}],
            "files":[{"localfile":"p","chunks":[2,0]}]})",
        R"({"chunks":[{"url":"a/0","unpackedsize":7}],"files":[{"localfile":"q","chunks":[0,3]}]})",
        QUrl("https://h/pkg/?nocache=1"), QUrl("https://h/assets/"));
    QVERIFY(reader.initializedSuccessfully());
    QCOMPARE(int(reader.containedChunks().size()), 4);
    QCOMPARE(reader.containedChunks()[3].fileUrl(), QUrl("https://h/assets/a/0"));

    const TChunkedFileInPackage p(*reader.findFileByRelativePath("p"), reader.containedChunks());
    QCOMPARE(int(p.chunks().size()), 2);
    QCOMPARE(p.chunks()[0].fileUrl(), QUrl("https://h/pkg/c/2"));
    QCOMPARE(p.chunks()[1].fileUrl(), QUrl("https://h/pkg/c/0"));
    // Chunk 0 of file p starts where chunk 2 ends.
    QCOMPARE(p.chunks()[0].unpackedFileMetadata().fileSize(), quint64(300));

    // An asset file's index 0 is the package document's first chunk.
    const TChunkedFileInPackage q(*reader.findFileByRelativePath("q"), reader.containedChunks());
    QCOMPARE(q.chunks()[0].fileUrl(), QUrl("https://h/pkg/c/0"));
    QCOMPARE(q.chunks()[1].fileUrl(), QUrl("https://h/assets/a/0"));

    const TChunkedFileInPackage whole(*reader.findFileByRelativePath("q"));
    QCOMPARE(int(whole.chunks().size()), 1);

    const TFileInPackage stray("x", TFileMetadata(), false, {4}, TChunkInPackage());
    QVERIFY_EXCEPTION_THROWN(TChunkedFileInPackage(stray, reader.containedChunks()), std::out_of_range);
}

void TestPackageConfiguration::lookupAndSortOrder() {
    const TPackageConfigurationReader reader(
        R"({"files":[{"localfile":"b"},{"localfile":"A"},{"localfile":"a","unpackedsize":1},
                     {"localfile":"a","unpackedsize":2},{"localfile":"a/b"}]})",
        QByteArray(), PACKAGE_BASE, ASSET_BASE);
    QCOMPARE(paths(reader.containedFiles()), (QStringList{"A", "a", "a", "a/b", "b"}));
    const auto found = reader.findFileByRelativePath("a");
    QVERIFY(found != reader.containedFiles().end());
    QCOMPARE(found->unpackedFileMetadata().fileSize(), quint64(1)); // first of equal paths
    QVERIFY(reader.findFileByRelativePath("B") == reader.containedFiles().end());
    QVERIFY(reader.findFileByRelativePath("") == reader.containedFiles().end());
    const TPackageConfigurationReader empty;
    QVERIFY(empty.findFileByRelativePath("a") == empty.containedFiles().end());
    QCOMPARE(empty.combinedPackageAndAssetVersion(), QStringLiteral("P? A?"));
}

QTEST_GUILESS_MAIN(TestPackageConfiguration)
#include "tst_packageconfiguration.moc"
