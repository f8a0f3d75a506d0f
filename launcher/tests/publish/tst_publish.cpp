#include "launcher/configuration/launcherconfiguration.h"
#include "launcher/configuration/package.h"
#include "launcher/configuration/packageconfiguration.h"
#include "shared/compressionhelper.h"
#include "shared/sha256.h"
#include "splitmix64.h"
#include "testenvironment.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <set>

using quarn::launcher::TChunkInPackage;
using quarn::launcher::TPackageConfigurationReader;

namespace {

constexpr int MIB = 1024 * 1024;

// One file of a source tree: its path, content and whether it carries execute bits.
struct TFileSpec {
    QString path;
    QByteArray content;
    bool executable = false;
};
using TTree = QVector<TFileSpec>;

QByteArray randomBytes(quint64 seed, int size) {
    return testsupport::splitmix64Bytes(seed, size);
}

// Content that is a valid container header when read as data: the launcher would decode it if it
// were stored plain and marked for unpacking.
const QByteArray HEADER_LOOKALIKE = QByteArray("p\x03\x03\x03"
                                               "abc",
                                               7);
const QByteArray PADDED_HEADER_LOOKALIKE = QByteArray("\0\0p\x05\x10\x02zz", 9);

struct TRun {
    int exitCode = -1;
    QString out;
    QString err;
};

} // namespace

Q_DECLARE_METATYPE(TTree)

// orvane-publish package and catalogue, checked through the launcher's own readers and decoder.
class TestPublish : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void roundTrip_data();
    void roundTrip();
    void republishReusesIntactUnits();
    void refusals_data();
    void refusals();
    void catalogueKeepsOtherPackages();
    void catalogueUrlsReachOddFolderNames_data();
    void catalogueUrlsReachOddFolderNames();
    void catalogueRefusals_data();
    void catalogueRefusals();
    void containerToolsReportWriteErrors_data();
    void containerToolsReportWriteErrors();
    void syncEndsWhateverTheFetch_data();
    void syncEndsWhateverTheFetch();

private:
    TRun run(const QStringList& arguments, int timeoutMs = 300000);
    void writeTree(const QString& root, const TTree& tree);
    void checkRoundTrip(const QString& source, const QString& output, const QString& executable,
                        bool withAssets);

    QString m_tool;
    std::unique_ptr<QTemporaryDir> m_dir;
    TTestHome m_home; // sync uses the launcher's folders
};

void TestPublish::initTestCase() {
    m_tool = qEnvironmentVariable("ORVANE_PUBLISH");
    QVERIFY2(QFileInfo(m_tool).isExecutable(), qPrintable(m_tool));
}

void TestPublish::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

TRun TestPublish::run(const QStringList& arguments, int timeoutMs) {
    QProcess process;
    process.setWorkingDirectory(m_dir->path());
    process.setProcessEnvironment(m_home.environment());
    process.start(m_tool, arguments);
    TRun result;
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit) {
        result.err = QStringLiteral("orvane-publish did not finish normally");
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

void TestPublish::writeTree(const QString& root, const TTree& tree) {
    for (const TFileSpec& entry : tree) {
        const QString path = root + QLatin1Char('/') + entry.path;
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(entry.content), qint64(entry.content.size()));
        file.close();
        QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        if (entry.executable) {
            permissions |= QFileDevice::ExeOwner;
        }
        QVERIFY(file.setPermissions(permissions));
    }
}

