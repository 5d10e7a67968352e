#include "controls/OffscreenPainting.h"

#include <QLinearGradient>
#include <QPainter>
#include <QWidget>

QImage OffscreenImage(const QWidget& widget) {
    const qreal ratio = widget.devicePixelRatioF();
    QImage image(widget.size() * ratio, QImage::Format_RGB32);
    image.setDevicePixelRatio(ratio);
    return image;
}

void FillVerticalGradient(QPainter& painter, const QRect& rect, const QColor& top,
                          const QColor& bottom) {
    QLinearGradient gradient(0, rect.top() + 0.5, 0, rect.top() + rect.height() - 0.5);
    gradient.setColorAt(0, top);
    gradient.setColorAt(1, bottom);
    painter.fillRect(rect, gradient);
}
