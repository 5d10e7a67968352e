#include "controls/DrawingFont.h"

#include <QApplication>

namespace {
constexpr int kDrawingFontPoints = 9;
constexpr int kSystemFontPoints = 10;
}  // namespace

QFont DrawingFont() {
    QFont font = QApplication::font();
    font.setPointSize(kDrawingFontPoints);
    return font;
}

QFont SystemFont() {
    QFont font = QApplication::font();
    font.setPointSize(kSystemFontPoints);
    return font;
}