// Reads the published documents with the launcher's reader, fetches every unit from disk the way
// the download pipeline does (decoding only units marked for unpacking) and compares the
// reassembled files, their digests and flags with the source tree.
void TestPublish::checkRoundTrip(const QString& source, const QString& output, const QString& executable,
                                 bool withAssets) {
    QFile packageDocument(output + "/package.json");
    QVERIFY(packageDocument.open(QIODevice::ReadOnly));
    const QByteArray packageJson = packageDocument.readAll();
    QByteArray assetJson;
    if (withAssets) {
        QFile assetDocument(output + "/assets.json");
        QVERIFY(assetDocument.open(QIODevice::ReadOnly));
        assetJson = assetDocument.readAll();
    } else {
        QVERIFY(!QFileInfo::exists(output + "/assets.json"));
    }
    // Every URL is relative, so the tree can be served from any base URL.
    const QRegularExpression url(QStringLiteral("\"url\": \"([^\"]*)\""));
    for (const QByteArray& document : {packageJson, assetJson}) {
        auto matches = url.globalMatch(QString::fromUtf8(document));
        while (matches.hasNext()) {
            const QString value = matches.next().captured(1);
            QVERIFY2(QUrl(value).isRelative() && !value.startsWith('/'), qPrintable(value));
        }
    }
    const QUrl base = QUrl::fromLocalFile(output + "/");
    const TPackageConfigurationReader reader(packageJson, assetJson, base, base);
    QVERIFY(reader.initializedSuccessfully());
    QCOMPARE(reader.relativeExecutablePath(), executable);

    // Identical contents are stored once: one URL per digest, one chunk entry per digest and document.
    std::map<QByteArray, QUrl> urlByDigest;
    auto noteUnit = [&urlByDigest](const TChunkInPackage& unit) {
        const auto known = urlByDigest.emplace(unit.unpackedFileMetadata().fileHash(), unit.fileUrl());
        QVERIFY2(known.first->second == unit.fileUrl(), qPrintable(unit.fileUrl().toString()));
    };
    for (const QByteArray& document : {packageJson, assetJson}) {
        std::set<QString> digests;
        const QJsonArray chunks = QJsonDocument::fromJson(document).object().value("chunks").toArray();
        for (const QJsonValue& chunk : chunks) {
            QVERIFY(digests.insert(chunk.toObject().value("unpackedhash").toString()).second);
        }
    }

    QStringList sourceFiles;
    QDirIterator it(source, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        sourceFiles << QDir(source).relativeFilePath(it.next());
    }
    sourceFiles.sort();
    QStringList publishedFiles;
    for (const auto& file : reader.containedFiles()) {
        publishedFiles << file.relativeLocalPath();
        std::vector<TChunkInPackage> units;
        if (file.chunkIndices().empty()) {
            units.push_back(file.fullChunk());
        } else {
            QVERIFY(file.fullChunk().fileUrl().isEmpty());
            for (int index : file.chunkIndices()) {
                QVERIFY(index >= 0 && size_t(index) < reader.containedChunks().size());
                units.push_back(reader.containedChunks()[size_t(index)]);
            }
        }
        QByteArray assembled;
        for (const TChunkInPackage& unit : units) {
            noteUnit(unit);
            QFile stored(unit.fileUrl().toLocalFile());
            QVERIFY2(stored.open(QIODevice::ReadOnly), qPrintable(unit.fileUrl().toString()));
            const QByteArray packed = stored.readAll();
            QCOMPARE(quint64(packed.size()), unit.packedFileMetadata().fileSize());
            QCOMPARE(shared::TSha256::hash(packed), unit.packedFileMetadata().fileHash());
            const QByteArray content =
                unit.unpackAfterDownload()
                    ? shared::TCompressionHelper::DecompressLZMAByteArrayWithExceptionOnError(packed)
                    : packed;
            if (unit.unpackAfterDownload()) {
                // A container, never much larger than its content (incompressible content is stored
                // with codec 0: the content behind a header of a few bytes).
                QVERIFY(shared::TCompressionHelper::isContainer(packed));
                QVERIFY2(unit.packedFileMetadata().fileSize() <= unit.unpackedFileMetadata().fileSize() + 24,
                         qPrintable(unit.fileUrl().toString()));
            }
            QCOMPARE(quint64(content.size()), unit.unpackedFileMetadata().fileSize());
            QCOMPARE(shared::TSha256::hash(content), unit.unpackedFileMetadata().fileHash());
            assembled += content;
        }
        QFile original(source + "/" + file.relativeLocalPath());
        QVERIFY(original.open(QIODevice::ReadOnly));
        const QByteArray expected = original.readAll();
        QVERIFY2(assembled == expected, qPrintable(file.relativeLocalPath()));
        QCOMPARE(file.unpackedFileMetadata().fileSize(), quint64(expected.size()));
        QCOMPARE(file.unpackedFileMetadata().fileHash(), shared::TSha256::hash(expected));
        const bool executableBits = (original.permissions() & QFileDevice::ExeOwner) != 0;
        QCOMPARE(file.isExecutable(), executableBits || file.relativeLocalPath() == executable);
    }
    QCOMPARE(publishedFiles, sourceFiles);
    // Nothing is stored twice, and nothing is stored that the documents do not need.
    QCOMPARE(QDir(output + "/chunks").entryList(QDir::Files).size(), int(urlByDigest.size()));
}

