#pragma once

#include <QFont>

// The font drawn controls paint their captions in when nothing else is asked for: the
// application's UI font at a size that fits "Through" on a 50-pixel key.
QFont DrawingFont();

// The desktop's system font, which drawing contexts use by default: the application's UI font
// at 10 points.
QFont SystemFont();
