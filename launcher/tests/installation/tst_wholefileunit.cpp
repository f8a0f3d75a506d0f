// A file sent as one unit may unpack to far more than a chunk of a chunk list: a 200 MiB file in
// one DEFLATE container, served by nginx on 127.0.0.1, installs; the same container listed as a
// chunk of a chunk list is refused by the chunk bound.
#include "installationsupport.h"
#include "launcher/installation/packageinstallation.h"
#include "leb128.h"
#include "nginxfixture.h"
#include "shared/compressionhelper.h"
#include "shared/sha256.h"
#include "testenvironment.h"

#include <zlib.h>

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

using namespace quarn::launcher;
using namespace testsupport;

namespace {

constexpr int MiB = 1024 * 1024;
constexpr int FILE_SIZE = 200 * MiB;

using testsupport::leb128;

// Compressible, not trivial: numbered lines.
QByteArray makeContent() {
    QByteArray content;
    content.reserve(FILE_SIZE + 64);
    for (quint32 line = 0; content.size() < FILE_SIZE; ++line) {
        content += "unit line ";
        content += QByteArray::number(line * 2654435761u % 1000003u);
        content += '\n';
    }
    content.truncate(FILE_SIZE);
    return content;
}

// A codec 3 container (raw DEFLATE) of the content.
QByteArray deflateContainer(const QByteArray& content) {
    z_stream stream{};
    if (deflateInit2(&stream, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        qFatal("deflateInit2 failed");
    }
    QByteArray payload(static_cast<int>(deflateBound(&stream, static_cast<uLong>(content.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.constData()));
    stream.avail_in = static_cast<uInt>(content.size());
    stream.next_out = reinterpret_cast<Bytef*>(payload.data());
    stream.avail_out = static_cast<uInt>(payload.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) {
        qFatal("deflate failed");
    }
    payload.truncate(static_cast<int>(stream.total_out));
    deflateEnd(&stream);
    return QByteArray("p\x03", 2) + leb128(static_cast<quint64>(content.size())) +
           leb128(static_cast<quint64>(payload.size())) + payload;
}

} // namespace

class TestWholeFileUnit : public QObject {
    Q_OBJECT

private:
    TTestHome m_Home;
    std::shared_ptr<TLauncherFilesystemHelper> m_Helper;
    QTemporaryDir m_Work;
    QByteArray m_Digest;
    QJsonObject m_Unit; // url, sizes, digests and "unpack" of the stored container

    bool install(const QDir& directory, const QJsonObject& package, const TNginxFixture& server) {
        const QUrl base = server.url(QStringLiteral("build/"));
        const TPackageConfigurationReader configuration(QJsonDocument(package).toJson(), QByteArray(), base,
                                                        base);
        if (!configuration.initializedSuccessfully()) {
            qWarning() << "package document not accepted";
            return false;
        }
        TPackageInstallation run(nullptr, m_Helper);
        run.setInstallationBaseDirectory(directory);
        QSignalSpy finished(&run, &TPackageInstallation::downloadFinished);
        QSignalSpy refused(&run, &TPackageInstallation::diskAccessFailed);
        run.startScan(TPackageConfigurationReader(), configuration, false);
        QElapsedTimer waited;
        waited.start();
        while (finished.isEmpty() && refused.isEmpty() && waited.elapsed() < 600000)
            finished.wait(1000);
        if (!refused.isEmpty()) {
            qInfo() << "run refused:" << refused.first().first().toString();
            return false;
        }
        return !finished.isEmpty() && run.isInstalledWithoutError();
    }

    static QByteArray fileDigest(const QString& path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            return QByteArray();
        }
        QCryptographicHash hash(QCryptographicHash::Sha256);
        hash.addData(&file);
        return hash.result();
    }

private slots:
    void initTestCase() {
        m_Home.applyToThisProcess();
        m_Helper = std::make_shared<TLauncherFilesystemHelper>();
        QVERIFY(m_Work.isValid());
        const QByteArray content = makeContent();
        m_Digest = shared::TSha256::hash(content);
        const QByteArray packed = deflateContainer(content);
        QVERIFY(static_cast<quint64>(content.size()) > shared::TCompressionHelper::MAX_UNPACKED_LENGTH);
        QDir().mkpath(m_Work.filePath(QStringLiteral("web/build/chunks")));
        QFile file(m_Work.filePath(QStringLiteral("web/build/chunks/unit.c3")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(packed), qint64(packed.size()));
        file.close();
        m_Unit = QJsonObject{{"url", "chunks/unit.c3"},
                             {"packedsize", packed.size()},
                             {"packedhash", QString::fromLatin1(shared::TSha256::hash(packed).toHex())},
                             {"unpackedsize", FILE_SIZE},
                             {"unpackedhash", QString::fromLatin1(m_Digest.toHex())},
                             {"unpack", true}};
    }

    void wholeFileInstalls() {
        TNginxFixture server(m_Work.filePath(QStringLiteral("web")));
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        QJsonObject file = m_Unit;
        file.insert("localfile", "data/world.pak");
        const QJsonObject package{{"version", "1"}, {"files", QJsonArray{file}}};
        const QDir installation(m_Work.filePath(QStringLiteral("installed")));
        QVERIFY(install(installation, package, server));
        QCOMPARE(QFileInfo(installation.filePath("data/world.pak")).size(), qint64(FILE_SIZE));
        QVERIFY(fileDigest(installation.filePath("data/world.pak")) == m_Digest);
        QDir(installation).removeRecursively();
    }

    void chunkOfAListKeepsItsBound() {
        TNginxFixture server(m_Work.filePath(QStringLiteral("web")));
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        const QJsonObject file{{"localfile", "data/world.pak"},
                               {"unpackedsize", FILE_SIZE},
                               {"unpackedhash", QString::fromLatin1(m_Digest.toHex())},
                               {"chunks", QJsonArray{0}}};
        const QJsonObject package{
            {"version", "1"}, {"chunks", QJsonArray{m_Unit}}, {"files", QJsonArray{file}}};
        const QDir installation(m_Work.filePath(QStringLiteral("installed-list")));
        QVERIFY(!install(installation, package, server));
        QDir(installation).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(TestWholeFileUnit)
#include "tst_wholefileunit.moc"
