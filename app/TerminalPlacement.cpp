#include "app/TerminalPlacement.h"

#include <algorithm>
#include <array>
#include <optional>

namespace {

constexpr int kGap = 8;  // between the main window's frame and this one

enum class Side { Right, Below, Left, Above };

int Area(const QSize& size) {
    return size.width() * size.height();
}

// The part of the screen on one side of `keepOff`.
QRect FreeSide(Side side, const QRect& keepOff, const QRect& available) {
    switch (side) {
        case Side::Right:
            return QRect(QPoint(keepOff.right() + 1 + kGap, available.top()),
                         available.bottomRight());
        case Side::Below:
            return QRect(QPoint(available.left(), keepOff.bottom() + 1 + kGap),
                         available.bottomRight());
        case Side::Left:
            return QRect(available.topLeft(),
                         QPoint(keepOff.left() - 1 - kGap, available.bottom()));
        case Side::Above:
            return QRect(available.topLeft(), QPoint(available.right(), keepOff.top() - 1 - kGap));
    }
    return {};
}

// `size` on `side` of `keepOff`, as close to it as the free part allows.
QRect PlaceIn(Side side, const QRect& free, const QRect& keepOff, const QSize& size) {
    const auto clamp = [](int wanted, int low, int high) {
        return std::max(low, std::min(wanted, high));
    };
    const int alongX = clamp(keepOff.left(), free.left(), free.right() + 1 - size.width());
    const int alongY = clamp(keepOff.top(), free.top(), free.bottom() + 1 - size.height());
    switch (side) {
        case Side::Right:
            return QRect(QPoint(free.left(), alongY), size);
        case Side::Below:
            return QRect(QPoint(alongX, free.top()), size);
        case Side::Left:
            return QRect(QPoint(free.right() + 1 - size.width(), alongY), size);
        case Side::Above:
            return QRect(QPoint(alongX, free.bottom() + 1 - size.height()), size);
    }
    return {};
}

// The place on the first side with room for `wanted` (`fits`), or else the largest one of at
// least `minimum`.
struct Choice {
    QRect place;
    bool fits = false;
};
std::optional<Choice> PlaceOff(const QRect& keepOff, const QSize& wanted, const QSize& minimum,
                               const QRect& available) {
    constexpr std::array<Side, 4> kOrder = {Side::Right, Side::Below, Side::Left, Side::Above};
    for (const Side side : kOrder) {
        const QRect free = FreeSide(side, keepOff, available);
        if (free.width() >= wanted.width() && free.height() >= wanted.height()) {
            return Choice{PlaceIn(side, free, keepOff, wanted), true};
        }
    }
    std::optional<Choice> best;
    for (const Side side : kOrder) {
        const QRect free = FreeSide(side, keepOff, available);
        if (free.width() < minimum.width() || free.height() < minimum.height()) {
            continue;
        }
        const QSize size = wanted.boundedTo(free.size());
        if (!best || Area(size) > Area(best->place.size())) {
            best = Choice{PlaceIn(side, free, keepOff, size), false};
        }
    }
    return best;
}

}  // namespace

TerminalPlace PlaceTerminal(const QRect& ownerFrame, const QRect& panel, const QSize& wanted,
                            const QSize& minimum, const QRect& available) {
    const QSize size = wanted.expandedTo(minimum);
    const QPoint corner = available.topLeft() - ownerFrame.topLeft();
    // Off the main window where it is, then off it moved to the corner; only then off its panel
    // alone, over the main window's strips. Within each pair the first where the whole size
    // fits, else the largest: a console that fits what is left beside the main window, at a
    // smaller size, is better than one over part of it (an 8 x 8 panel on a 1024 x 768 screen
    // leaves 380 px below the main window, less than the console wants).
    const std::array<std::array<std::pair<QRect, QPoint>, 2>, 2> tries = {{
        {{{ownerFrame, QPoint()}, {ownerFrame.translated(corner), corner}}},
        {{{panel, QPoint()}, {panel.translated(corner), corner}}},
    }};
    for (const auto& pair : tries) {
        std::optional<TerminalPlace> best;
        for (const auto& [keepOff, shift] : pair) {
            const auto choice = PlaceOff(keepOff, size, minimum, available);
            if (!choice) {
                continue;
            }
            const TerminalPlace place{choice->place, ownerFrame.topLeft() + shift};
            if (choice->fits) {
                return place;
            }
            if (!best || Area(place.console.size()) > Area(best->console.size())) {
                best = place;
            }
        }
        if (best) {
            return *best;
        }
    }
    // No free part is large enough even for the least size: the screen's bottom right corner.
    const QSize least = minimum.boundedTo(available.size());
    return {QRect(available.bottomRight() - QPoint(least.width() - 1, least.height() - 1), least),
            ownerFrame.topLeft()};
}

bool PlaceStillFits(const QRect& frame, const QRect& panel, const QRect& available) {
    return available.contains(frame) && !frame.intersects(panel);
}