void TestPublish::roundTrip_data() {
    QTest::addColumn<TTree>("tree");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("executable");
    QTest::addColumn<int>("assetFiles");
    QTest::addColumn<int>("plainUnits"); // units stored with "unpack" false

    const QByteArray text = QByteArray("the quick brown fox jumps over the lazy dog\n").repeated(200);
    const TTree small = {{"readme.txt", text},
                         {"bin/run", "#!/bin/sh\necho run\n", true},
                         {"data/noise.bin", randomBytes(1, 300000)},
                         {"empty", ""}};
    QTest::newRow("small files, default codec")
        << small << QStringList{"--executable", "bin/run"} << "bin/run" << 0 << 1;
    QTest::newRow("fastest level") << small << QStringList{"--level", "0"} << "" << 0 << 1;
    for (const char* codec : {"3", "4", "10"}) {
        QTest::newRow(qPrintable(QStringLiteral("codec %1").arg(codec)))
            << small << QStringList{"--codec", codec} << "" << 0 << 1;
    }
    QTest::newRow("executable named, not marked on disk")
        << TTree{{"game", "binary"}} << QStringList{"--executable", "./game", "--parameter", "-windowed"}
        << "game" << 0 << 0;

    // Header look-alikes: stored plain they are marked "unpack" false; in containers they decode.
    const TTree traps = {{"trap", HEADER_LOOKALIKE}, {"padded/trap", PADDED_HEADER_LOOKALIKE}, {"empty", ""}};
    QTest::newRow("plain storage of header look-alikes") << traps << QStringList{"--plain"} << "" << 0 << 3;
    QTest::newRow("header look-alikes in containers") << traps << QStringList{"--codec", "0"} << "" << 0 << 1;

    // Large files are cut into chunks; identical files and chunks are stored once, and the asset
    // document refers to the package document's chunks by their combined index.
    const QByteArray large = randomBytes(2, 20 * MIB);
    const TTree chunked = {{"client.bin", large},
                           {"copy-of-client.bin", large},
                           {"data/client-again.bin", large},
                           {"data/level.bin", randomBytes(3, 9 * MIB)},
                           {"data/small.txt", text},
                           {"small-copy.txt", text}};
    QTest::newRow("chunked files and assets")
        << chunked << QStringList{"--codec", "0", "--assets", "data/*"} << "" << 3 << 0;
    QTest::newRow("threshold puts a small file into the chunk list")
        << TTree{{"a.bin", randomBytes(4, 5000)}, {"b.bin", randomBytes(5, 100)}}
        << QStringList{"--threshold", "1K", "--codec", "0"} << "" << 0 << 0;
}

