#pragma once

#include <QMainWindow>
#include <QPoint>

namespace quarn::launcher {

// A main window that the user moves by dragging its body with the mouse.
class TDraggableMainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit TDraggableMainWindow(QWidget* parent = nullptr);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    // Where the cursor grabbed the window: its global position minus the window's position at the
    // press. The window then follows the cursor without drifting.
    QPoint m_PressOffset;
    bool m_Dragging = false;
};

} // namespace quarn::launcher
