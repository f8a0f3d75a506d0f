// Runs the real launcher executable in a private home and checks what a player would see of
// its start: the data folder, the log file, and the refusal to run twice. The launcher reads an
// empty catalogue from a local file, so it needs no server; with no client to start it shows the
// package list and waits for the player, and the test ends it there.
#include "launcherbundle.h"
#include "shared/firstinstancetester.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <cstdio>

namespace {

const char HOLD_INSTANCE_VARIABLE[] = "ORVANE_TEST_HOLD_INSTANCE";

struct TRunResult {
    bool reachedPackageList = false;
    QByteArray output;
};

} // namespace

class TestLauncherProcess : public QObject {
    Q_OBJECT

private:
    TLauncherBundle m_Bundle{QStringLiteral(ORVANE_LAUNCHER_EXECUTABLE)};
    const TTestHome& m_Home = m_Bundle.home();

    QString logPath() const { return m_Bundle.logPath(); }

    // Runs the launcher until it ends by itself or shows the package list.
    TRunResult runLauncher(const QStringList& arguments = {}) {
        // The window is shown from within the configuration phase, which then goes on (it makes
        // the link to the executable): a short settle lets it finish.
        const TLauncherRun run =
            m_Bundle.runUntilLogShows(arguments, "showUserInterface: main window shown", 500, 60000);
        TRunResult result;
        result.reachedPackageList = run.stoppedByTest;
        result.output = run.output;
        return result;
    }

    // Starts this test program as a stand-in launcher that holds the single-instance segment.
    void startHolder(QProcess& holder) {
        QProcessEnvironment environment = m_Home.environment();
        environment.insert(QLatin1String(HOLD_INSTANCE_VARIABLE), QStringLiteral("1"));
        holder.setProcessEnvironment(environment);
        holder.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(holder.waitForReadyRead(30000));
        QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));
    }

    QByteArray readLog() const {
        QFile file(logPath());
        if (!file.open(QIODevice::ReadOnly))
            return QByteArray();
        return file.readAll();
    }

private slots:
    void initTestCase() {
        QVERIFY(m_Bundle.isReady());
        const QString catalogue = m_Home.root() + QStringLiteral("/catalogue/vammetadata.json");
        QVERIFY(TLauncherBundle::writeFile(catalogue, "{\"packages\": []}"));
        TLauncherSettingsValues settings;
        settings.configurationUrl = QUrl::fromLocalFile(catalogue);
        QVERIFY(m_Bundle.writeSettings(settings));
    }

    void firstStartCreatesDataFolderAndLog() {
        QVERIFY(!QFile::exists(m_Home.path("data") + QStringLiteral("/Kettrel GmbH")));
        const TRunResult result = runLauncher();
        QVERIFY2(result.reachedPackageList, result.output.constData());
        const QList<QByteArray> lines = readLog().split('\n');
        QVERIFY2(!lines.isEmpty(), "no log file");
        QVERIFY2(lines.first().contains("Info: Version:  \"0.0.9\"  Thread:  0x"), lines.first().constData());
        QVERIFY2(lines.first().contains(" (:0) "), lines.first().constData());
        // The empty catalogue settles everything at once; the link to the executable is made all the same.
        QVERIFY(QFileInfo(m_Bundle.dataFolder() + QStringLiteral("/OrvaneLauncher")).isSymLink());
    }

    void secondStartLeavesRunningInstanceAlone() {
        QVERIFY(runLauncher().reachedPackageList);
        const QByteArray logBefore = readLog();
        const QDateTime modifiedBefore = QFileInfo(logPath()).lastModified();
        QVERIFY(!logBefore.isEmpty());

        QProcess holder;
        startHolder(holder);
        // Ends by itself; the log of the running instance must stay as it is.
        const TLauncherRun second = m_Bundle.run({QStringLiteral("--show-ui")}, 60000);
        holder.kill();
        holder.waitForFinished();

        QCOMPARE(second.exitCode, 0);
        QVERIFY2(second.output.contains("already running"), second.output.constData());
        QCOMPARE(readLog(), logBefore);
        QCOMPARE(QFileInfo(logPath()).lastModified(), modifiedBefore);
    }

    void startAfterKilledInstanceRunsAsFirst() {
        QProcess holder;
        startHolder(holder);
        holder.kill(); // SIGKILL: the segment is left behind without a chance to clean up
        holder.waitForFinished();
        QFile::remove(logPath());

        const TRunResult result = runLauncher();
        QVERIFY2(result.reachedPackageList, result.output.constData());
        QVERIFY2(readLog().contains("load configuration"), result.output.constData());

        // The recovered segment still keeps out a second instance while the first one lives.
        QProcess first;
        startHolder(first);
        QProcess second;
        QProcessEnvironment environment = m_Home.environment();
        environment.insert(QLatin1String(HOLD_INSTANCE_VARIABLE), QStringLiteral("1"));
        second.setProcessEnvironment(environment);
        second.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(second.waitForReadyRead(30000));
        QCOMPARE(second.readLine().trimmed(), QByteArray("busy"));
        second.kill();
        first.kill();
        second.waitForFinished();
        first.waitForFinished();

        // A normal start after that takes over the segment the killed processes left behind.
        QVERIFY(runLauncher().reachedPackageList);
    }

    void placeholdersInMessagesAreLoggedAsTheyStand() {
        const TRunResult result = runLauncher({QStringLiteral("%1"), QStringLiteral("%2 and %3")});
        QVERIFY2(result.reachedPackageList, result.output.constData());
        QVERIFY2(readLog().contains("\"%1\", \"%2 and %3\""), readLog().constData());
    }
};

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    if (qEnvironmentVariableIsSet(HOLD_INSTANCE_VARIABLE)) {
        // Stand-in launcher: hold the segment (or report that another process holds it) until killed.
        shared::FirstInstanceTester tester;
        std::fputs(tester.isFirstInstance() ? "held\n" : "busy\n", stdout);
        std::fflush(stdout);
        return application.exec();
    }
    TestLauncherProcess test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_launcherprocess.moc"
