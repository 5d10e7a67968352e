#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Small text rules every program shares, so that a name, a number or a quoted piece of client
// text reads the same in the panel, matrixctl and matrixd.

// `text` without blanks (space, tab, CR, LF, vertical tab, form feed) at either end.
std::string_view Trim(std::string_view text);

// `text` in single quotes for a message or a log line, safe to print on a terminal: control
// bytes (C0, DEL), a backslash and a quote are written as \xHH, and text past `maxBytes` is
// cut and marked "...". Bytes of UTF-8 pass as they are. `quote` is the quote mark (the labels
// file's warnings have always used double quotes).
std::string Quoted(std::string_view text, std::size_t maxBytes = 200, char quote = '\'');

// A plain decimal number from `low` to `high`: digits only (no sign, no blanks, no leading
// "+"), at most 9 of them. Nothing otherwise.
std::optional<int> ReadDecimal(std::string_view text, int low, int high);
