#pragma once

#include <QImage>
#include <QPixmap>

// The program's icons, keyed by their resource ids and drawn by our own code at the
// standard icon size. Transparent around the motif.
enum IconId : int {
    kIconApplication = 128,  // the program's icon: a small lit crosspoint grid
    kIconRadioOn = 141,      // radio mark with a black centre dot
    kIconRadioOff = 142,     // empty radio mark
    kIconTriangleUp = 145,   // dark grey square, green triangle pointing up
    kIconTriangleDown = 153,
    kIconCheckOff = 154,  // empty white check box
    kIconCheckOn = 155,   // the box with a red check mark
};

constexpr int kStandardIconSize = 32;

// A null pixmap for an id the program has no icon for.
QPixmap LoadIcon(int resourceId);

// The same drawing on a size x size canvas (the 32-pixel design scaled), for icon files at
// other sizes; at kStandardIconSize it is LoadIcon's image. A null image for an unknown id.
QImage PaintIcon(int resourceId, int size);
