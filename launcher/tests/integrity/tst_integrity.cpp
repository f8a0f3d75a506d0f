// The installation keeps to its package folder whatever the disk, the documents or the server
// hold: planted links, special files and folders, hostile documents and hostile servers, and two
// runs on one folder. Builds are made in memory and served by the fault server on 127.0.0.1.
#include "faultyhttpserver.h"
#include "installationsupport.h"
#include "launcher/installation/chunking.h"
#include "launcher/installation/packageinstallation.h"
#include "shared/downloadpool.h"
#include "shared/sha256.h"
#include "testenvironment.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <zlib.h>

#include <functional>
#include <map>

using namespace quarn::launcher;
using namespace testsupport;

namespace {

constexpr int MiB = 1024 * 1024;

QString hexDigest(const QByteArray& content) {
    return QString::fromLatin1(shared::TSha256::hash(content).toHex());
}

// A build made in memory: files cut into content-defined chunks (as the publisher cuts them) or
// kept as one unit, and the package document that lists them.
class TBuild {
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
        QJsonObject file = fileObject(path, content);
        file.insert("chunks", indices);
        m_Files.append(file);
        m_Contents[path] = content;
    }

    void addWholeFile(const QString& path, const QByteArray& content) {
        m_Files.append(wholeFileObject(path, content));
        m_Contents[path] = content;
    }

    // A file entry fetched as one unit, as a document writes it.
    QJsonObject wholeFileObject(const QString& path, const QByteArray& content) {
        const QString url = QStringLiteral("f/") + hexDigest(content);
        m_Units[url] = content;
        QJsonObject file = fileObject(path, content);
        file.insert("url", url);
        file.insert("unpack", false);
        file.insert("packedsize", content.size());
        return file;
    }

    QJsonObject document() const { return {{"version", "1"}, {"chunks", m_Chunks}, {"files", m_Files}}; }

    static TPackageConfigurationReader reader(const QJsonObject& document, const QUrl& base) {
        return TPackageConfigurationReader(QJsonDocument(document).toJson(), QByteArray(), base, base);
    }
    TPackageConfigurationReader reader(const QUrl& base) const { return reader(document(), base); }

    void serveOn(TFaultyHttpServer& server, const QString& prefix, int delayMs = 0) const {
        for (const auto& unit : m_Units)
            server.setAnswers(prefix + unit.first,
                              {TFaultyHttpServer::delayed(delayMs, TFaultyHttpServer::ok(unit.second))});
    }

    // Writes the build into a folder as an installation would leave it.
    void installInto(const QString& folder) const {
        for (const auto& file : m_Contents) {
            const QString path = folder + QLatin1Char('/') + file.first;
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile out(path);
            QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QCOMPARE(out.write(file.second), qint64(file.second.size()));
        }
    }

    const std::map<QString, QByteArray>& contents() const { return m_Contents; }

private:
    int addChunk(const QByteArray& content) {
        const QString url = QStringLiteral("c/") + hexDigest(content);
        if (!m_Units.count(url)) {
            m_Units[url] = content;
            m_ChunkIndex[url] = m_Chunks.size();
            m_Chunks.append(QJsonObject{{"url", url},
                                        {"unpack", false},
                                        {"packedsize", content.size()},
                                        {"unpackedsize", content.size()},
                                        {"unpackedhash", hexDigest(content)}});
        }
        return m_ChunkIndex[url];
    }

    static QJsonObject fileObject(const QString& path, const QByteArray& content) {
        return QJsonObject{
            {"localfile", path}, {"unpackedsize", content.size()}, {"unpackedhash", hexDigest(content)}};
    }

    QJsonArray m_Chunks;
    QJsonArray m_Files;
    std::map<QString, QByteArray> m_Units;
    std::map<QString, int> m_ChunkIndex;
    std::map<QString, QByteArray> m_Contents;
};

// Everything below a folder, seen without following links: kind, link target or content.
std::map<QString, QByteArray> snapshot(const QString& root) {
    std::map<QString, QByteArray> entries;
    QDirIterator iterator(root, QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                          QDirIterator::Subdirectories);
    while (iterator.hasNext()) {
        const QString path = iterator.next();
        const QFileInfo info = iterator.fileInfo();
        QByteArray value;
        if (info.isSymLink())
            value = "link " + QFile::encodeName(info.symLinkTarget());
        else if (info.isDir())
            value = "folder";
        else if (info.isFile())
            value = "file " + readWholeFile(path);
        else
            value = "special";
        entries[QDir(root).relativeFilePath(path)] = value;
    }
    return entries;
}

