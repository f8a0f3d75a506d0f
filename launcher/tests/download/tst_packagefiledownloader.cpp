// The package file downloader with its chunk processing, against a misbehaving server of our own
// on loopback: retries, timeouts and failures, and the write ordering of chunks that arrive out
// of order. Every successful case ends by comparing each written file's SHA-256.
#include "launcher/download/packagefiledownloader.h"
#include "shared/sha256.h"

#include "faultyhttpserver.h"

#include <QFileInfo>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace quarn::launcher;
using TAnswer = TFaultyHttpServer::TAnswer;

namespace {

QMutex g_logMutex;
QStringList g_log;

void captureMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
    QMutexLocker locker(&g_logMutex);
    g_log.append(message);
    if (type == QtFatalMsg) {
        abort();
    }
}

int logCount(const QString& text) {
    QMutexLocker locker(&g_logMutex);
    int count = 0;
    for (const QString& line : g_log) {
        if (line.contains(text)) {
            ++count;
        }
    }
    return count;
}

// Distinct, deterministic content for a chunk name.
QByteArray contentOf(const QString& name, int size = 40000) {
    QByteArray bytes;
    bytes.reserve(size + shared::TSha256::DIGEST_SIZE);
    for (int block = 0; bytes.size() < size; ++block) {
        bytes += shared::TSha256::hash(name.toUtf8() + '/' + QByteArray::number(block));
    }
    bytes.truncate(size);
    return bytes;
}

// A chunk container of codec 0 around the bytes.
QByteArray storedContainer(const QByteArray& bytes) {
    QByteArray header("p");
    header.append('\0');
    for (int round = 0; round < 2; ++round) {
        quint64 value = static_cast<quint64>(bytes.size());
        do {
            quint8 byte = value & 0x7f;
            value >>= 7;
            header.append(static_cast<char>(value ? byte | 0x80 : byte));
        } while (value);
    }
    return header + bytes;
}

using TDelays = QMap<QString, int>;
using TAnswers = std::vector<TFaultyHttpServer::TAnswer>;

struct TFileLayout {
    TFileLayout() = default;
    TFileLayout(QString path, QStringList chunks, bool executable = false, QSet<QString> kept = {})
        : path(std::move(path)), chunks(std::move(chunks)), executable(executable), kept(std::move(kept)) {}

    QString path;
    QStringList chunks; // chunk names in file order; equal names are one URL and one content
    bool executable = false;
    QSet<QString> kept; // chunks already in place on disk, not downloaded
};

} // namespace

Q_DECLARE_METATYPE(TAnswer)
Q_DECLARE_METATYPE(TAnswers)
Q_DECLARE_METATYPE(TFileLayout)

class TestPackageFileDownloader : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void writeOrdering_data();
    void writeOrdering();
    void faults_data();
    void faults();
    void checkModeVerifiesKeptChunks_data();
    void checkModeVerifiesKeptChunks();
    void waitingFilesAreNotHeldOpen();
    void restartedChunkDoesNotInflateTheRate();
    void unwrittenPlaceIsNotReportedAsSuccess();

private:
    struct TRun {
        std::unique_ptr<QTemporaryDir> directory;
        std::shared_ptr<shared::TDownloadPool> pool;
        std::unique_ptr<TPackageFileDownloader> downloader;
        std::unique_ptr<QSignalSpy> completed;
        std::unique_ptr<QSignalSpy> failed;
        std::unique_ptr<QSignalSpy> progress;
    };

    // Serves the chunks and builds a downloader for the files, every chunk to be downloaded.
    // urlNames: chunk name -> name of the URL it is listed with (default: its own name).
    TRun makeRun(TFaultyHttpServer& server, const QList<TFileLayout>& files, const QSet<QString>& packed = {},
                 const QString& directory = QString(), const QMap<QString, QString>& urlNames = {});
    QByteArray expectedFile(const TFileLayout& file) const;
    void verifyWritten(const TRun& run, const QList<TFileLayout>& files);
};

void TestPackageFileDownloader::initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
    qRegisterMetaType<EPackageDownloaderError>();
    qInstallMessageHandler(captureMessage);
}

void TestPackageFileDownloader::init() {
    QMutexLocker locker(&g_logMutex);
    g_log.clear();
}

