#pragma once

#include <string>

// The device behind "COM1".."COM5". <sysdir>/COMn wins when it exists (a link to a device or
// a pseudo-terminal). Without MATRIXPANEL_SYSDIR the n-th existing /dev/ttyUSB*, /dev/ttyACM*,
// /dev/ttyS* (in that order, each group by number) stands in; with it set only its links
// count, so tests and the demo never open a real device of the machine. Empty when there is
// no such device. Numbers outside 1..5 name COM1.
std::string ComDevicePath(int port);

// The same lookup with every input given, for tests of the device enumeration.
std::string ComDevicePath(int port, const std::string& sysDir, bool sysDirOnly,
                          const std::string& devDir);
