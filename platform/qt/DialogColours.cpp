#include "platform/qt/DialogColours.h"

#include <QPalette>
#include <QWidget>

void ApplyDialogColours(QWidget* widget) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, QColor(kDialogBackground));
    palette.setColor(QPalette::WindowText, QColor(kDialogText));
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

void ApplyBackground(QWidget* widget, QRgb colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, QColor(colour));
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}