bool isRegularFile(const QString& path) {
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISREG(status.st_mode);
}

// Peak resident memory of this process, as the system accounts it (bytes).
qint64 peakResidentBytes() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_maxrss) * 1024;
}

struct TOutcome {
    bool ended = false;
    bool installed = false;
    QString failure; // the text of diskAccessFailed
    qint64 milliseconds = 0;
};

// Waits until a run reports the end of its download phase or a disk access failure.
TOutcome waitForEnd(TPackageInstallation& run, const std::function<void()>& start, int timeoutMs = 120000) {
    QSignalSpy finished(&run, &TPackageInstallation::downloadFinished);
    QSignalSpy failed(&run, &TPackageInstallation::diskAccessFailed);
    QElapsedTimer timer;
    timer.start();
    start();
    while (finished.isEmpty() && failed.isEmpty() && timer.elapsed() < timeoutMs)
        QTest::qWait(20);
    TOutcome outcome;
    outcome.milliseconds = timer.elapsed();
    outcome.ended = !finished.isEmpty() || !failed.isEmpty();
    outcome.installed = !finished.isEmpty() && run.isInstalledWithoutError();
    if (!failed.isEmpty())
        outcome.failure = failed.first().first().toString();
    return outcome;
}

// A gzip stream that inflates to the given number of MiB of zeros, made without holding them:
// one fully flushed deflate block of 1 MiB of zeros, repeated, then the final block and a trailer
// with the right checksum and length.
QByteArray gzipBombOfZeros(int mebibytes) {
    const QByteArray zeros(MiB, '\0');
    z_stream stream{};
    if (deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    const auto deflateOnce = [&](const QByteArray& input, int flush) {
        QByteArray output(2 * MiB, Qt::Uninitialized);
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.constData()));
        stream.avail_in = uInt(input.size());
        stream.next_out = reinterpret_cast<Bytef*>(output.data());
        stream.avail_out = uInt(output.size());
        deflate(&stream, flush);
        output.truncate(output.size() - int(stream.avail_out));
        return output;
    };
    const QByteArray headerAndFirst = deflateOnce(zeros, Z_FULL_FLUSH);
    const QByteArray block = deflateOnce(zeros, Z_FULL_FLUSH);
    const QByteArray end = deflateOnce(QByteArray(), Z_FINISH);
    deflateEnd(&stream);
    QByteArray bomb = headerAndFirst;
    for (int i = 1; i < mebibytes; ++i)
        bomb += block;
    bomb += end.left(end.size() - 8);
    uLong crc = crc32(0L, Z_NULL, 0);
    for (int i = 0; i < mebibytes; ++i)
        crc = crc32(crc, reinterpret_cast<const Bytef*>(zeros.constData()), uInt(zeros.size()));
    const quint32 length = quint32(quint64(mebibytes) * MiB);
    for (quint32 value : {quint32(crc), length})
        for (int shift = 0; shift < 32; shift += 8)
            bomb += char((value >> shift) & 0xff);
    return bomb;
}

using TDocumentChange = std::function<void(QJsonObject&, TBuild&)>;

} // namespace

Q_DECLARE_METATYPE(TDocumentChange)
Q_DECLARE_METATYPE(TFaultyHttpServer::TAnswer)

class TestIntegrity : public QObject {
    Q_OBJECT

private:
    TTestHome m_Home;
    std::shared_ptr<TLauncherFilesystemHelper> m_Helper;
    TFaultyHttpServer m_Server;
    // The installed build and the new one; made on first use (they hold tens of MiB).
    std::unique_ptr<TBuild> m_Old, m_New;

    QUrl base(const QString& prefix) const { return m_Server.url(prefix); }

    void makeBuilds() {
        if (m_Old)
            return;
        const QByteArray large = randomBytes(1, 24 * MiB);
        QByteArray changed = large;
        for (int i = 0; i < 4096; ++i)
            changed[12 * MiB + i] = char(changed[12 * MiB + i] ^ 0x5a);
        m_Old = std::make_unique<TBuild>();
        m_Old->addChunkedFile("big.bin", large);
        m_Old->addWholeFile("small.txt", "small, old");
        m_Old->addWholeFile("data/x.txt", "x, old");
        m_Old->addWholeFile("data/dropped.txt", "dropped by the new build");
        m_New = std::make_unique<TBuild>();
        m_New->addChunkedFile("big.bin", changed);
        m_New->addWholeFile("small.txt", "small, new");
        m_New->addWholeFile("data/x.txt", "x, new");
        m_New->addWholeFile("saves", "a file where players may keep a folder");
        m_Old->serveOn(m_Server, "/old/");
        m_New->serveOn(m_Server, "/new/");
    }

