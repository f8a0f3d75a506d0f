#include "faultyhttpserver.h"
#include "splitmix64.h"
#include "testenvironment.h"

#include <QDirIterator>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>

namespace {

struct TRun {
    int exitCode = -1;
    QString out;
    QString err;
};

} // namespace

// orvane-publish's command line (help, version, usage errors, "--opt=value") and the way sync
// reports what went wrong, against a server that misbehaves on purpose.
class TestPublishCli : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void commandLine_data();
    void commandLine();
    void valuesAfterEqualsSign();
    void syncFailures_data();
    void syncFailures();
    void interruptedSyncGoesOn();
    void damagedFileIsNamedAndRepaired();

private:
    // Runs the tool with the event loop turning, so that the fault server in this thread answers.
    // shellPrefix: a shell snippet run before the tool (limits, traps).
    TRun run(const QStringList& arguments, const QString& shellPrefix = QString(), int timeoutMs = 120000);
    // Publishes files of the given sizes (plain units, one per file) and serves every published
    // file from the fault server; returns the package document's URL.
    QUrl publishAndServe(const QVector<int>& sizes);
    // The path on the server of the unit holding file number `index`.
    QString unitPath(int index) const;

    QString m_tool;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TFaultyHttpServer> m_server;
    TTestHome m_home;
};

void TestPublishCli::initTestCase() {
    m_tool = qEnvironmentVariable("ORVANE_PUBLISH");
    QVERIFY2(QFileInfo(m_tool).isExecutable(), qPrintable(m_tool));
}

void TestPublishCli::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_server = std::make_unique<TFaultyHttpServer>();
    QVERIFY(m_server->isListening());
}

TRun TestPublishCli::run(const QStringList& arguments, const QString& shellPrefix, int timeoutMs) {
    QProcess process;
    process.setWorkingDirectory(m_dir->path());
    process.setProcessEnvironment(m_home.environment());
    if (shellPrefix.isEmpty()) {
        process.start(m_tool, arguments);
    } else {
        process.start(QStringLiteral("/bin/sh"),
                      QStringList{"-c", shellPrefix + QStringLiteral("; exec \"$0\" \"$@\""), m_tool} +
                          arguments);
    }
    QEventLoop loop;
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    TRun result;
    if (process.state() != QProcess::NotRunning || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        result.err = QStringLiteral("orvane-publish did not finish normally");
        return result;
    }
    result.exitCode = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QUrl TestPublishCli::publishAndServe(const QVector<int>& sizes) {
    const QString build = m_dir->filePath("build");
    const QString web = m_dir->filePath("web");
    QDir().mkpath(build);
    for (int i = 0; i < sizes.size(); ++i) {
        QFile file(QStringLiteral("%1/file%2.bin").arg(build).arg(i));
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(testsupport::splitmix64Bytes(quint64(i) + 1, sizes[i])) != sizes[i])
            return QUrl();
    }
    const TRun published = run({"package", build, web, "--version=1.0.0", "--plain"});
    if (published.exitCode != 0) {
        qWarning().noquote() << published.err;
        return QUrl();
    }
    QDirIterator files(web, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (!file.open(QIODevice::ReadOnly))
            return QUrl();
        m_server->setAnswers(QLatin1Char('/') + QDir(web).relativeFilePath(file.fileName()),
                             {TFaultyHttpServer::ok(file.readAll())});
    }
    return m_server->url(QStringLiteral("/package.json"));
}

QString TestPublishCli::unitPath(int index) const {
    // A plain unit is named by the digest of its content.
    QFile file(QStringLiteral("%1/file%2.bin").arg(m_dir->filePath("build")).arg(index));
    QFile document(m_dir->filePath("web/package.json"));
    if (!file.open(QIODevice::ReadOnly) || !document.open(QIODevice::ReadOnly))
        return QString();
    const QString path =
        QStringLiteral("chunks/%1.plain")
            .arg(QString::fromLatin1(
                QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex()));
    return QString::fromUtf8(document.readAll()).contains(path) ? QLatin1Char('/') + path : QString();
}

