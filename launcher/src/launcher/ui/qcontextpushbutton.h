#pragma once

#include <QPushButton>
#include <QStringList>

class QAction;
class QMenu;

// A push button with a context menu of text actions. A right click pops the menu up when it has
// actions; choosing one emits contextTriggered with the action's text.
class QContextPushButton : public QPushButton {
    Q_OBJECT
public:
    explicit QContextPushButton(QWidget* parent = nullptr);

    // Replaces the menu's actions by one action per text, in list order. The replaced actions
    // are deleted.
    void SetActions(const QStringList& actionTexts);
    // The texts of the current actions, in menu order.
    QStringList actionTexts() const;
    QMenu* contextMenu() const { return m_ContextMenu; }

signals:
    void contextTriggered(const QString& actionText);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private slots:
    void onContextMenuActionTriggered(QAction* action);

private:
    QMenu* m_ContextMenu;
};
