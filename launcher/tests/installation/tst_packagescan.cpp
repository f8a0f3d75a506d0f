// The local scan: what it keeps, moves, truncates and leaves to download, checked by filling in
// the missing chunks afterwards and comparing every file with the new build.
#include "installationsupport.h"
#include "launcher/installation/chunking.h"
#include "launcher/installation/packagescan.h"
#include "shared/sha256.h"
#include "testenvironment.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QtTest>

#include <map>

using namespace quarn::launcher;
using namespace testsupport;

namespace {

constexpr int MiB = 1024 * 1024;

// A package build made in memory: chunk contents by URL and the package document.
class TTestBuild {
public:
    void addChunkedFile(const QString& path, const QByteArray& content) {
        QJsonArray indices;
        splitIntoChunks(
            DEFAULT_CHUNK_AVERAGE,
            [&, position = 0](char* buffer, qint64 maxSize) mutable -> qint64 {
                const qint64 count = std::min<qint64>(maxSize, content.size() - position);
                memcpy(buffer, content.constData() + position, static_cast<size_t>(count));
                position += static_cast<int>(count);
                return count;
            },
            [&](const char* data, quint64 length) {
                indices.append(addChunk(QByteArray(data, int(length))));
            });
        QVERIFY2(indices.size() >= 2, "test content must span several chunks");
        m_Files.append(fileObject(path, content, indices));
    }

    void addWholeFile(const QString& path, const QByteArray& content, bool withUrl = true) {
        QJsonObject file = fileObject(path, content, QJsonArray());
        if (withUrl) {
            const QString url =
                QStringLiteral("files/") + QString::fromLatin1(shared::TSha256::hash(content).toHex());
            m_Contents[url] = content;
            file.insert("url", url);
            file.insert("unpack", false);
            file.insert("packedsize", content.size());
        }
        m_Files.append(file);
    }

    TPackageConfigurationReader reader() const {
        const QJsonObject document{{"version", "1"}, {"chunks", m_Chunks}, {"files", m_Files}};
        const QUrl base(QStringLiteral("http://127.0.0.1/build/"));
        return TPackageConfigurationReader(QJsonDocument(document).toJson(), QByteArray(), base, base);
    }

    QByteArray contentOf(const QUrl& url) const {
        const QString relative = url.path().mid(QStringLiteral("/build/").size());
        const auto found = m_Contents.find(relative);
        return found == m_Contents.end() ? QByteArray() : found->second;
    }

private:
    int addChunk(const QByteArray& content) {
        const QString url =
            QStringLiteral("chunks/") + QString::fromLatin1(shared::TSha256::hash(content).toHex());
        if (!m_Contents.count(url)) {
            m_Contents[url] = content;
            m_ChunkIndex[url] = m_Chunks.size();
            m_Chunks.append(
                QJsonObject{{"url", url},
                            {"unpack", false},
                            {"packedsize", content.size()},
                            {"unpackedsize", content.size()},
                            {"unpackedhash", QString::fromLatin1(shared::TSha256::hash(content).toHex())}});
        }
        return m_ChunkIndex[url];
    }

    static QJsonObject fileObject(const QString& path, const QByteArray& content, const QJsonArray& chunks) {
        return QJsonObject{{"localfile", path},
                           {"unpackedsize", content.size()},
                           {"unpackedhash", QString::fromLatin1(shared::TSha256::hash(content).toHex())},
                           {"chunks", chunks}};
    }

    QJsonArray m_Chunks;
    QJsonArray m_Files;
    std::map<QString, QByteArray> m_Contents;
    std::map<QString, int> m_ChunkIndex;
};

void writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
}

// Writes every chunk the scan left to download at its offset, as the downloader would.
quint64 fillInDownloads(const TPackageDifference& difference, const TTestBuild& build,
                        const QDir& directory) {
    quint64 fetched = 0;
    for (const TFileToDownload& file : difference.filesToDownload) {
        QFile target(directory.filePath(file.fileData().relativeLocalPath()));
        QDir().mkpath(QFileInfo(target).absolutePath());
        if (!target.open(QIODevice::ReadWrite))
            return 0;
        const auto& chunks = file.fileData().chunks();
        for (int index : file.chunksToDownload()) {
            quint64 offset = 0;
            for (int k = 0; k < index; ++k)
                offset += chunks[size_t(k)].unpackedFileMetadata().fileSize();
            const QByteArray content = build.contentOf(chunks[size_t(index)].fileUrl());
            target.seek(qint64(offset));
            target.write(content);
            fetched += quint64(content.size());
        }
    }
    return fetched;
}

} // namespace