void TestPublishCli::commandLine_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // expected in standard output ("" : output empty)
    QTest::addColumn<QString>("err"); // expected in standard error ("" : error output empty)

    QTest::newRow("tool help") << QStringList{"--help"} << 0 << "sync --package URL"
                               << "";
    QTest::newRow("tool -h") << QStringList{"-h"} << 0 << "commands:"
                             << "";
    QTest::newRow("tool version") << QStringList{"--version"} << 0 << "orvane-publish "
                                  << "";
    // Each command's help names its options.
    QTest::newRow("package help") << QStringList{"package", "--help"} << 0 << "--threshold SIZE"
                                  << "";
    QTest::newRow("catalogue help") << QStringList{"catalogue", "-h"} << 0 << "--show-package-names yes|no"
                                    << "";
    QTest::newRow("chunks help") << QStringList{"chunks", "--help"} << 0 << "--average SIZE"
                                 << "";
    QTest::newRow("pack help") << QStringList{"pack", "--help"} << 0 << "--codec N"
                               << "";
    QTest::newRow("unpack help") << QStringList{"unpack", "--help"} << 0
                                 << "usage: orvane-publish unpack IN OUT"
                                 << "";
    QTest::newRow("sync help") << QStringList{"sync", "--help"} << 0 << "--timeout SECONDS"
                               << "";
    // help wins over anything wrong around it
    QTest::newRow("help after a bad option") << QStringList{"sync", "--bogus", "--help"} << 2 << ""
                                             << "unknown option '--bogus'";
    QTest::newRow("command version") << QStringList{"sync", "--version"} << 0 << "orvane-publish "
                                     << "";
    // package takes --version as the build's version: without a value it is a usage error.
    QTest::newRow("package version needs a value") << QStringList{"package", "a", "b", "--version"} << 2 << ""
                                                   << "option '--version' needs a value";

    QTest::newRow("no command") << QStringList{} << 2 << ""
                                << "no command given";
    QTest::newRow("unknown command") << QStringList{"publish"} << 2 << ""
                                     << "unknown command 'publish'";
    QTest::newRow("unknown option") << QStringList{"package", "a", "b", "--compression", "9"} << 2 << ""
                                    << "unknown option '--compression'";
    QTest::newRow("single dash") << QStringList{"chunks", "-average", "4096", "f"} << 2 << ""
                                 << "unknown option '-average'";
    QTest::newRow("missing value") << QStringList{"sync", "--package", "http://h/p.json", "--dir"} << 2 << ""
                                   << "option '--dir' needs a value (DIR)";
    QTest::newRow("value for a switch")
        << QStringList{"sync", "--package=http://h/p.json", "--dir=d", "--verify=yes"} << 2 << ""
        << "option '--verify' takes no value";
    QTest::newRow("extra argument") << QStringList{"catalogue", "a.json", "b.json"} << 2 << ""
                                    << "unexpected argument 'b.json'";
    QTest::newRow("missing arguments") << QStringList{"unpack", "in"} << 2 << ""
                                       << "missing arguments: IN OUT";
    QTest::newRow("codec not a number") << QStringList{"pack", "--codec=x", "in", "out"} << 2 << ""
                                        << "'x' is not a codec number";
    QTest::newRow("relative package URL")
        << QStringList{"sync", "--package", "p.json", "--dir", "d"} << 2 << ""
        << "--package: 'p.json' is not an absolute URL";
    QTest::newRow("sync without dir") << QStringList{"sync", "--package", "http://h/p.json"} << 2 << ""
                                      << "--dir is required";
    QTest::newRow("timeout") << QStringList{"sync", "--package=http://h/p.json", "--dir=d", "--timeout=0"}
                             << 2 << ""
                             << "--timeout: '0'";
    QTest::newRow("threshold not a size") << QStringList{"package", "a", "b", "--threshold=8X"} << 2 << ""
                                          << "'8X' is not a size";
}

void TestPublishCli::commandLine() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);

    const TRun result = run(arguments);
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.out + result.err));
    if (out.isEmpty())
        QVERIFY2(result.out.isEmpty(), qPrintable(result.out));
    else
        QVERIFY2(result.out.contains(out), qPrintable(result.out));
    if (err.isEmpty()) {
        QVERIFY2(result.err.isEmpty(), qPrintable(result.err));
    } else {
        QVERIFY2(result.err.contains(err), qPrintable(result.err));
        // A usage error says where to find help.
        QVERIFY2(result.err.contains("--help"), qPrintable(result.err));
    }
}

