#pragma once

#include <optional>
#include <string>
#include <string_view>

// How every program reads a port name a user gives (matrixctl --serial, matrixd's serial): "COM"
// in any case of its letters and one digit 1..5 names the panel's port of that number. "COM"
// and any other number ("COM0", "COM6", "COM01") is a mistake, not a file name: the programs
// refuse it rather than open a file that happens to be called so (a file of that name is
// given as "./COM6"). Anything else is a device path.
std::optional<int> ComPortNumber(std::string_view name);
// "COM" and digits that ComPortNumber does not take.
bool IsBadComPortName(std::string_view name);
// What to say of such a name: "(expected COM1..COM5, ..., or a device path such as ./COM6)".
std::string BadComPortNameHint(std::string_view name);

// The device behind "COM1".."COM5". <sysdir>/COMn wins when it exists (a link to a device or
// a pseudo-terminal). Without MATRIXPANEL_SYSDIR the n-th existing /dev/ttyUSB*, /dev/ttyACM*,
// /dev/ttyS* (in that order, each group by number) stands in; with it set only its links
// count, so tests and the demo never open a real device of the machine. Empty when there is
// no such device. Numbers outside 1..5 name COM1.
std::string ComDevicePath(int port);

// The same lookup with every input given, for tests of the device enumeration.
std::string ComDevicePath(int port, const std::string& sysDir, bool sysDirOnly,
                          const std::string& devDir);
