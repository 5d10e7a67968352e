#pragma once

#include <string>

// The directory that holds the settings files and, in tests and the demo, the COMn links:
// $MATRIXPANEL_SYSDIR when set and not empty, else /var/lib/matrixpanel.
std::string SystemDir();

// True when the system directory was chosen by MATRIXPANEL_SYSDIR (tests, the demo).
bool SystemDirFromEnvironment();
