#pragma once

#include <optional>
#include <string>

// What the command line asks of a run. The defaults are the program as it always behaves.
struct PanelOptions {
    // Show the serial terminal view, with the reply box, in a window of its own.
    bool bShowTerminal = false;
    // Open the port at start at this position of the baud list instead of 300 bit/s.
    std::optional<int> startRatePosition;
    // Send "Status." whenever the link comes up, so that the panel shows the real routes.
    bool bSync = false;
    // Names for inputs and outputs from this file instead of the settings directory's.
    std::optional<std::string> labelsPath;
};
