#pragma once

#include <QLabel>

// A label that reports every mouse press, of any button, with clicked().
class ClickableLabel : public QLabel {
    Q_OBJECT
public:
    // The window flags are not used: the label is always a plain child widget.
    explicit ClickableLabel(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
};