void TestPublish::roundTrip() {
    QFETCH(TTree, tree);
    QFETCH(QStringList, options);
    QFETCH(QString, executable);
    QFETCH(int, assetFiles);
    QFETCH(int, plainUnits);

    const QString source = m_dir->filePath("src");
    const QString output = m_dir->filePath("out");
    writeTree(source, tree);
    const TRun result = run(QStringList{"package", source, output, "--version", "1.0"} + options);
    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    checkRoundTrip(source, output, executable, options.contains("--assets"));

    QFile packageDocument(output + "/package.json");
    QVERIFY(packageDocument.open(QIODevice::ReadOnly));
    const QJsonObject package = QJsonDocument::fromJson(packageDocument.readAll()).object();
    QCOMPARE(package.value("version").toString(), QStringLiteral("1.0"));
    if (options.contains("--parameter")) {
        QCOMPARE(package.value("parameters").toArray(), QJsonArray{"-windowed"});
    }
    // Random content cannot shrink: whatever the codec asked for, it is stored behind a codec 0 header.
    for (const QJsonValue& file : package.value("files").toArray()) {
        if (file.toObject().value("localfile") == "data/noise.bin") {
            QFile stored(output + "/" + file.toObject().value("url").toString());
            QVERIFY(stored.open(QIODevice::ReadOnly));
            QCOMPARE(stored.read(2), QByteArray("p\0", 2));
        }
    }
    const int count = QDir(output + "/chunks").entryList({"*.plain"}, QDir::Files).size();
    QCOMPARE(count, plainUnits);
    if (assetFiles > 0) {
        QFile assetDocument(output + "/assets.json");
        QVERIFY(assetDocument.open(QIODevice::ReadOnly));
        const QJsonObject assets = QJsonDocument::fromJson(assetDocument.readAll()).object();
        QCOMPARE(assets.value("files").toArray().size(), assetFiles);
    }
}

// A new version published into the same folder writes only the units whose content is new; a
// stored unit that was damaged in the meantime is written again instead of being referenced.
void TestPublish::republishReusesIntactUnits() {
    const QString source = m_dir->filePath("src");
    const QString output = m_dir->filePath("out");
    const QByteArray large = randomBytes(6, 18 * MIB);
    writeTree(source, {{"client.bin", large}, {"a.txt", "first"}, {"b.txt", "unchanged"}});
    TRun result = run({"package", source, output, "--version", "1", "--codec", "0"});
    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    const QRegularExpression summary(
        QStringLiteral("(\\d+) stored units \\((\\d+) written, (\\d+) reused\\)"));
    auto match = summary.match(result.out);
    QVERIFY2(match.hasMatch(), qPrintable(result.out));
    const int units = match.captured(1).toInt();
    QCOMPARE(match.captured(3).toInt(), 0);

    // Version 2: one small file changed, and one stored unit of the large file torn.
    writeTree(source, {{"a.txt", "second"}});
    QStringList stored = QDir(output + "/chunks").entryList(QDir::Files, QDir::Size);
    QFile torn(output + "/chunks/" + stored.first()); // the largest: a chunk of client.bin
    QVERIFY(torn.resize(torn.size() / 2));
    result = run({"package", source, output, "--version", "2", "--codec", "0"});
    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    match = summary.match(result.out);
    QVERIFY2(match.hasMatch(), qPrintable(result.out));
    QCOMPARE(match.captured(1).toInt(), units);
    QCOMPARE(match.captured(2).toInt(), 2);
    QCOMPARE(match.captured(3).toInt(), units - 2);

    // The old version's unit stays in the folder; check the new documents only.
    QVERIFY(QFile::remove(output + "/chunks/" + QString::fromLatin1(shared::TSha256::hash("first").toHex()) +
                          ".c0"));
    checkRoundTrip(source, output, QString(), false);
}

void TestPublish::refusals_data() {
    QTest::addColumn<TTree>("tree");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    const TTree ok = {{"game", "x"}};
    QTest::newRow("marker name at the root")
        << TTree{{"package.json", "{}"}} << QStringList{} << 1 << "has the name of a file the launcher keeps";
    // Package folders are application bundles on a file system that usually ignores case.
    QTest::newRow("marker name in another case")
        << TTree{{"Default", "x"}} << QStringList{} << 1 << "has the name of a file the launcher keeps";
    QTest::newRow("marker name deeper is fine, drive-like name is not")
        << TTree{{"sub/package.json", "{}"}, {"c:x", "y"}} << QStringList{} << 1
        << "not a path the launcher accepts";
    QTest::newRow("codec not written")
        << ok << QStringList{"--codec", "7"} << 1 << "codec 7 cannot be written";
    QTest::newRow("codec and plain") << ok << QStringList{"--codec", "5", "--plain"} << 2
                                     << "exclude each other";
    QTest::newRow("executable missing") << ok << QStringList{"--executable", "bin/game"} << 1
                                        << "the executable 'bin/game' is not a file of the build";
    QTest::newRow("threshold above a container")
        << ok << QStringList{"--threshold", "65M"} << 1 << "at most 67108864 bytes";
    QTest::newRow("output inside source")
        << ok << QStringList{"--output-inside"} << 1 << "must not lie inside";
    QTest::newRow("level out of range")
        << ok << QStringList{"--level", "10"} << 1 << "level 10 is outside 0 to 9";
    QTest::newRow("unknown variant") << ok << QStringList{"--variant", "nightly"} << 1
                                     << "variant must be one of";
    QTest::newRow("unknown option") << ok << QStringList{"--compression", "9"} << 2
                                    << "unknown option '--compression'";
}

