#pragma once

#include <string>
#include <string_view>

// The terminal's Hex mode: bytes typed as pairs of hexadecimal digits.

// 0..15 for 0-9, A-F, a-f; -1 for anything else.
int HexDigitValue(char c);

// Pairs the hexadecimal digits of the text into bytes. Anything that is not a digit (blanks,
// separators, stray letters) is skipped first, so "48 65 6C" and "48656c" give the same bytes;
// a last digit without a partner is dropped; "00" gives a zero byte like any other.
std::string HexToBytes(std::string_view text);

// Each byte as two lowercase hexadecimal digits, high digit first, no separators.
std::string BytesAsHex(std::string_view bytes);
