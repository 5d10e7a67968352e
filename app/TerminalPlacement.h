#pragma once

#include <QRect>
#include <QSize>

// Where the console window goes, in the coordinates of one screen: beside the main window when
// the screen has room for the size wanted, else below it (then left, then above); with no room
// anywhere, in the largest free part at a smaller size, but never smaller than `minimum`. Free
// means off the main window's frame, or only when no place there has room for `minimum`, off
// its switching panel. Always inside `available`, the screen's available geometry. Sizes and
// places include the frames.
struct TerminalPlace {
    QRect console;
    // Where the main window goes: a main window in the middle of a small screen leaves no
    // free part large enough, so the two are put side by side from the screen's corner.
    QPoint owner;
};
TerminalPlace PlaceTerminal(const QRect& ownerFrame, const QRect& panel, const QSize& wanted,
                            const QSize& minimum, const QRect& available);

// A remembered place is kept when it is still on the screen and off the switching panel.
bool PlaceStillFits(const QRect& frame, const QRect& panel, const QRect& available);