QByteArray TestPackageFileDownloader::expectedFile(const TFileLayout& file) const {
    QByteArray bytes;
    for (const QString& name : file.chunks) {
        bytes += contentOf(name);
    }
    return bytes;
}

TestPackageFileDownloader::TRun TestPackageFileDownloader::makeRun(TFaultyHttpServer& server,
                                                                   const QList<TFileLayout>& files,
                                                                   const QSet<QString>& packed,
                                                                   const QString& directory,
                                                                   const QMap<QString, QString>& urlNames) {
    TRun run;
    run.directory = std::make_unique<QTemporaryDir>();
    auto manager =
        std::make_shared<shared::QNetworkAccessManagerWrapper>(std::make_shared<QNetworkAccessManager>());
    run.pool = std::make_shared<shared::TDownloadPool>(10, manager, nullptr, false);
    // Short enough for the stall case, longer than any deliberate answer delay.
    run.pool->setTransferTimeout(1500);
    run.downloader =
        std::make_unique<TPackageFileDownloader>(run.pool, std::make_shared<TLauncherFilesystemHelper>());
    run.downloader->setDownloadDirectory(QDir(directory.isEmpty() ? run.directory->path() : directory));

    TFileToDownloadVector toDownload;
    for (const TFileLayout& layout : files) {
        TChunkInPackageVector chunks;
        std::vector<int> indices;
        for (const QString& name : layout.chunks) {
            const QByteArray content = contentOf(name);
            const QByteArray served = packed.contains(name) ? storedContainer(content) : content;
            const TFileMetadata unpacked(static_cast<quint64>(content.size()),
                                         shared::TSha256::hash(content));
            const TFileMetadata packedMetadata(static_cast<quint64>(served.size()),
                                               shared::TSha256::hash(served));
            chunks.push_back(TChunkInPackage(server.url("/chunks/" + urlNames.value(name, name)),
                                             packedMetadata, unpacked, true));
            indices.push_back(static_cast<int>(indices.size()));
        }
        const QByteArray whole = expectedFile(layout);
        const TFileInPackage file(layout.path,
                                  TFileMetadata(quint64(whole.size()), shared::TSha256::hash(whole)),
                                  layout.executable, indices, TChunkInPackage());
        TFileToDownload item{TChunkedFileInPackage(file, chunks)};
        for (int index : indices) {
            if (!layout.kept.contains(layout.chunks.at(index))) {
                item.addChunk(index);
            }
        }
        toDownload.push_back(item);
    }
    run.downloader->submitFiles(toDownload);
    run.completed =
        std::make_unique<QSignalSpy>(run.downloader.get(), &TPackageFileDownloader::downloadCompleted);
    run.failed = std::make_unique<QSignalSpy>(run.downloader.get(), &TPackageFileDownloader::downloadFailed);
    run.progress = std::make_unique<QSignalSpy>(run.downloader.get(), &TPackageFileDownloader::progress);
    return run;
}

void TestPackageFileDownloader::verifyWritten(const TRun& run, const QList<TFileLayout>& files) {
    for (const TFileLayout& layout : files) {
        QFile file(QDir(run.directory->path()).filePath(layout.path));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(layout.path));
        QCOMPARE(shared::TSha256::hash(file.readAll()).toHex(),
                 shared::TSha256::hash(expectedFile(layout)).toHex());
        if (layout.executable) {
            QVERIFY(QFileInfo(file.fileName()).permissions() & QFileDevice::ExeOwner);
        }
    }
}