// "--opt=value" means the same as "--opt value", also for a value that starts with a dash.
void TestPublishCli::valuesAfterEqualsSign() {
    const QString build = m_dir->filePath("build");
    QDir().mkpath(build + "/bin");
    QFile file(build + "/bin/game");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(3000, 'g'));
    file.close();
    const TRun result =
        run({"package", build, m_dir->filePath("web"), "--version=2.1.0", "--threshold=1K",
             "--executable=bin/game", "--parameter", "-windowed", "--parameter=--fast", "--plain"});
    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    QFile document(m_dir->filePath("web/package.json"));
    QVERIFY(document.open(QIODevice::ReadOnly));
    const QJsonObject package = QJsonDocument::fromJson(document.readAll()).object();
    QCOMPARE(package.value("version").toString(), QStringLiteral("2.1.0"));
    QCOMPARE(package.value("parameters").toVariant().toStringList(), (QStringList{"-windowed", "--fast"}));
    // 3000 bytes above a 1 KiB threshold: the file is cut into chunks instead of sent as one unit.
    QVERIFY2(!package.value("chunks").toArray().isEmpty(), qPrintable(QJsonDocument(package).toJson()));
}

// Each failure names what failed, ends with its own exit code and never with a "fetched" line.
void TestPublishCli::syncFailures_data() {
    QTest::addColumn<QString>("fault"); // "document 404", "unit 404", "stall", "full disk"
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message"); // a regular expression over standard error

    QTest::newRow("document 404")
        << "document 404" << 3
        << "sync failed: cannot fetch http://127\\.0\\.0\\.1:\\d+/package\\.json: .*404";
    QTest::newRow("unit 404")
        << "unit 404" << 3
        << "sync failed: cannot download http://127\\.0\\.0\\.1:\\d+/chunks/[0-9a-f]{64}\\.plain: "
           ".*Not Found.*\\(HTTP 404\\)";
    QTest::newRow("stall") << "stall" << 3 << "sync failed: cannot download http://\\S+: timed out after 1 s";
    // A folder that takes only a few KiB per file: the operating system's reason is reported.
    QTest::newRow("full disk") << "full disk" << 4
                               << "sync failed: cannot write what http://\\S+ sent: .*File too large";
}

void TestPublishCli::syncFailures() {
    QFETCH(QString, fault);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    const QUrl package = publishAndServe({300 * 1024, 2000});
    QVERIFY(package.isValid());
    const QString unit = unitPath(0);
    QVERIFY(!unit.isEmpty());
    QString shellPrefix;
    if (fault == "document 404")
        m_server->setAnswers("/package.json", {TFaultyHttpServer::status(404)});
    else if (fault == "unit 404")
        m_server->setAnswers(unit, {TFaultyHttpServer::status(404)});
    else if (fault == "stall")
        m_server->setAnswers(unit, {TFaultyHttpServer::stall()});
    else if (fault == "full disk")
        // Files may grow to 100 blocks (50 or 100 KiB, by the shell's block size); the signal the
        // kernel sends for a larger write is ignored, so the write fails with EFBIG.
        shellPrefix = QStringLiteral("trap '' XFSZ; ulimit -f 100");

    const TRun result =
        run({"sync", "--package", package.toString(), "--dir", m_dir->filePath("installed"), "--timeout=1"},
            shellPrefix);
    QVERIFY2(result.exitCode == exitCode,
             qPrintable(QString::number(result.exitCode) + result.out + result.err));
    QVERIFY2(QRegularExpression(message).match(result.err).hasMatch(), qPrintable(result.err));
    QVERIFY2(!result.out.contains("fetched"), qPrintable(result.out));
    QVERIFY(!QFileInfo::exists(m_dir->filePath("installed/package.json")));
}

