#include "launcher/ui/draggablemainwindow.h"

#include <QMouseEvent>

namespace quarn::launcher {

TDraggableMainWindow::TDraggableMainWindow(QWidget* parent) : QMainWindow(parent) {}

void TDraggableMainWindow::mousePressEvent(QMouseEvent* event) {
    m_PressOffset = event->globalPos() - pos();
    m_Dragging = true;
    QMainWindow::mousePressEvent(event);
}

void TDraggableMainWindow::mouseReleaseEvent(QMouseEvent* event) {
    m_Dragging = false;
    QMainWindow::mouseReleaseEvent(event);
}

void TDraggableMainWindow::mouseMoveEvent(QMouseEvent* event) {
    if (m_Dragging)
        move(event->globalPos() - m_PressOffset);
    QMainWindow::mouseMoveEvent(event);
}

} // namespace quarn::launcher
