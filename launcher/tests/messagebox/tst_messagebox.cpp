// Every message box is logged; with ORVANE_LAUNCHER_CLOSE_DIALOGS=1 it answers itself.
#include "launcher/ui/messageboxwatcher.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

using quarn::launcher::TMessageBoxWatcher;

namespace {
QStringList g_Lines;
void recordMessage(QtMsgType, const QMessageLogContext&, const QString& text) {
    g_Lines << text;
}
} // namespace

class TestMessageBox : public QObject {
    Q_OBJECT
private slots:
    void init() {
        g_Lines.clear();
        qInstallMessageHandler(recordMessage);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

    void modalBoxesAnswerThemselves_data() {
        QTest::addColumn<int>("icon");
        QTest::addColumn<int>("buttons");
        QTest::addColumn<int>("expected");
        QTest::newRow("information, Close")
            << int(QMessageBox::Information) << int(QMessageBox::Close) << int(QMessageBox::Close);
        QTest::newRow("critical, Ok")
            << int(QMessageBox::Critical) << int(QMessageBox::Ok) << int(QMessageBox::Ok);
        QTest::newRow("question, Yes|No")
            << int(QMessageBox::Question) << int(QMessageBox::Yes | QMessageBox::No) << int(QMessageBox::Yes);
    }
    void modalBoxesAnswerThemselves() {
        QFETCH(int, icon);
        QFETCH(int, buttons);
        QFETCH(int, expected);
        qputenv("ORVANE_LAUNCHER_CLOSE_DIALOGS", "1");
        TMessageBoxWatcher* watcher = TMessageBoxWatcher::install(qApp);
        QMessageBox box(QMessageBox::Icon(icon), QStringLiteral("Title %1"),
                        QStringLiteral("Text %2 <b>x</b>"), QMessageBox::StandardButtons(buttons));
        if (expected == QMessageBox::Yes)
            box.setDefaultButton(QMessageBox::Yes);
        QCOMPARE(box.exec(), expected);
        delete watcher;
        QVERIFY(g_Lines.contains(
            QStringLiteral("Message box shown. Title: \"Title %1\" Text: \"Text %2 <b>x</b>\"")));
    }

    // Without the variable a box is only logged and stays open until someone answers it.
    void withoutVariableBoxesStay() {
        qunsetenv("ORVANE_LAUNCHER_CLOSE_DIALOGS");
        TMessageBoxWatcher* watcher = TMessageBoxWatcher::install(qApp);
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Connection problem"),
                        QStringLiteral("offline"));
        box.show();
        QTest::qWait(50);
        QVERIFY(box.isVisible());
        box.close();
        delete watcher;
        QCOMPARE(g_Lines.filter(QStringLiteral("Message box shown.")).size(), 1);
        QVERIFY(g_Lines.filter(QStringLiteral("answered")).isEmpty());
    }

    // A box shown without blocking is answered too.
    void nonBlockingBoxIsClosed() {
        qputenv("ORVANE_LAUNCHER_CLOSE_DIALOGS", "1");
        TMessageBoxWatcher* watcher = TMessageBoxWatcher::install(qApp);
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Installation failed"), QStringLiteral("disk"));
        box.show();
        QTRY_VERIFY(!box.isVisible());
        delete watcher;
    }
};

QTEST_MAIN(TestMessageBox)
#include "tst_messagebox.moc"
