#pragma once

#include <string_view>

// Lines matrixd itself puts among the switcher's reply lines on its raw port, and that its
// clients (matrixctl) read. No Qt: matrixd and matrixctl both include this.

// matrixd's answer to a command that reached its raw port while it has no link to the
// switcher: this text, alone on its line, ended by CR LF as the switcher's own lines are. The
// command was not sent. It starts with the program's name, so that no switcher reply reads as it.
inline constexpr std::string_view kHubLinkDownLine = "matrixd: switcher link down";

// matrixd's answer to a raw command that stayed unfinished (no "." or ";" after a pause) or grew
// too long: the bytes were dropped and never reached the switcher.
inline constexpr std::string_view kHubDroppedLine = "matrixd: unfinished command dropped";

// matrixd's answer to a raw command it keeps for its administrator (the switcher's own lock,
// "/%Lock;", without --allow-line-settings): the command was not sent.
inline constexpr std::string_view kHubRefusedLine =
    "matrixd: refused (--allow-line-settings is off)";

// The switcher's own answer while it is locked; matrixd gives it for a raw command that would
// change an output a router client has locked (the command is not sent).
inline constexpr std::string_view kSwitcherLockedLine = "System Locked!";
