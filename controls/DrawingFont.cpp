#include "controls/DrawingFont.h"

#include <QApplication>

namespace {
constexpr int kDrawingFontPoints = 9;
}  // namespace

QFont DrawingFont() {
    QFont font = QApplication::font();
    font.setPointSize(kDrawingFontPoints);
    return font;
}
