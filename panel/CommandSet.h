#pragma once

#include <string>
#include <string_view>

// One command for the switcher: its text (no terminator, no line end), the reply route the
// link is to remember, and the terminator flag (0 ".", 1 ";").
struct DeviceCommand {
    std::string text;
    int route = 0;
    int flag = 0;

    bool operator==(const DeviceCommand&) const = default;
};

// Switching commands, sent by the panel with replies routed to the panel and ".".
DeviceCommand RouteCommand(char kind, int input, int output);    // "%dB%d", "%dA%d", "%dV%d"
DeviceCommand InputToAllCommand(int input);                      // "%dAll"
DeviceCommand AllToAllCommand();                                 // "All$"
DeviceCommand AllToOutputCommand(int output);                    // "%d$"
DeviceCommand AllThroughCommand();                               // "All#"
DeviceCommand InputThroughCommand(int input);                    // "%d#"
DeviceCommand UndoCommand();                                     // "Undo"
DeviceCommand PresetCommand(std::string_view mode, int preset);  // "Save%d", "Recall%d", "Clear%d"
DeviceCommand LockCommand();                                     // "/%Lock" with ";"
DeviceCommand UnlockCommand();                                   // "/%Unlock" with ";"
DeviceCommand DemoCommand();                                     // "Demo"
DeviceCommand OutputStatusCommand(int output);                   // "Status%d"

// The main window's query buttons. The STATUS reply goes to the panel on the network link
// and to the terminal view on the serial link.
DeviceCommand TypeQuery();                // "/*Type" with ";", route 1
DeviceCommand VersionQuery();             // "/^Version" with ";", route 1
DeviceCommand StatusQuery(bool network);  // "Status" with "."