class TestPackageScan : public QObject {
    Q_OBJECT

private:
    std::shared_ptr<TLauncherFilesystemHelper> m_Helper;
    TTestHome m_Home;

    TPackageDifference scan(const QDir& directory, const TPackageConfigurationReader& server,
                            const TPackageConfigurationReader& local, bool fastScan,
                            TFileSize* lastDone = nullptr, TFileSize* lastTotal = nullptr) {
        QMutex mutex;
        return TPackageScanner::FindDifferencesBetweenLocalPackageAndServerPackage(
            directory, m_Helper, server, local, fastScan, [&](TFileSize done, TFileSize total) {
                QMutexLocker locker(&mutex);
                if (lastDone)
                    *lastDone = done;
                if (lastTotal)
                    *lastTotal = total;
            });
    }

private slots:
    void initTestCase() {
        m_Home.applyToThisProcess();
        m_Helper = std::make_shared<TLauncherFilesystemHelper>();
    }

    // A large file changed in the ways an update changes it: the scan keeps or moves every
    // unchanged chunk, and only the chunks around the change are left to download.
    void chunkedFileUpdate_data() {
        QTest::addColumn<QByteArray>("oldContent");
        QTest::addColumn<QByteArray>("newContent");
        QTest::addColumn<int>("maximumChunksFetched");

        const QByteArray a = randomBytes(1, 12 * MiB), b = randomBytes(2, 12 * MiB),
                         c = randomBytes(3, 12 * MiB);
        const QByteArray block = randomBytes(4, 300 * 1024);
        QTest::newRow("identical") << a + b + c << a + b + c << 0;
        QTest::newRow("block inserted at start") << a + b + c << block + a + b + c << 2;
        QTest::newRow("block removed from middle") << a + block + b + c << a + b + c << 2;
        QTest::newRow("block changed")
            << a + b + c << a + QByteArray(b).replace(1000, block.size(), block) + c << 3;
        QTest::newRow("shrunk: old file longer") << a + b + c + block << a + b + c << 1;
        QTest::newRow("grown at the end") << a + b << a + b + c << 3;
        QTest::newRow("pieces swapped") << a + b + c << c + b + a << 4;
        QTest::newRow("content twice") << a + b << a + b + a << 3;
        QTest::newRow("no local copy") << QByteArray() << a + b << 100;
    }

    void chunkedFileUpdate() {
        QFETCH(QByteArray, oldContent);
        QFETCH(QByteArray, newContent);
        QFETCH(int, maximumChunksFetched);
        QTemporaryDir folder;
        const QDir directory(folder.path());
        if (!oldContent.isEmpty())
            writeFile(directory.filePath("data/big.bin"), oldContent);
        writeFile(directory.filePath("unlisted.txt"), "keep me");

        TTestBuild build;
        build.addChunkedFile("data/big.bin", newContent);
        const TPackageConfigurationReader server = build.reader();
        QVERIFY(server.initializedSuccessfully());

        TFileSize done = 0, total = 0;
        const TPackageDifference difference =
            scan(directory, server, TPackageConfigurationReader(), false, &done, &total);
        QVERIFY2(difference.failure.isEmpty(), qPrintable(difference.failure));
        QCOMPARE(total, TFileSize(oldContent.size()));
        QCOMPARE(done, total);
        int chunksFetched = 0;
        for (const auto& file : difference.filesToDownload)
            chunksFetched += int(file.chunksToDownload().size());
        QVERIFY2(chunksFetched <= maximumChunksFetched, qPrintable(QString::number(chunksFetched)));
        if (oldContent == newContent)
            QVERIFY(difference.filesToDownload.empty());

        fillInDownloads(difference, build, directory);
        QCOMPARE(shared::TSha256::hash(readWholeFile(directory.filePath("data/big.bin"))),
                 shared::TSha256::hash(newContent));
        QCOMPARE(readWholeFile(directory.filePath("unlisted.txt")), QByteArray("keep me"));
    }

    void wholeFiles_data() {
        QTest::addColumn<QByteArray>("local"); // "<none>" for no local file
        QTest::addColumn<QByteArray>("server");
        QTest::addColumn<bool>("withUrl");
        QTest::addColumn<int>("filesToDownload");
        QTest::addColumn<bool>("unfetchable");

        QTest::newRow("identical") << QByteArray("same") << QByteArray("same") << true << 0 << false;
        QTest::newRow("differs") << QByteArray("old!") << QByteArray("new") << true << 1 << false;
        QTest::newRow("missing") << QByteArray("<none>") << QByteArray("new") << true << 1 << false;
        QTest::newRow("differs, no source") << QByteArray("old!") << QByteArray("new") << false << 0 << true;
        QTest::newRow("identical, no source")
            << QByteArray("same") << QByteArray("same") << false << 0 << false;
        QTest::newRow("empty file, no source") << QByteArray("<none>") << QByteArray() << false << 0 << false;
    }

