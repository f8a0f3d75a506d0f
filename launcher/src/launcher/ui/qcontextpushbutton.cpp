#include "launcher/ui/qcontextpushbutton.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>

QContextPushButton::QContextPushButton(QWidget* parent)
    : QPushButton(parent), m_ContextMenu(new QMenu(this)) {
    connect(m_ContextMenu, &QMenu::triggered, this, &QContextPushButton::onContextMenuActionTriggered);
}

void QContextPushButton::SetActions(const QStringList& actionTexts) {
    const QList<QAction*> previous = m_ContextMenu->actions();
    m_ContextMenu->clear();
    // QMenu::clear deletes only the actions the menu owns; these belong to the button.
    qDeleteAll(previous);
    for (const QString& text : actionTexts)
        m_ContextMenu->addAction(new QAction(text, this));
}

QStringList QContextPushButton::actionTexts() const {
    QStringList texts;
    for (const QAction* action : m_ContextMenu->actions())
        texts.append(action->text());
    return texts;
}

void QContextPushButton::contextMenuEvent(QContextMenuEvent* event) {
    if (!m_ContextMenu->actions().isEmpty())
        m_ContextMenu->popup(event->globalPos());
    event->accept();
}

void QContextPushButton::onContextMenuActionTriggered(QAction* action) {
    emit contextTriggered(action->text());
}
