#pragma once

#include <string>
#include <string_view>

#include "link/LinkTypes.h"
#include "panel/SwitchNumbers.h"

// One command for the switcher: its text (no terminator, no line end), the reply route the
// link is to remember, and the terminator flag.
struct DeviceCommand {
    std::string text;
    ReplyRoute route = kRoutePanel;
    TerminatorFlag flag = kTermDot;

    bool operator==(const DeviceCommand&) const = default;
};

// Switching commands, sent by the panel with replies routed to the panel and ".".
DeviceCommand RouteCommand(char kind, InputNo input, OutputNo output);  // "%dB%d", "%dA%d", "%dV%d"
DeviceCommand InputToAllCommand(InputNo input);                         // "%dAll"
DeviceCommand AllToAllCommand();                                        // "All$"
DeviceCommand AllToOutputCommand(OutputNo output);                      // "%d$"
DeviceCommand AllThroughCommand();                                      // "All#"
DeviceCommand InputThroughCommand(InputNo input);                       // "%d#"
DeviceCommand UndoCommand();                                            // "Undo"
DeviceCommand PresetCommand(std::string_view mode, int preset);  // "Save%d", "Recall%d", "Clear%d"
DeviceCommand LockCommand();                                     // "/%Lock" with ";"
DeviceCommand UnlockCommand();                                   // "/%Unlock" with ";"
DeviceCommand DemoCommand();                                     // "Demo"
DeviceCommand OutputStatusCommand(OutputNo output);              // "Status%d"

// The main window's query buttons. The STATUS reply goes to the panel on the network link
// and to the terminal view on the serial link.
DeviceCommand TypeQuery();                // "/*Type" with ";", route 1
DeviceCommand VersionQuery();             // "/^Version" with ";", route 1
DeviceCommand StatusQuery(bool network);  // "Status" with "."
