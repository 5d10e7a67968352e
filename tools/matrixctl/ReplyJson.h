#pragma once

#include <string>
#include <string_view>

// Reply numbers are checked against the switcher's counts, which this tool does not know:
// any input or output up to this reads as the switcher's own.
inline constexpr int kCtlCountLimit = 65535;

// One reply line as a JSON object on one line (no line end): the line as received, its kind
// by the panel's reading rules, and the numbers that kind carries, for example
// {"line":"AV:3->5","kind":"route","signal":"AV","input":3,"output":5}.
std::string ReplyLineJson(std::string_view line);

// text as a JSON string with its quotes. Bytes that are not UTF-8 are taken as Latin-1.
std::string JsonString(std::string_view text);
