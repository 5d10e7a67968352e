#include "controls/ControlIcons.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>

namespace {

// Everything is drawn on a 32 x 32 canvas with a transparent margin.
void DrawRadio(QPainter& p, bool dot) {
    p.setPen(QPen(QColor(64, 64, 64), 2));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(6, 6, 20, 20));
    if (dot) {
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::black);
        p.drawEllipse(QRectF(11, 11, 10, 10));
    }
}

void DrawCheckBox(QPainter& p, bool checked) {
    p.setPen(QPen(QColor(64, 64, 64), 2));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(6, 6, 20, 20));
    if (checked) {
        QPainterPath tick;
        tick.moveTo(9.5, 16.5);
        tick.lineTo(14, 21.5);
        tick.lineTo(23, 10);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(220, 0, 0), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(tick);
    }
}

void DrawTriangleSquare(QPainter& p, bool up) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(64, 64, 64));
    p.drawRoundedRect(QRectF(4, 4, 24, 24), 3, 3);
    QPainterPath triangle;
    if (up) {
        triangle.moveTo(16, 9);
        triangle.lineTo(24, 22);
        triangle.lineTo(8, 22);
    } else {
        triangle.moveTo(8, 10);
        triangle.lineTo(24, 10);
        triangle.lineTo(16, 23);
    }
    triangle.closeSubpath();
    p.setBrush(QColor(0, 200, 0));
    p.drawPath(triangle);
}

// A small crosspoint grid on the panel's blue, one crosspoint lit: the program's own icon.
void DrawApplication(QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(80, 133, 175));
    p.drawRoundedRect(QRectF(1, 1, 30, 30), 4, 4);
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            const bool lit = row == 1 && column == 2;
            p.setBrush(lit ? QColor(255, 0, 0) : QColor(255, 255, 255));
            p.drawRect(QRectF(5 + column * 6.0, 5 + row * 6.0, 4, 4));
        }
    }
}

}  // namespace

QImage PaintIcon(int resourceId, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        if (size != kStandardIconSize) {
            const double factor = size / static_cast<double>(kStandardIconSize);
            p.scale(factor, factor);
        }
        switch (resourceId) {
            case kIconRadioOn:
            case kIconRadioOff:
                DrawRadio(p, resourceId == kIconRadioOn);
                break;
            case kIconCheckOn:
            case kIconCheckOff:
                DrawCheckBox(p, resourceId == kIconCheckOn);
                break;
            case kIconTriangleUp:
            case kIconTriangleDown:
                DrawTriangleSquare(p, resourceId == kIconTriangleUp);
                break;
            case kIconApplication:
                DrawApplication(p);
                break;
            default:
                return {};
        }
    }
    return image;
}

QPixmap LoadIcon(int resourceId) {
    return QPixmap::fromImage(PaintIcon(resourceId, kStandardIconSize));
}