void TestPublish::refusals() {
    QFETCH(TTree, tree);
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    const QString source = m_dir->filePath("src");
    writeTree(source, tree);
    QString output = m_dir->filePath("out");
    if (options == QStringList{"--output-inside"}) {
        output = source + "/out";
        options.clear();
    }
    const TRun result = run(QStringList{"package", source, output} + options);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QVERIFY(!QFileInfo::exists(output + "/package.json"));
}

// Builds are added and replaced per platform; other packages, their order (the launcher's
// identifiers) and the service endpoints stay; build URLs resolve to the published documents.
void TestPublish::catalogueKeepsOtherPackages() {
    const QString web = m_dir->filePath("web");
    writeTree(web, {{"client/macos/package.json", "{\"version\": \"1\"}"},
                    {"client/macos/assets.json", "{}"},
                    {"client/linux/package.json", "{\"version\": \"2\"}"},
                    {"tools/package.json", "{}"},
                    {"launcher/package.json", "{}"}});
    const QString catalogue = web + "/vammetadata.json";
    const QList<QStringList> steps = {
        {"--name", "Client", "--os", "macos", "--arch", "x86_64", "--package",
         web + "/client/macos/package.json", "--assets", web + "/client/macos/assets.json",
         "--install-automatically", "yes", "--hints", "https://hints.example/hints.json",
         "--show-package-names", "yes"},
        {"--name", "Tools", "--directory", "ToolsDir", "--os", "linux", "--arch", "i386", "--package",
         web + "/tools/package.json"},
        {"--launcher", "--name", "Launcher", "--os", "macos", "--arch", "x86_64", "--package",
         web + "/launcher/package.json", "--funnel", "https://funnel.example/events"},
        // Same platform as the first build, written differently: replaced, and the asset URL goes.
        {"--name", "Client", "--os", "macos", "--arch", "x86_64", "--package",
         "web/client/linux/package.json"},
        {"--name", "Client", "--os", "linux", "--arch", "x86_64", "--package",
         "web/client/linux/package.json", "--assets", "web/client/macos/assets.json"},
    };
    for (const QStringList& step : steps) {
        const TRun result = run(QStringList{"catalogue", catalogue} + step);
        QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    }
    QFile file(catalogue);
    QVERIFY(file.open(QIODevice::ReadOnly));
    // Read by the launcher's own reader, with the tree served from the local folder.
    const QUrl base = QUrl::fromLocalFile(web + "/");
    const quarn::launcher::TLauncherConfigurationReader reader(file.readAll(), base);
    QCOMPARE(reader.hintsUrl(), QUrl("https://hints.example/hints.json"));
    QCOMPARE(reader.funnelUrl(), QUrl("https://funnel.example/events"));
    QVERIFY(reader.hardwareSurveyUrl().isEmpty());
    QVERIFY(reader.showPackageNames());
    QVERIFY(!reader.preventDefaultAutostart());
    QVERIFY(reader.launcherPackage());
    QCOMPARE(reader.launcherPackage()->packageName(), QStringLiteral("Launcher"));
    QCOMPARE(reader.packages().size(), size_t(2));
    const auto& client = *reader.packages()[0];
    QCOMPARE(client.packageName(), QStringLiteral("Client"));
    QCOMPARE(client.directoryName(), QStringLiteral("Client.app"));
    QVERIFY(client.isInstallAutomatically());
    QCOMPARE(reader.packages()[1]->directoryName(), QStringLiteral("ToolsDir.app"));
    QCOMPARE(client.builds().size(), size_t(2));
    const auto& replaced = *client.builds()[0];
    QCOMPARE(replaced.operatingSystem(), shared::OPERATING_SYSTEM_MACOS);
    QCOMPARE(replaced.packageUrl(), QUrl::fromLocalFile(web + "/client/linux/package.json"));
    QVERIFY(replaced.assetsUrl().isEmpty());
    QCOMPARE(client.builds()[1]->operatingSystem(), shared::OPERATING_SYSTEM_LINUX);
    QCOMPARE(client.builds()[1]->assetsUrl(), QUrl::fromLocalFile(web + "/client/macos/assets.json"));

    // Built URLs reach the published documents.
    QFile packageDocument(client.builds()[1]->packageUrl().toLocalFile());
    QVERIFY(packageDocument.open(QIODevice::ReadOnly));
    QCOMPARE(TPackageConfigurationReader(packageDocument.readAll(), {}, base, base).packageVersion(),
             QStringLiteral("2"));
    const auto& tools = *reader.packages()[1]->builds()[0];
    QCOMPARE(tools.architecture(), shared::BUILD_ARCHITECTURE_I386);
    QCOMPARE(tools.packageUrl(), QUrl::fromLocalFile(web + "/tools/package.json"));
}

