// The shared file-system helper: error texts, listings, and path resolution that must never
// leave the base folder, whatever a downloaded document says.
#include "shared/filesystemhelper.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

using shared::TFileSystemHelper;

namespace {
QString errorText(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::runtime_error& error) {
        return QString::fromUtf8(error.what());
    }
    return QString();
}
} // namespace

class TestFileSystem : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_Work;
    TFileSystemHelper m_Helper;

private slots:
    void cleanedFullPath_data() {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<QString>("expected"); // relative to the base folder; empty means the base itself

        QTest::newRow("dots resolved") << "a/./b/../c.txt"
                                       << "a/c.txt";
        QTest::newRow("plain") << "Contents/MacOS/game"
                               << "Contents/MacOS/game";
        QTest::newRow("escape to last component") << "../../etc/x"
                                                  << "x";
        QTest::newRow("trailing separator") << "sub/"
                                            << "sub";
        QTest::newRow("doubled separators") << "a//b///c"
                                            << "a/b/c";
        QTest::newRow("sibling with base as prefix") << "../packages2/f"
                                                     << "f";
        QTest::newRow("sibling through a subfolder") << "a/../../packages2/f"
                                                     << "f";
        QTest::newRow("escape ending in a separator") << "../../evil/"
                                                      << "evil";
        QTest::newRow("absolute stays inside") << "/etc/passwd"
                                               << "etc/passwd";
        QTest::newRow("parent only") << ".."
                                     << "";
        QTest::newRow("parent of parent") << "../.."
                                          << "";
        QTest::newRow("dot") << "."
                             << "";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("ends in parent") << "a/../.."
                                        << "";
        QTest::newRow("name with dots is a name") << "..hidden/x"
                                                  << "..hidden/x";
    }

    void cleanedFullPath() {
        QFETCH(QString, relative);
        QFETCH(QString, expected);
        const QString base = m_Work.filePath(QStringLiteral("packages"));
        const QString result = m_Helper.getCleanedFullPathRelativeTo(QDir(base), relative);
        QCOMPARE(result, expected.isEmpty() ? base : base + QLatin1Char('/') + expected);
        QVERIFY(result == base || result.startsWith(base + QLatin1Char('/')));
    }

    void combinePath() {
        QCOMPARE(m_Helper.combinePath({"a", "b", "c"}), QStringLiteral("a/b/c"));
        QCOMPARE(m_Helper.combinePath({}), QString());
        QCOMPARE(m_Helper.combinePath({"/base/", "x"}), QStringLiteral("/base//x"));
    }

    void loadMissingAndEmptyFiles() {
        QCOMPARE(m_Helper.loadBinaryFileWithPathIfExisting(m_Work.filePath(QStringLiteral("missing"))),
                 QByteArray());
        const QString empty = m_Work.filePath(QStringLiteral("empty"));
        m_Helper.writeBinaryFileWithPath(empty, QByteArray());
        QVERIFY(QFile::exists(empty));
        QCOMPARE(m_Helper.loadBinaryFileWithPathIfExisting(empty), QByteArray());
        m_Helper.writeBinaryFileWithPath(empty, "data");
        m_Helper.writeBinaryFileWithPath(empty, "x"); // truncates
        QCOMPARE(m_Helper.loadBinaryFileWithPathIfExisting(empty), QByteArray("x"));
    }

    void errorTexts() {
        const QString inMissingFolder = m_Work.filePath(QStringLiteral("nofolder/file.bin"));
        QCOMPARE(errorText([&] { m_Helper.writeBinaryFileWithPath(inMissingFolder, "x"); }),
                 QStringLiteral("I/O error on file '%1': Could not open file. (No such file or directory)")
                     .arg(inMissingFolder));

        const QString missing = m_Work.filePath(QStringLiteral("missing.bin"));
        QCOMPARE(errorText([&] { m_Helper.deleteFileWithPath(missing); }),
                 QStringLiteral("Failed to delete file ") + missing);

        const QString blocker = m_Work.filePath(QStringLiteral("blocker"));
        m_Helper.writeBinaryFileWithPath(blocker, "x");
        const QString underFile = blocker + QStringLiteral("/sub");
        QCOMPARE(errorText([&] { m_Helper.getOrCreateDirectory(underFile); }),
                 QStringLiteral("Failed to create folder: '%1'.").arg(underFile));

        QFile device(missing);
        QCOMPARE(errorText([&] { shared::throwRuntimeError(device, QStringLiteral("why")); }),
                 QStringLiteral("I/O error on file '%1': why").arg(missing));
        QCOMPARE(errorText([&] { shared::throwRuntimeErrorOnErrorStatus(device); }), QString());
    }

    // The old file survives a failed write, a link is replaced rather than written through, and
    // no temporary file is left behind.
    void atomicWrite() {
        const QString folder = m_Work.filePath(QStringLiteral("atomic"));
        m_Helper.getOrCreateDirectory(folder);
        const QString marker = folder + QStringLiteral("/package.json");
        m_Helper.writeFileAtomically(marker, "old");
        m_Helper.writeFileAtomically(marker, "new");
        QCOMPARE(m_Helper.loadBinaryFileWithPathIfExisting(marker), QByteArray("new"));

        const QString outside = m_Work.filePath(QStringLiteral("outside.txt"));
        m_Helper.writeBinaryFileWithPath(outside, "player data");
        const QString link = folder + QStringLiteral("/assets.json");
        QVERIFY(QFile::link(outside, link));
        m_Helper.writeFileAtomically(link, "document");
        QVERIFY(!QFileInfo(link).isSymLink());
        QCOMPARE(m_Helper.loadBinaryFileWithPathIfExisting(link), QByteArray("document"));
        QCOMPARE(m_Helper.loadBinaryFileWithPathIfExisting(outside), QByteArray("player data"));

        // A folder in the way makes the rename fail; the temporary file is removed again.
        const QString blocked = folder + QStringLiteral("/blocked");
        m_Helper.getOrCreateDirectory(blocked + QStringLiteral("/inner"));
        QVERIFY(!errorText([&] { m_Helper.writeFileAtomically(blocked, "x"); }).isEmpty());
        QVERIFY(!errorText([&] {
                     m_Helper.writeFileAtomically(folder + QStringLiteral("/no/x"), "x");
                 }).isEmpty());
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList({QStringLiteral("assets.json"), QStringLiteral("blocked"),
                              QStringLiteral("package.json")}));
    }

    void createDirectoryWithParents() {
        const QString path = m_Work.filePath(QStringLiteral("one/two/three"));
        QVERIFY(!m_Helper.directoryExists(path));
        const QDir created = m_Helper.getOrCreateDirectory(path);
        QVERIFY(created.exists());
        QVERIFY(m_Helper.directoryExists(path));
        QVERIFY(m_Helper.fileExists(path)); // any entry counts
    }

    void listFiles() {
        const QString folder = m_Work.filePath(QStringLiteral("listing"));
        m_Helper.getOrCreateDirectory(folder + QStringLiteral("/subfolder"));
        m_Helper.writeBinaryFileWithPath(folder + QStringLiteral("/file.txt"), "12345");
        m_Helper.writeBinaryFileWithPath(folder + QStringLiteral("/.hidden"), "x");
        m_Helper.writeBinaryFileWithPath(folder + QStringLiteral("/subfolder/inner.txt"), "x");
        const auto files = m_Helper.getListOfFilesForDirectory(folder);
        QCOMPARE(files.size(), size_t(1));
        QCOMPARE(files.front().getLocalFilename(), QStringLiteral("file.txt"));
        QCOMPARE(files.front().getCompleteFilepath(), folder + QStringLiteral("/file.txt"));
        QCOMPARE(files.front().getSize(), quint64(5));
        QVERIFY(m_Helper.getListOfFilesForDirectory(m_Work.filePath(QStringLiteral("nothing"))).empty());
    }
};

QTEST_GUILESS_MAIN(TestFileSystem)
#include "tst_filesystem.moc"