    void wholeFiles() {
        QFETCH(QByteArray, local);
        QFETCH(QByteArray, server);
        QFETCH(bool, withUrl);
        QTemporaryDir folder;
        const QDir directory(folder.path());
        if (local != "<none>")
            writeFile(directory.filePath("f.txt"), local);
        TTestBuild build;
        build.addWholeFile("f.txt", server, withUrl);

        const TPackageDifference difference =
            scan(directory, build.reader(), TPackageConfigurationReader(), false);
        QTEST(int(difference.filesToDownload.size()), "filesToDownload");
        QTEST(!difference.unfetchableFiles.isEmpty(), "unfetchable");
        fillInDownloads(difference, build, directory);
        if (difference.unfetchableFiles.isEmpty()) {
            QVERIFY(QFileInfo::exists(directory.filePath("f.txt")));
            QCOMPARE(readWholeFile(directory.filePath("f.txt")), server);
        }
    }

    // A document that lists one file twice gets it written once, by the configuration's first entry.
    void fileListedTwice() {
        QTemporaryDir folder;
        const QDir directory(folder.path());
        TTestBuild build;
        build.addWholeFile("data/x.txt", "first");
        build.addWholeFile("data//x.txt", "second");
        build.addWholeFile("data/x.txt", "third");
        const TPackageDifference difference =
            scan(directory, build.reader(), TPackageConfigurationReader(), false);
        QVERIFY(difference.failure.isEmpty());
        QCOMPARE(int(difference.filesToDownload.size()), 1);
        // The configuration keeps its files ordered by path, so "data//x.txt" is its first entry.
        QCOMPARE(difference.filesToDownload.front().fileData().relativeLocalPath(),
                 QStringLiteral("data//x.txt"));
        fillInDownloads(difference, build, directory);
        QCOMPARE(readWholeFile(directory.filePath("data/x.txt")), QByteArray("second"));
    }

    void filesToDelete() {
        QTemporaryDir folder;
        TTestBuild oldBuild, newBuild;
        oldBuild.addWholeFile("gone.txt", "a");
        oldBuild.addWholeFile("stays.txt", "b");
        newBuild.addWholeFile("stays.txt", "b");
        const TPackageDifference difference =
            scan(QDir(folder.path()), newBuild.reader(), oldBuild.reader(), false);
        QCOMPARE(int(difference.filesToDelete.size()), 1);
        QCOMPARE(difference.filesToDelete.front().relativeLocalPath(), QStringLiteral("gone.txt"));
        QVERIFY(scan(QDir(folder.path()), newBuild.reader(), TPackageConfigurationReader(), false)
                    .filesToDelete.empty());
    }

    // The fast scan trusts the recorded configuration; the full scan reads the disk.
    void fastScanTrustsRecordedConfiguration() {
        const QByteArray a = randomBytes(11, 12 * MiB), b = randomBytes(12, 12 * MiB),
                         c = randomBytes(13, 12 * MiB);
        const QByteArray c2 = randomBytes(14, 12 * MiB);
        TTestBuild oldBuild, newBuild;
        oldBuild.addChunkedFile("big.bin", a + b + c);
        newBuild.addChunkedFile("big.bin", a + b + c2);

        for (bool fastScan : {false, true}) {
            QTemporaryDir folder;
            const QDir directory(folder.path());
            QByteArray damaged = a + b + c;
            damaged[a.size() + 5 * MiB] = char(damaged[a.size() + 5 * MiB] ^ 0x55); // inside the middle piece
            writeFile(directory.filePath("big.bin"), damaged);

            const TPackageDifference difference =
                scan(directory, newBuild.reader(), oldBuild.reader(), fastScan);
            QCOMPARE(int(difference.filesToDownload.size()), 1);
            const TFileToDownload& file = difference.filesToDownload.front();
            quint64 bytesToFetch = 0;
            for (int index : file.chunksToDownload())
                bytesToFetch += file.fileData().chunks()[size_t(index)].unpackedFileMetadata().fileSize();
            fillInDownloads(difference, newBuild, directory);
            const bool correct = shared::TSha256::hash(readWholeFile(directory.filePath("big.bin"))) ==
                                 shared::TSha256::hash(a + b + c2);
            if (fastScan) {
                // The damage is not seen: only the changed end is fetched, and the file stays wrong
                // until a verification finds it.
                QVERIFY(!correct);
                QVERIFY(bytesToFetch < quint64(c2.size()) + 8 * MiB);
            } else {
                QVERIFY(correct);
                QVERIFY(bytesToFetch > quint64(c2.size()) - 8 * MiB);
            }
        }
    }

