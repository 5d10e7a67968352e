#pragma once

#include "panel/PanelLayout.h"

// How the main window stacks the title strip, the switching panel and the bottom strip. The
// main window and render_panel (which draws the README's pictures) both place them so.
namespace MainWindowLayout {

inline constexpr int kClientWidth = 717;  // 478 dialog units
inline constexpr int kStripHeight = 30;
inline constexpr int kStripGap = 5;  // between the panel and the bottom strip
inline constexpr const char* kTitleCaption = "Matrix Switcher Control Panel";
inline constexpr int kIdTitleStrip = 6;
inline constexpr int kIdBottomStrip = 7;
inline constexpr int kIdPanel = 8;

// The panel height for the counts: the grid's rows, or a fixed height beyond a grid.
constexpr int PanelHeight(int inputs, int outputs) {
    if (inputs > kGridMaxCount || outputs > kGridMaxCount) {
        return 250;
    }
    return outputs * 25 + 75;
}

}  // namespace MainWindowLayout