// SIGINT ends a run cleanly; the same command then completes without fetching what is already there.
void TestPublishCli::interruptedSyncGoesOn() {
    const int size = 1024 * 1024;
    const QUrl package = publishAndServe({size, size, size});
    QVERIFY(package.isValid());
    // The first file's unit comes at once, the others only after a long while.
    for (int i = 1; i < 3; ++i) {
        const QString path = unitPath(i);
        QFile unit(m_dir->filePath("web") + path);
        QVERIFY(unit.open(QIODevice::ReadOnly));
        m_server->setAnswers(path,
                             {TFaultyHttpServer::delayed(120000, TFaultyHttpServer::ok(unit.readAll()))});
    }
    const QStringList arguments{"sync", "--package", package.toString(), "--dir",
                                m_dir->filePath("installed")};

    QProcess process;
    process.setWorkingDirectory(m_dir->path());
    process.setProcessEnvironment(m_home.environment());
    process.start(m_tool, arguments);
    QVERIFY(process.waitForStarted());
    // Progress lines are plain when not on a terminal; wait until the first unit is written.
    QString out;
    const QRegularExpression written(QStringLiteral("written [1-9]"));
    QElapsedTimer waited;
    waited.start();
    while (!written.match(out).hasMatch() && waited.elapsed() < 60000 &&
           process.state() == QProcess::Running) {
        QTest::qWait(100);
        out += QString::fromUtf8(process.readAllStandardOutput());
    }
    QVERIFY2(written.match(out).hasMatch(), qPrintable(out + process.readAllStandardError()));
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    QEventLoop loop;
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    QCOMPARE(process.state(), QProcess::NotRunning);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    out += QString::fromUtf8(process.readAllStandardOutput());
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(process.exitCode() == 130, qPrintable(out + err));
    QVERIFY2(err.contains("sync interrupted by SIGINT") && err.contains("run the same command again"),
             qPrintable(err));
    QVERIFY2(!out.contains("fetched"), qPrintable(out));

    // Served at once now: the rerun completes and fetches the two missing units only.
    for (int i = 1; i < 3; ++i) {
        const QString path = unitPath(i);
        QFile unit(m_dir->filePath("web") + path);
        QVERIFY(unit.open(QIODevice::ReadOnly));
        m_server->setAnswers(path, {TFaultyHttpServer::ok(unit.readAll())});
    }
    const TRun rerun = run(arguments);
    QVERIFY2(rerun.exitCode == 0, qPrintable(rerun.out + rerun.err));
    const QRegularExpressionMatch fetched = QRegularExpression("fetched (\\d+) bytes").match(rerun.out);
    QVERIFY2(fetched.hasMatch(), qPrintable(rerun.out));
    QCOMPARE(fetched.captured(1).toLongLong(), 2ll * size);
    QVERIFY(QFileInfo::exists(m_dir->filePath("installed/package.json")));
}

// A verification that finds a damaged file names it and fails with its own code; the next run
// (without a complete installation recorded, so it reads every file) repairs it.
void TestPublishCli::damagedFileIsNamedAndRepaired() {
    // The fast scan trusts the record of a file of several chunks without reading it.
    const int large = 20 * 1024 * 1024;
    const QUrl package = publishAndServe({5000, large});
    QVERIFY(package.isValid());
    const QString installed = m_dir->filePath("installed");
    const QStringList arguments{"sync",    "--package",   package.toString(), "--dir",
                                installed, "--fast-scan", "--verify"};
    QCOMPARE(run(arguments).exitCode, 0);
    // Damage that keeps the size: the fast scan trusts the file, only the verification finds it.
    QFile damaged(installed + "/file1.bin");
    QVERIFY(damaged.open(QIODevice::ReadWrite));
    QVERIFY(damaged.seek(100));
    damaged.write("damage");
    damaged.close();

    const TRun failed = run(arguments);
    QVERIFY2(failed.exitCode == 5, qPrintable(failed.out + failed.err));
    QVERIFY2(failed.err.contains("file1.bin") && failed.err.contains("the next run repairs it"),
             qPrintable(failed.err));
    QVERIFY2(!failed.out.contains("fetched"), qPrintable(failed.out));

    const TRun repaired = run(arguments);
    QVERIFY2(repaired.exitCode == 0, qPrintable(repaired.out + repaired.err));
    // Only the damaged chunk comes again.
    const QRegularExpressionMatch fetched = QRegularExpression("fetched (\\d+) bytes").match(repaired.out);
    QVERIFY2(fetched.hasMatch(), qPrintable(repaired.out));
    QVERIFY2(fetched.captured(1).toLongLong() > 0 && fetched.captured(1).toLongLong() < large,
             qPrintable(repaired.out));
}

QTEST_GUILESS_MAIN(TestPublishCli)
#include "tst_publishcli.moc"