    std::unique_ptr<TPackageInstallation> makeRun(const QString& folder) {
        auto run = std::make_unique<TPackageInstallation>(nullptr, m_Helper);
        run->setInstallationBaseDirectory(QDir(folder));
        return run;
    }

private slots:
    void initTestCase() {
        m_Home.applyToThisProcess();
        qRegisterMetaType<std::shared_ptr<TPackage>>("std::shared_ptr<quarn::launcher::TPackage>");
        m_Helper = std::make_shared<TLauncherFilesystemHelper>();
        QVERIFY(m_Server.isListening());
    }

    // Measured first, before the larger builds of the other tests raise the process's peak.
    void hostileServer_data() {
        QTest::addColumn<TFaultyHttpServer::TAnswer>("answer");
        QTest::newRow("endless body") << TFaultyHttpServer::endless();
        QTest::newRow("oversized Content-Length") << TFaultyHttpServer::oversized();
        // 1 GiB of zeros in about 1 MiB, sent as gzip although identity was asked for.
        QTest::newRow("gzip bomb") << TFaultyHttpServer::encoded(gzipBombOfZeros(1024));
        QTest::newRow("one byte a second") << TFaultyHttpServer::drip();
    }

    // Each hostile answer ends the run as a failed download within a bounded time, and the process
    // grows by less than PEAK_GROWTH_BOUND, while an unbounded body would take gigabytes.
    void hostileServer() {
        QFETCH(TFaultyHttpServer::TAnswer, answer);
        constexpr qint64 PEAK_GROWTH_BOUND = 128ll * MiB;
        const QString prefix = QStringLiteral("/hostile/%1/").arg(QTest::currentDataTag()).replace(' ', '-');
        TBuild build;
        const QJsonObject file = build.wholeFileObject("payload.bin", randomBytes(7, MiB));
        m_Server.setAnswers(prefix + file.value("url").toString(), {answer});
        QJsonObject document = build.document();
        document.insert("files", QJsonArray{file});

        QTemporaryDir folder;
        auto run = makeRun(folder.path());
        // A window of one second keeps the test short; a byte a second is far below its minimum.
        run->downloadPool()->setMinimumTransferRate(4096, 1000);
        const qint64 peakBefore = peakResidentBytes();
        const TOutcome outcome = waitForEnd(*run, [&] {
            run->startScan(TPackageConfigurationReader(), TBuild::reader(document, base(prefix)), false);
        });
        const qint64 growth = peakResidentBytes() - peakBefore;
        qInfo() << QTest::currentDataTag() << "ended after" << outcome.milliseconds << "ms, peak grew by"
                << growth / 1024 << "KiB";
        QVERIFY(outcome.ended);
        QVERIFY(outcome.failure.isEmpty());
        QVERIFY(!outcome.installed);
        QCOMPARE(run->installationErrorReason(), PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED);
        QVERIFY2(growth < PEAK_GROWTH_BOUND, qPrintable(QString::number(growth)));
    }

    void hostileLayout_data() {
        QTest::addColumn<QString>("plant");
        QTest::addColumn<bool>("installs");
        QTest::newRow("chunked file is a link to a larger outside file") << "chunked link" << true;
        QTest::newRow("whole-unit file is a link") << "whole link" << true;
        QTest::newRow("folder is a link") << "folder link" << true;
        QTest::newRow("player's folder where the build has a file") << "player folder" << false;
        QTest::newRow("FIFO at a chunked path") << "fifo" << true;
    }

