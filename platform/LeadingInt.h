#pragma once

#include <string_view>

// Reads a number the way the operator's typed text and the device's reply lines are read:
// leading white space skipped, an optional sign, then decimal digits up to the first other
// character. Text without digits reads as 0. Values beyond the 32-bit range saturate at
// its limits instead of wrapping.
int LeadingInt(std::string_view text);