void TestPackageFileDownloader::writeOrdering_data() {
    QTest::addColumn<QList<TFileLayout>>("files");
    QTest::addColumn<TDelays>("delays"); // answer delay per chunk name, ms
    QTest::addColumn<int>("maxCachedChunks");
    QTest::addColumn<int>("strategy");       // file removal strategy
    QTest::addColumn<QByteArray>("oldFile"); // present at the first file's path before the run
    QTest::addColumn<QStringList>("expectedLog");

    QTest::newRow("C, A, B arrive in that order")
        << QList<TFileLayout>{{"bin/tool", {"A", "B", "C"}, true}} << TDelays{{"A", 300}, {"B", 700}} << 100
        << 0 << QByteArray() << QStringList{"Wait for chunk", "from cache to"};
    QTest::newRow("one content at two places with a gap between")
        << QList<TFileLayout>{{"data.pak", {"P", "Q", "A", "B", "R", "A"}}} << TDelays{{"A", 300}, {"B", 800}}
        << 100 << 0 << QByteArray() << QStringList{"from cache to"};
    QTest::newRow("one URL shared by two files")
        << QList<TFileLayout>{{"one.bin", {"A", "S"}}, {"sub/two.bin", {"T", "S", "U"}}}
        << TDelays{{"T", 400}} << 100 << 0 << QByteArray() << QStringList{};
    QTest::newRow("maxCachedChunks 0: the second set-aside goes to a temporary file")
        << QList<TFileLayout>{{"big.bin", {"A", "B", "C", "D"}}}
        << TDelays{{"A", 900}, {"C", 300}, {"D", 500}} << 0 << 0 << QByteArray()
        << QStringList{"from cache to", "from temp file to"};
    QTest::newRow("rewritten from scratch, remove")
        << QList<TFileLayout>{{"old.bin", {"A", "B"}}} << TDelays{} << 100 << 0 << QByteArray(300000, 'o')
        << QStringList{};
    QTest::newRow("rewritten from scratch, move to backup")
        << QList<TFileLayout>{{"old.bin", {"A", "B"}}} << TDelays{} << 100 << 1 << QByteArray(300000, 'o')
        << QStringList{};
}

void TestPackageFileDownloader::writeOrdering() {
    QFETCH(QList<TFileLayout>, files);
    QFETCH(TDelays, delays);
    QFETCH(int, maxCachedChunks);
    QFETCH(int, strategy);
    QFETCH(QByteArray, oldFile);
    QFETCH(QStringList, expectedLog);

    TFaultyHttpServer server;
    QSet<QString> names;
    for (const TFileLayout& layout : files) {
        for (const QString& name : layout.chunks) {
            names.insert(name);
        }
    }
    // Every other chunk is served as a container, so both paths through decompression are taken.
    QSet<QString> packed;
    for (const QString& name : names) {
        const bool asContainer = (name.at(0).unicode() & 1) != 0;
        if (asContainer) {
            packed.insert(name);
        }
        const QByteArray content = contentOf(name);
        const TAnswer answer = TFaultyHttpServer::ok(asContainer ? storedContainer(content) : content);
        server.setAnswers("/chunks/" + name,
                          TAnswers{TFaultyHttpServer::delayed(delays.value(name, 0), answer)});
    }
    TRun run = makeRun(server, files, packed);
    run.downloader->setMaxCachedChunks(maxCachedChunks);
    run.downloader->setFileRemovalStrategy(static_cast<EFileRemovalStrategy>(strategy));
    if (!oldFile.isEmpty()) {
        QFile old(QDir(run.directory->path()).filePath(files.first().path));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(oldFile);
    }
    run.downloader->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(run.completed->count() + run.failed->count(), 1, 20000);
    QCOMPARE(run.completed->count(), 1);
    verifyWritten(run, files);
    for (const QString& name : names) {
        QVERIFY2(server.attempts("/chunks/" + name) == 1,
                 qPrintable(name + ": " + QString::number(server.attempts("/chunks/" + name))));
    }
    for (const QString& text : expectedLog) {
        QVERIFY2(logCount(text) > 0, qPrintable(text));
    }
    // Every place of every content is written, so no set-aside copy is kept any more.
    QCOMPARE(run.downloader->chunksCachedInMemory(), 0);
    // The last report carries the full totals; the rates read 0 after the end.
    const QList<QVariant> last = run.progress->last();
    QCOMPARE(last.at(0).value<TFileSize>(), run.downloader->totalSizeToDownloadInBytes());
    QCOMPARE(last.at(2).value<TFileSize>(), run.downloader->totalSizeToWriteInBytes());
    QCOMPARE(run.downloader->downloadedBytesPerSecond(), TFileSize(0));
    QVERIFY(!QFile::exists(QDir(run.directory->path()).filePath(files.first().path + ".old")));
}

