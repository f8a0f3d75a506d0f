// The hand-over to the restarted launcher after a self update: the new process is started with
// "--skip-selfupdate" added to the old arguments and finds the single-instance guard free, and the
// old process has stopped writing the log file the new one is going to truncate. The restarted
// program is this test executable itself, which then only reports what it found.
#include "launcher/application/launcherapplication.h"
#include "launcher/application/logging.h"
#include "shared/firstinstancetester.h"
#include "testenvironment.h"

#include <QFile>
#include <QtTest>

#include <memory>

using quarn::launcher::TLauncherApplication;

namespace {
const char RESULT_VARIABLE[] = "ORVANE_TEST_RESTART_RESULT";

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

class TestRestart : public QObject {
    Q_OBJECT

private slots:
    void restartHandsOverGuardAndLog() {
        auto* application = TLauncherApplication::Instance;
        QVERIFY(application);
        QVERIFY(application->acquireSingleInstanceGuard());
        quarn::launcher::setupLogger();
        const QString logPath = application->filesystemHelper()->getWritableBaseDirectory().absoluteFilePath(
            QFileInfo(QCoreApplication::applicationFilePath()).fileName() + QStringLiteral(".log"));

        application->onSelfUpdateFinishedAndRestartRequired();
        qInfo() << "written after the hand-over";
        QCOMPARE(application->exec(), 0);

        const QString resultPath = qEnvironmentVariable(RESULT_VARIABLE);
        QTRY_VERIFY_WITH_TIMEOUT(readFile(resultPath).endsWith("\n"), 60000);
        const QList<QByteArray> result = readFile(resultPath).trimmed().split('\n');
        QCOMPARE(result.value(0), QByteArray("first"));
        // The old argument list as it stands, program path first, then the new option.
        QStringList expected = QCoreApplication::arguments();
        expected.append(QStringLiteral("--skip-selfupdate"));
        QCOMPARE(QString::fromUtf8(result.value(1)), expected.join(QLatin1Char(' ')));

        const QByteArray log = readFile(logPath);
        QVERIFY2(log.trimmed().split('\n').last().contains("Restarting the updated launcher"),
                 log.constData());
        QVERIFY(!log.contains("written after the hand-over"));
    }
};

int main(int argc, char* argv[]) {
    bool restarted = false;
    for (int index = 1; index < argc; ++index)
        restarted = restarted || QByteArray(argv[index]) == "--skip-selfupdate";
    if (restarted) {
        // The restarted copy: does it find the guard free?
        QCoreApplication application(argc, argv);
        shared::FirstInstanceTester tester;
        QFile result(qEnvironmentVariable(RESULT_VARIABLE));
        if (!result.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 1;
        result.write(tester.isFirstInstance() ? "first\n" : "busy\n");
        result.write(QCoreApplication::arguments().mid(1).join(QLatin1Char(' ')).toUtf8() + "\n");
        return 0;
    }
    TTestHome home;
    home.applyToThisProcess();
    qputenv(RESULT_VARIABLE, (home.root() + QStringLiteral("/restart-result.txt")).toLocal8Bit());
    TLauncherApplication application(argc, argv);
    TestRestart test;
    // The test's own options are not for the restarted copy; it gets none.
    return QTest::qExec(&test, QStringList{QCoreApplication::arguments().first()});
}

#include "tst_restart.moc"
