#include "launcher/application/commandlineinterpreter.h"

#include <QtTest>

using quarn::launcher::TCommandLineInterpreter;

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void options_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("firstLaunch");
        QTest::addColumn<bool>("skipSelfUpdate");
        QTest::addColumn<bool>("showUi");
        QTest::addColumn<bool>("patchSet");
        QTest::addColumn<QString>("patchPath");

        const QString exe = QStringLiteral("/Applications/Orvane.app/Contents/MacOS/OrvaneLauncher");
        QTest::newRow("none") << QStringList{} << false << false << false << false << QString();
        QTest::newRow("long names") << QStringList{"--first-launch", "--skip-selfupdate", "--show-ui"} << true
                                    << true << true << false << QString();
        QTest::newRow("compacted short") << QStringList{"-ls"} << true << true << false << false << QString();
        QTest::newRow("short show-ui") << QStringList{"-u"} << false << false << true << false << QString();
        QTest::newRow("patch separate value")
            << QStringList{"--patch", exe} << false << false << false << true << exe;
        QTest::newRow("patch joined value")
            << QStringList{"--patch=" + exe} << false << false << false << true << exe;
        QTest::newRow("short patch") << QStringList{"-p", exe} << false << false << false << true << exe;
        QTest::newRow("patch empty value")
            << QStringList{"--patch="} << false << false << false << false << QString();
        QTest::newRow("patch missing value")
            << QStringList{"-s", "--patch"} << false << true << false << false << QString();
        QTest::newRow("unknown option ignored") << QStringList{"--bogus", "-u", "-x", "--skip-selfupdate"}
                                                << false << true << true << false << QString();
        QTest::newRow("help is not an option")
            << QStringList{"--help", "-l"} << true << false << false << false << QString();
        QTest::newRow("positional ignored")
            << QStringList{"game", "-l"} << true << false << false << false << QString();
    }

    void options() {
        QFETCH(QStringList, arguments);
        QFETCH(bool, firstLaunch);
        QFETCH(bool, skipSelfUpdate);
        QFETCH(bool, showUi);
        QFETCH(bool, patchSet);
        QFETCH(QString, patchPath);

        TCommandLineInterpreter interpreter;
        arguments.prepend(QStringLiteral("OrvaneLauncher"));
        interpreter.parseCommandLineArguments(arguments);
        QCOMPARE(interpreter.isFirstLaunchSet(), firstLaunch);
        QCOMPARE(interpreter.isSkipSelfUpdateSet(), skipSelfUpdate);
        QCOMPARE(interpreter.isShowPackageListSet(), showUi);
        QCOMPARE(interpreter.isPatchPackageSet(), patchSet);
        QCOMPARE(interpreter.getPathToExecutableToPatch(), patchPath);
        QCOMPARE(TCommandLineInterpreter::SKIP_SELFUPDATE_LONG, QStringLiteral("skip-selfupdate"));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