void TestPackageFileDownloader::faults_data() {
    QTest::addColumn<TAnswers>("answers");  // for chunk B, per attempt
    QTest::addColumn<bool>("unwritable");   // B's file lies below a regular file
    QTest::addColumn<int>("expectedError"); // -1: downloadCompleted
    QTest::addColumn<int>("retryLines");
    QTest::addColumn<QString>("expectedLog");

    const QByteArray b = contentOf("B");
    QTest::newRow("fails three times, then succeeds")
        << TAnswers{TFaultyHttpServer::status(500), TFaultyHttpServer::status(404),
                    TFaultyHttpServer::resetMidBody(b), TFaultyHttpServer::ok(b)}
        << false << -1 << 3 << QString();
    QTest::newRow("fails four times")
        << TAnswers{TFaultyHttpServer::status(403)} << false << int(PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED)
        << 3 << QStringLiteral("Download of ");
    QTest::newRow("wrong bytes four times")
        << TAnswers{TFaultyHttpServer::wrongBytes(b)} << false
        << int(PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED) << 3 << QStringLiteral("Verify of ");
    QTest::newRow("undecodable container, not retried")
        << TAnswers{TFaultyHttpServer::ok(QByteArray("p\x07\x03\x03"
                                                     "abc"))}
        << false << int(PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED) << 0
        << QStringLiteral("Failed to decompress");
    QTest::newRow("stall, timeout, retry, success")
        << TAnswers{TFaultyHttpServer::stall(), TFaultyHttpServer::ok(b)} << false << -1 << 1 << QString();
    QTest::newRow("target cannot be written")
        << TAnswers{TFaultyHttpServer::ok(b)} << true << int(PACKAGE_DOWNLOADER_ERROR_SAVING_FAILED) << 0
        << QStringLiteral("Failed to create folder");
}

