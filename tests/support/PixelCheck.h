#pragma once

// Helpers for looking at grabbed widgets: colours compared with a small tolerance, since the
// gradient's end rows come out a few units off its end colours.
#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QWidget>

#include <cstdlib>
#include <ostream>

inline QImage Grab(QWidget& widget) {
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

inline bool Near(const QColor& a, const QColor& b, int tolerance = 6) {
    return std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

// Pixels inside `area` whose three channels are all at least 200 (white text, white fill).
inline int CountWhitish(const QImage& image, const QRect& area) {
    int count = 0;
    const QRect r = area.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() >= 200 && c.green() >= 200 && c.blue() >= 200) {
                ++count;
            }
        }
    }
    return count;
}

// gtest prints QColor readably.
inline void PrintTo(const QColor& c, std::ostream* os) {
    *os << "RGB(" << c.red() << ", " << c.green() << ", " << c.blue() << ")";
}

#define EXPECT_COLOUR_NEAR(actual, expected) \
    EXPECT_PRED2([](const QColor& a, const QColor& e) { return Near(a, e); }, actual, expected)
