#include "launcher/ui/messageboxwatcher.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QApplication>
#include <QDebug>
#include <QEvent>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

namespace quarn::launcher {

const char CLOSE_DIALOGS_ENVIRONMENT_VARIABLE[] = "ORVANE_LAUNCHER_CLOSE_DIALOGS";

namespace {

QAbstractButton* answerButton(QMessageBox* box) {
    if (QAbstractButton* button = box->defaultButton())
        return button;
    if (QAbstractButton* button = box->escapeButton())
        return button;
    const QList<QAbstractButton*> buttons = box->buttons();
    return buttons.isEmpty() ? nullptr : buttons.first();
}

} // namespace

TMessageBoxWatcher* TMessageBoxWatcher::install(QApplication* application) {
    const bool closeDialogs = qgetenv(CLOSE_DIALOGS_ENVIRONMENT_VARIABLE) == "1";
    auto* watcher = new TMessageBoxWatcher(application, closeDialogs);
    application->installEventFilter(watcher);
    return watcher;
}

TMessageBoxWatcher::TMessageBoxWatcher(QObject* parent, bool closeDialogs)
    : QObject(parent), m_CloseDialogs(closeDialogs) {}

bool TMessageBoxWatcher::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::Show)
        return false;
    auto* box = qobject_cast<QMessageBox*>(watched);
    if (box == nullptr)
        return false;
    qInfo().noquote() << QStringLiteral("Message box shown. Title: \"%1\" Text: \"%2\"")
                             .arg(box->windowTitle(), box->text());
    if (m_CloseDialogs) {
        // Answered from the event loop, once the box (and a modal box's own loop) is running.
        QPointer<QMessageBox> guarded(box);
        QTimer::singleShot(0, this, [guarded] {
            if (guarded.isNull() || !guarded->isVisible())
                return;
            QAbstractButton* button = answerButton(guarded);
            qInfo().noquote() << QStringLiteral("Message box answered: \"%1\"")
                                     .arg(button != nullptr ? button->text() : QStringLiteral("(closed)"));
            if (button != nullptr)
                button->click();
            else
                guarded->done(0);
        });
    }
    return false;
}

} // namespace quarn::launcher