// The launcher reads a build URL as a URL: a folder name with characters that mean something there
// (a fragment, a query, a scheme, an escape) must still lead to the published document.
void TestPublish::catalogueUrlsReachOddFolderNames_data() {
    QTest::addColumn<QString>("folder");
    QTest::newRow("hash") << "v1#2";
    QTest::newRow("question mark") << "beta?";
    QTest::newRow("colon in the first segment") << "mac:x86";
    QTest::newRow("escape-like percent") << "50%41";
    QTest::newRow("space and non-ASCII") << "my b\u00fcild";
}

void TestPublish::catalogueUrlsReachOddFolderNames() {
    QFETCH(QString, folder);
    const QString web = m_dir->filePath("web");
    writeTree(web, {{folder + "/package.json", "{}"}, {folder + "/assets.json", "{}"}});
    const QString catalogue = web + "/vammetadata.json";
    const TRun result =
        run({"catalogue", catalogue, "--name", "C", "--os", "macos", "--arch", "x86_64", "--package",
             web + "/" + folder + "/package.json", "--assets", web + "/" + folder + "/assets.json"});
    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    QFile file(catalogue);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const quarn::launcher::TLauncherConfigurationReader reader(file.readAll(),
                                                               QUrl::fromLocalFile(web + "/"));
    QCOMPARE(reader.packages().size(), size_t(1));
    const auto& build = *reader.packages()[0]->builds().at(0);
    QCOMPARE(build.packageUrl().toLocalFile(), web + "/" + folder + "/package.json");
    QCOMPARE(build.assetsUrl().toLocalFile(), web + "/" + folder + "/assets.json");
}

void TestPublish::catalogueRefusals_data() {
    QTest::addColumn<QByteArray>("existing"); // the document before; empty: none
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    const QStringList build = {"--name", "C", "--os", "macos", "--arch", "x86_64", "--package", "web/p.json"};
    QTest::newRow("existing document not JSON") << QByteArray("{oops") << build << 1 << "is left as it is";
    QTest::newRow("package document outside")
        << QByteArray()
        << QStringList{"--name", "C", "--os", "macos", "--arch", "x86_64", "--package", "outside.json"} << 1
        << "does not lie under";
    QTest::newRow("package document missing")
        << QByteArray()
        << QStringList{"--name", "C", "--os", "macos", "--arch", "x86_64", "--package", "web/none.json"} << 1
        << "is not a file";
    QTest::newRow("unknown system") << QByteArray()
                                    << QStringList{"--name", "C",      "--os",      "amiga",
                                                   "--arch", "x86_64", "--package", "web/p.json"}
                                    << 1 << "operating system must be one of";
    QTest::newRow("directory with suffix")
        << QByteArray() << build + QStringList{"--directory", "C.app"} << 1 << "without \".app\"";
    // The launcher ignores every build of a package whose folder name is not a single folder.
    QTest::newRow("package name with a slash as folder name")
        << QByteArray() << QStringList{"--name", "Orvane/Beta", "--os",      "macos",
                                       "--arch", "x86_64",      "--package", "web/p.json"}
        << 1 << "not a single folder name";
    QTest::newRow("directory with a backslash")
        << QByteArray() << build + QStringList{"--directory", "a\\b"} << 1 << "not a single folder name";
    QTest::newRow("relative endpoint")
        << QByteArray() << QStringList{"--hints", "hints.json"} << 1 << "must be an absolute URL";
    QTest::newRow("package options without a name")
        << QByteArray() << QStringList{"--os", "macos"} << 2 << "need --name";
    QTest::newRow("switch value") << QByteArray() << build + QStringList{"--install-automatically", "maybe"}
                                  << 2 << "yes or no";
}