    // An installed build with something planted is updated; nothing in the sentinel folder (or the
    // player's folder) changes, and a successful update leaves real files with the new content.
    void hostileLayout() {
        QFETCH(QString, plant);
        QFETCH(bool, installs);
        makeBuilds();
        QTemporaryDir root;
        const QString package = root.path() + "/package";
        const QString sentinel = root.path() + "/sentinel";
        QDir().mkpath(sentinel);
        m_Old->installInto(package);
        const auto linkTo = [](const QString& target, const QString& link) {
            QFile::remove(link);
            QDir(link).removeRecursively();
            QVERIFY(QFile::link(target, link));
        };
        if (plant == "chunked link") {
            QFile user(sentinel + "/user.dat");
            QVERIFY(user.open(QIODevice::WriteOnly));
            user.write(m_Old->contents().at("big.bin") + QByteArray("the player's own data behind it"));
            user.close();
            linkTo(sentinel + "/user.dat", package + "/big.bin");
        } else if (plant == "whole link") {
            QFile notes(sentinel + "/notes.txt");
            QVERIFY(notes.open(QIODevice::WriteOnly));
            notes.write("notes of the player");
            notes.close();
            linkTo(sentinel + "/notes.txt", package + "/small.txt");
        } else if (plant == "folder link") {
            QVERIFY(QDir(package + "/data").rename(package + "/data", sentinel + "/data"));
            linkTo(sentinel + "/data", package + "/data");
        } else if (plant == "player folder") {
            QDir().mkpath(package + "/saves/slot1");
            QFile save(package + "/saves/slot1/game.sav");
            QVERIFY(save.open(QIODevice::WriteOnly));
            save.write("a saved game");
        } else if (plant == "fifo") {
            QFile::remove(package + "/big.bin");
            QCOMPARE(::mkfifo(QFile::encodeName(package + "/big.bin").constData(), 0600), 0);
        }
        const QString guarded = plant == "player folder" ? package + "/saves" : sentinel;
        const auto before = snapshot(guarded);

        auto run = makeRun(package);
        const TOutcome outcome = waitForEnd(
            *run, [&] { run->startScan(m_Old->reader(base("/old/")), m_New->reader(base("/new/")), false); });
        QVERIFY(outcome.ended);
        QVERIFY(snapshot(guarded) == before);
        if (!installs) {
            QVERIFY2(outcome.failure.contains(package + "/saves"), qPrintable(outcome.failure));
            return;
        }
        QVERIFY2(outcome.installed, qPrintable(outcome.failure));
        for (const auto& file : m_New->contents()) {
            const QString path = package + '/' + file.first;
            QVERIFY2(isRegularFile(path), qPrintable(path));
            QCOMPARE(readWholeFile(path), file.second);
        }
        QVERIFY(!QFileInfo::exists(package + "/data/dropped.txt") || plant == "folder link");
    }

    void hostileDocument_data() {
        QTest::addColumn<TDocumentChange>("change");
        QTest::addColumn<QString>("reason");
        const auto addFile = [](const QString& path) {
            return TDocumentChange([path](QJsonObject& document, TBuild& build) {
                QJsonArray files = document.value("files").toArray();
                files.append(build.wholeFileObject(path, "planted"));
                document.insert("files", files);
            });
        };
        const auto setChunk = [](const char* key, const QJsonValue& value) {
            return TDocumentChange([key, value](QJsonObject& document, TBuild&) {
                QJsonArray chunks = document.value("chunks").toArray();
                QJsonObject chunk = chunks.at(0).toObject();
                chunk.insert(key, value);
                chunks.replace(0, chunk);
                document.insert("chunks", chunks);
            });
        };
        const auto setFile = [](const QString& path, const char* key, const QJsonValue& value) {
            return TDocumentChange([path, key, value](QJsonObject& document, TBuild&) {
                QJsonArray files = document.value("files").toArray();
                for (int i = 0; i < files.size(); ++i) {
                    QJsonObject file = files.at(i).toObject();
                    if (file.value("localfile").toString() == path) {
                        file.insert(key, value);
                        files.replace(i, file);
                    }
                }
                document.insert("files", files);
            });
        };
        QTest::newRow("marker name") << addFile("package.json") << "launcher's own files";
        QTest::newRow("marker name in other letter case")
            << addFile("Partial-Package.JSON") << "launcher's own files";
        QTest::newRow("forced-patch marker") << addFile("./FORCE_PATCH") << "launcher's own files";
        QTest::newRow("case twins") << addFile("DATA/X.txt") << "two files";
        QTest::newRow("normalisation twins") << TDocumentChange([addFile](QJsonObject& d, TBuild& b) {
            addFile(QStringLiteral("caf\u00e9.txt"))(d, b);
            addFile(QStringLiteral("cafe\u0301.txt"))(d, b);
        }) << "two files";
        QTest::newRow("a file and a folder") << addFile("small.txt/inner") << "also a folder";
        QTest::newRow("negative chunk size") << setChunk("unpackedsize", -5) << "not a whole number";
        QTest::newRow("huge chunk size") << setChunk("unpackedsize", 1e30) << "not a whole number";
        QTest::newRow("chunk above 64 MiB") << setChunk("unpackedsize", 64.0 * MiB + 1) << "a chunk holds";
        QTest::newRow("fractional file size")
            << setFile("small.txt", "unpackedsize", 10.5) << "not a whole number";
        QTest::newRow("chunks sum to another size") << setFile("big.bin", "unpackedsize", 1000) << "hold";
        QTest::newRow("digest of 31 bytes") << setChunk("unpackedhash", QString(62, 'a')) << "digest of 31";
        QTest::newRow("file: chunk URL") << setChunk("url", "file:///etc/passwd") << "only http and https";
        QTest::newRow("data: chunk URL")
            << setChunk("url", "data:application/octet-stream;base64,AAAA") << "only http and https";
        QTest::newRow("file: unit URL")
            << setFile("small.txt", "url", "file:///etc/hostname") << "only http and https";
    }

