#pragma once

#include <string>
#include <string_view>

#include "access/LabelsFile.h"

// Reply numbers are checked against the switcher's counts, which this tool does not know:
// any input or output up to this reads as the switcher's own.
inline constexpr int kCtlCountLimit = 65535;

// One reply line as a JSON object on one line (no line end): the line as received, its kind
// by the panel's reading rules (or the refusal it is), the numbers that kind carries and the
// names the labels file gives them, for example
// {"line":"AV:3->5","kind":"route","signal":"AV","input":3,"output":5,"output_name":"Projector"}.
// A line that is not valid UTF-8 also carries its exact bytes as "hex".
std::string ReplyLineJson(std::string_view line, const LabelNames* names);

// Whether the line is matrixd's answer that it has no link to the switcher (kHubLinkDownLine,
// blanks at either end aside, as for the switcher's own lines). As JSON it reads
// {"line":"...","kind":"link","state":"down"}, the state a monitor's link lines tell too.
bool IsHubLinkDownLine(std::string_view line);

// text as a JSON string with its quotes. A byte that is not part of valid UTF-8 becomes
// U+FFFD.
std::string JsonString(std::string_view text);