    // The fast scan reads a file that is missing or whose size differs from its record, since it
    // certainly is not as recorded; otherwise its chunks would count as in place.
    void fastScanReadsFilesThatDifferInSize_data() {
        QTest::addColumn<int>("localSize"); // -1: no local file
        QTest::newRow("missing") << -1;
        QTest::newRow("shorter") << 20 * MiB;
        QTest::newRow("longer") << 40 * MiB;
    }

    void fastScanReadsFilesThatDifferInSize() {
        QFETCH(int, localSize);
        const QByteArray a = randomBytes(41, 12 * MiB), b = randomBytes(42, 12 * MiB),
                         c = randomBytes(43, 12 * MiB);
        TTestBuild oldBuild, newBuild;
        oldBuild.addChunkedFile("big.bin", a + b + c);
        newBuild.addChunkedFile("big.bin", a + b + randomBytes(44, 12 * MiB));
        QTemporaryDir folder;
        const QDir directory(folder.path());
        if (localSize >= 0)
            writeFile(directory.filePath("big.bin"), (a + b + c + c).left(localSize));
        const TPackageDifference difference = scan(directory, newBuild.reader(), oldBuild.reader(), true);
        QVERIFY(difference.failure.isEmpty());
        fillInDownloads(difference, newBuild, directory);
        QCOMPARE(shared::TSha256::hash(readWholeFile(directory.filePath("big.bin"))),
                 shared::TSha256::hash(a + b + randomBytes(44, 12 * MiB)));
    }

    // A recorded configuration that claims content the file does not hold never makes the scan
    // move wrong bytes into place: such a chunk is downloaded.
    void movedChunksAreCheckedBeforeUse() {
        const QByteArray a = randomBytes(21, 12 * MiB), b = randomBytes(22, 12 * MiB);
        const QByteArray block = randomBytes(23, 100 * 1024);
        TTestBuild oldBuild, newBuild;
        oldBuild.addChunkedFile("big.bin", a + b);
        newBuild.addChunkedFile("big.bin", block + a + b);
        QTemporaryDir folder;
        const QDir directory(folder.path());
        writeFile(directory.filePath("big.bin"),
                  randomBytes(24, a.size() + b.size())); // not what is recorded

        const TPackageDifference difference = scan(directory, newBuild.reader(), oldBuild.reader(), true);
        QVERIFY(difference.failure.isEmpty());
        fillInDownloads(difference, newBuild, directory);
        QCOMPARE(shared::TSha256::hash(readWholeFile(directory.filePath("big.bin"))),
                 shared::TSha256::hash(block + a + b));
    }

    void workerFailureIsReportedNotFatal() {
        QTemporaryDir folder;
        TFileInPackageVector files;
        files.push_back(TFileInPackage("x.bin", TFileMetadata(10, QByteArray(32, 'x')), false, {0, 7},
                                       TChunkInPackage()));
        TPackageDifference difference;
        TPackageScanner::FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
            files, TChunkInPackageVector(), {}, {}, false, QDir(folder.path()), m_Helper, {}, difference);
        QVERIFY(!difference.failure.isEmpty());
    }

    void verification() {
        QTemporaryDir folder;
        const QDir directory(folder.path());
        TTestBuild build;
        const QByteArray large = randomBytes(31, 25 * MiB);
        build.addWholeFile("a.bin", large);
        build.addWholeFile("sub/b.txt", "hello");
        writeFile(directory.filePath("a.bin"), large);
        writeFile(directory.filePath("sub/b.txt"), "hello");
        const TFileInPackageVector files = build.reader().containedFiles();

        TFileSize done = 0, total = 0;
        QMutex mutex;
        const auto progress = [&](TFileSize d, TFileSize t) {
            QMutexLocker locker(&mutex);
            QVERIFY(d >= done);
            done = d;
            total = t;
        };
        QVERIFY(TPackageScanner::VerifyPackage(directory, m_Helper, files, progress));
        QCOMPARE(done, TFileSize(large.size() + 5));
        QCOMPARE(total, done);
        QVERIFY(TPackageScanner::VerifyPackage(directory, m_Helper, TFileInPackageVector(), {}));

        writeFile(directory.filePath("sub/b.txt"), "hellO");
        QVERIFY(!TPackageScanner::VerifyPackage(directory, m_Helper, files, {}));
        QFile::remove(directory.filePath("sub/b.txt"));
        QVERIFY(!TPackageScanner::VerifyPackage(directory, m_Helper, files, {}));
    }
};

QTEST_GUILESS_MAIN(TestPackageScan)
#include "tst_packagescan.moc"