    // A hostile document fails the run with its reason before anything is fetched or changed: the
    // installed build stays byte for byte as it was.
    void hostileDocument() {
        QFETCH(TDocumentChange, change);
        QFETCH(QString, reason);
        makeBuilds();
        QTemporaryDir root;
        const QString package = root.path() + "/package";
        m_New->installInto(package);
        const auto before = snapshot(package);
        TBuild extra;
        QJsonObject document = m_New->document();
        change(document, extra);
        extra.serveOn(m_Server, "/new/");
        const int attemptsBefore = m_Server.totalAttempts();

        auto run = makeRun(package);
        const TOutcome outcome = waitForEnd(*run, [&] {
            run->startScan(m_New->reader(base("/new/")), TBuild::reader(document, base("/new/")), false);
        });
        QVERIFY(outcome.ended);
        QVERIFY2(outcome.failure.contains(reason), qPrintable(outcome.failure));
        QCOMPARE(m_Server.totalAttempts(), attemptsBefore);
        QVERIFY(snapshot(package) == before);
    }

    // Two runs on one folder: the second waits for the lock, gives up with a clear message, and the
    // folder ends as the first run's build, which a fast scan and a full verification both accept.
    void twoRunsOnOneFolder() {
        TBuild v2, v4;
        v2.addWholeFile("a.bin", randomBytes(2, MiB));
        v2.addWholeFile("b.txt", "build 2");
        v4.addWholeFile("a.bin", randomBytes(4, MiB));
        v4.addWholeFile("b.txt", "build 4");
        v4.addWholeFile("c.txt", "only in build 4");
        // Slow answers keep the first run busy while the second one waits.
        v2.serveOn(m_Server, "/v2/", 1500);
        v4.serveOn(m_Server, "/v4/");

        QTemporaryDir root;
        const QString package = root.path() + "/package";
        auto first = makeRun(package);
        auto second = makeRun(package);
        second->setFolderLockTimeout(300);
        QSignalSpy firstDone(first.get(), &TPackageInstallation::downloadFinished);
        QSignalSpy firstFailed(first.get(), &TPackageInstallation::diskAccessFailed);
        QSignalSpy secondDone(second.get(), &TPackageInstallation::downloadFinished);
        QSignalSpy secondFailed(second.get(), &TPackageInstallation::diskAccessFailed);
        first->startScan(TPackageConfigurationReader(), v2.reader(base("/v2/")), false);
        second->startScan(TPackageConfigurationReader(), v4.reader(base("/v4/")), false);
        QTRY_VERIFY_WITH_TIMEOUT(!firstDone.isEmpty() || !firstFailed.isEmpty(), 120000);
        QTRY_VERIFY_WITH_TIMEOUT(!secondDone.isEmpty() || !secondFailed.isEmpty(), 120000);
        QVERIFY(first->isInstalledWithoutError());
        QVERIFY(firstFailed.isEmpty());
        QVERIFY(secondDone.isEmpty());
        QCOMPARE(secondFailed.size(), 1);
        QVERIFY(secondFailed.first().first().toString().contains("Another installation"));
        QCOMPARE(m_Server.attempts(QStringLiteral("/v4/f/") + hexDigest(v4.contents().at("a.bin"))), 0);
        // The owner writes its markers here, then lets the folder go.
        first->releaseInstallationFolder();

        std::map<QString, QByteArray> expected;
        for (const auto& file : v2.contents())
            expected[file.first] = "file " + file.second;
        QVERIFY(snapshot(package) == expected);

        const int attemptsBefore = m_Server.totalAttempts();
        auto check = makeRun(package);
        const TOutcome fast = waitForEnd(
            *check, [&] { check->startScan(v2.reader(base("/v2/")), v2.reader(base("/v2/")), true); });
        QVERIFY(fast.installed);
        QCOMPARE(m_Server.totalAttempts(), attemptsBefore);
        QSignalSpy verified(check.get(), &TPackageInstallation::verificationFinished);
        check->verify(v2.reader(base("/v2/")), true);
        QTRY_VERIFY_WITH_TIMEOUT(!verified.isEmpty(), 60000);
        QVERIFY(check->isInstalledWithoutError());
    }
};

QTEST_GUILESS_MAIN(TestIntegrity)
#include "tst_integrity.moc"
