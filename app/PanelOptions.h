#pragma once

#include <optional>

// What the command line asks of a run. The defaults are the program as it always behaves.
struct PanelOptions {
    // Show the serial terminal view, with the reply box, in a window of its own.
    bool bShowTerminal = false;
    // Open the port at start at this position of the baud list instead of 300 bit/s.
    std::optional<int> startRatePosition;
};