void TestPackageFileDownloader::faults() {
    QFETCH(TAnswers, answers);
    QFETCH(bool, unwritable);
    QFETCH(int, expectedError);
    QFETCH(int, retryLines);
    QFETCH(QString, expectedLog);

    TFaultyHttpServer server;
    for (const QString name : {"A", "C", "D"}) {
        server.setAnswers(QStringLiteral("/chunks/") + name, {TFaultyHttpServer::ok(contentOf(name))});
    }
    server.setAnswers("/chunks/B", answers);
    const TFileLayout withB{unwritable ? "blocker/b.bin" : "b.bin", {"A", "B"}};
    const TFileLayout other{"other.bin", {"C", "D"}};
    TRun run = makeRun(server, {withB, other});
    if (unwritable) {
        QFile blocker(QDir(run.directory->path()).filePath("blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    run.downloader->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(run.completed->count() + run.failed->count(), 1, 30000);
    QTest::qWait(50);
    QCOMPARE(run.completed->count() + run.failed->count(), 1);
    if (expectedError < 0) {
        QCOMPARE(run.completed->count(), 1);
        verifyWritten(run, {withB, other});
    } else {
        QCOMPARE(run.failed->count(), 1);
        QCOMPARE(int(run.failed->at(0).at(0).value<EPackageDownloaderError>()), expectedError);
        // The other chunks still run to the end.
        verifyWritten(run, {other});
    }
    QCOMPARE(logCount("Retry "), retryLines);
    QCOMPARE(server.attempts("/chunks/B"), retryLines + 1);
    if (!expectedLog.isEmpty()) {
        QCOMPARE(logCount(expectedLog), 1);
    }
}

void TestPackageFileDownloader::checkModeVerifiesKeptChunks_data() {
    QTest::addColumn<bool>("corrupt");
    QTest::addColumn<QByteArray>("expectedLog");
    QTest::newRow("kept chunk intact") << false << QByteArray("0: check succeeded\n40000: write succeeded\n");
    QTest::newRow("kept chunk corrupted") << true << QByteArray("0: check failed\n");
}

void TestPackageFileDownloader::checkModeVerifiesKeptChunks() {
    QFETCH(bool, corrupt);
    QFETCH(QByteArray, expectedLog);
    TFaultyHttpServer server;
    server.setAnswers("/chunks/N", {TFaultyHttpServer::ok(contentOf("N"))});
    const TFileLayout layout{"partial.bin", {"K", "N"}, false, {"K"}};
    TRun run = makeRun(server, {layout});
    run.downloader->setChunkVerification(true);
    const QString path = QDir(run.directory->path()).filePath(layout.path);
    {
        QByteArray onDisk = contentOf("K") + QByteArray(40000, 'x');
        if (corrupt) {
            onDisk[100] = static_cast<char>(onDisk.at(100) ^ 1);
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(onDisk);
    }
    run.downloader->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(run.completed->count() + run.failed->count(), 1, 20000);
    if (corrupt) {
        QCOMPARE(run.failed->count(), 1);
        QCOMPARE(run.failed->at(0).at(0).value<EPackageDownloaderError>(),
                 PACKAGE_DOWNLOADER_ERROR_SAVING_FAILED);
        QCOMPARE(logCount("invalid hash"), 1);
    } else {
        QCOMPARE(run.completed->count(), 1);
        verifyWritten(run, {layout});
    }
    QFile log(path + ".log");
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), expectedLog);
}

// Chunks are fetched in offset order, so on a fresh install the first chunk of every file arrives
// long before the second. A file whose walk stops at a missing chunk must not keep its descriptor:
// with a few hundred multi-chunk files the process would run out of descriptors and fail the run
// with "couldn't open target file".
void TestPackageFileDownloader::waitingFilesAreNotHeldOpen() {
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    if (!descriptors.exists()) {
        QSKIP("no /proc/self/fd to look at open descriptors");
    }
    TFaultyHttpServer server;
    QList<TFileLayout> files;
    for (int index = 0; index < 12; ++index) {
        const QString first = QStringLiteral("A%1").arg(index);
        const QString second = QStringLiteral("B%1").arg(index);
        server.setAnswers("/chunks/" + first, {TFaultyHttpServer::ok(contentOf(first))});
        server.setAnswers("/chunks/" + second,
                          {TFaultyHttpServer::delayed(900, TFaultyHttpServer::ok(contentOf(second)))});
        files.append(
            TFileLayout{QStringLiteral("dir/file%1.bin").arg(index), {first, second}, index % 2 == 0});
    }
    TRun run = makeRun(server, files);
    run.downloader->startDownload();
    // Every file has its first chunk written and waits for its second.
    QTRY_COMPARE_WITH_TIMEOUT(logCount("Wait for chunk"), files.size(), 20000);
    const QString root = QDir(run.directory->path()).canonicalPath() + QLatin1Char('/');
    QStringList open;
    for (const QFileInfo& entry :
         descriptors.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        const QString target = entry.symLinkTarget();
        if (target.startsWith(root)) {
            open.append(target);
        }
    }
    QVERIFY2(open.isEmpty(), qPrintable(open.join(QLatin1Char(' '))));
    QTRY_COMPARE_WITH_TIMEOUT(run.completed->count() + run.failed->count(), 1, 20000);
    QCOMPARE(run.completed->count(), 1);
    verifyWritten(run, files);
}

// A chunk fetched again after a partial download restarts its received count from zero, so the
// summed counter goes down for one tick. That tick must not enter the rate as a wrapped-around
// difference of nearly 2^64 bytes.
void TestPackageFileDownloader::restartedChunkDoesNotInflateTheRate() {
    TFaultyHttpServer server;
    server.setAnswers("/chunks/A", {TFaultyHttpServer::stall()});
    const TFileLayout layout{"a.bin", {"A"}};
    TRun run = makeRun(server, {layout});
    run.downloader->startDownload();
    const QUrl url = server.url("/chunks/A");
    emit run.pool->progress(url, 400000);
    QTest::qWait(250);
    emit run.pool->progress(url, 0);
    QTest::qWait(250);
    QVERIFY2(run.downloader->downloadedBytesPerSecond() <= TFileSize(400000 * 10),
             qPrintable(QString::number(run.downloader->downloadedBytesPerSecond())));
}

// A document that lists two different contents under one URL: only one of them can be fetched,
// so a place of the file is never written. The run must not end with downloadCompleted for a
// file with a hole in it.
void TestPackageFileDownloader::unwrittenPlaceIsNotReportedAsSuccess() {
    TFaultyHttpServer server;
    server.setAnswers("/chunks/A", {TFaultyHttpServer::ok(contentOf("A"))});
    const TFileLayout layout{"mixed.bin", {"A", "B"}};
    TRun run = makeRun(server, {layout}, {}, QString(), {{"B", "A"}});
    run.downloader->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(run.completed->count() + run.failed->count(), 1, 20000);
    QCOMPARE(run.completed->count(), 0);
    QCOMPARE(run.failed->at(0).at(0).value<EPackageDownloaderError>(),
             PACKAGE_DOWNLOADER_ERROR_SAVING_FAILED);
}

QTEST_GUILESS_MAIN(TestPackageFileDownloader)
#include "tst_packagefiledownloader.moc"