void TestPublish::catalogueRefusals() {
    QFETCH(QByteArray, existing);
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    writeTree(m_dir->path(), {{"web/p.json", "{}"}, {"outside.json", "{}"}});
    const QString catalogue = m_dir->filePath("web/vammetadata.json");
    if (!existing.isEmpty()) {
        writeTree(m_dir->path(), {{"web/vammetadata.json", existing}});
    }
    const TRun result = run(QStringList{"catalogue", catalogue} + options);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QFile after(catalogue);
    if (existing.isEmpty()) {
        QVERIFY(!after.exists());
    } else {
        QVERIFY(after.open(QIODevice::ReadOnly));
        QCOMPARE(after.readAll(), existing);
    }
}

// A write error that only shows when the output is flushed (here: a device that is always full)
// must fail the command, not leave a short file behind a success message.
void TestPublish::containerToolsReportWriteErrors_data() {
    QTest::addColumn<QStringList>("arguments"); // the output is appended
    QTest::newRow("pack") << QStringList{"pack", "--codec", "0", "in.bin"};
    QTest::newRow("unpack") << QStringList{"unpack", "in.bin"};
}

void TestPublish::containerToolsReportWriteErrors() {
    QFETCH(QStringList, arguments);
    if (!QFileInfo::exists("/dev/full")) {
        QSKIP("needs /dev/full");
    }
    writeTree(m_dir->path(), {{"in.bin", "some content"}});
    const TRun result = run(arguments << "/dev/full");
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains("cannot write"), qPrintable(result.err));
}

// sync fetches the documents before anything else; every outcome of that step ends the command.
void TestPublish::syncEndsWhateverTheFetch_data() {
    QTest::addColumn<QString>("packageDocument"); // relative to the test folder
    QTest::addColumn<QString>("assetDocument");   // empty: none
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");

    QTest::newRow("one document as package and asset document")
        << "web/package.json"
        << "web/package.json" << 0 << "fetched 0 bytes";
    // A URL the network layer refuses ends the command too.
    QTest::newRow("URL without a host") << "http:///package.json"
                                        << "" << 3 << "cannot fetch";
    // A blank in the folder name is percent-encoded in the URL and fetched like any other.
    QTest::newRow("percent-encoded path") << "web/a b/package.json"
                                          << "" << 0 << "fetched 0 bytes";
}

void TestPublish::syncEndsWhateverTheFetch() {
    QFETCH(QString, packageDocument);
    QFETCH(QString, assetDocument);
    QFETCH(int, exitCode);
    QFETCH(QString, output);

    writeTree(m_dir->path(), {{"web/package.json", "{}"}, {"web/a b/package.json", "{}"}});
    const QString packageArgument = packageDocument.startsWith("web/")
                                        ? QUrl::fromLocalFile(m_dir->filePath(packageDocument)).toString()
                                        : packageDocument;
    QStringList arguments{"sync", "--package", packageArgument, "--dir", m_dir->filePath("installed")};
    if (!assetDocument.isEmpty()) {
        arguments << "--assets" << QUrl::fromLocalFile(m_dir->filePath(assetDocument)).toString();
    }
    const TRun result = run(arguments, 30000);
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.err));
    QVERIFY2((result.out + result.err).contains(output), qPrintable(result.out + result.err));
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
