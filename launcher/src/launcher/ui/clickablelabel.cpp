#include "launcher/ui/clickablelabel.h"

#include <QMouseEvent>

ClickableLabel::ClickableLabel(QWidget* parent, Qt::WindowFlags) : QLabel(parent) {}

void ClickableLabel::mousePressEvent(QMouseEvent* event) {
    event->accept();
    emit clicked();
}
