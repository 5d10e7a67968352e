#pragma once

#include <QColor>
#include <QImage>

class QPainter;
class QRect;
class QWidget;

// Drawn windows paint into an image of their own size first and copy it to the screen in one
// step, so nothing flickers. The image matches the widget's device pixel ratio.
QImage OffscreenImage(const QWidget& widget);

// A vertical gradient over `rect`, its end colours on the centres of the first and the last
// pixel row.
void FillVerticalGradient(QPainter& painter, const QRect& rect, const QColor& top,
                          const QColor& bottom);
