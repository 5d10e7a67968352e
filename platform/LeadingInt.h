#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

// Reads a number the way the operator's typed text and the device's reply lines are read:
// leading white space skipped, an optional sign, then decimal digits up to the first other
// character. Text without digits reads as 0. Values beyond the 32-bit range saturate at
// its limits instead of wrapping. Inline: the reply reader runs it twice for every line.
inline int LeadingInt(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    // The magnitude grows in 64 bits and stops growing once past the limit, so any number
    // of digits is safe.
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<int>::max()} + 1;
    std::int64_t magnitude = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        if (magnitude <= kLimit) {
            magnitude = magnitude * 10 + (text[pos] - '0');
        }
    }
    if (negative) {
        return magnitude >= kLimit ? std::numeric_limits<int>::min() : static_cast<int>(-magnitude);
    }
    return magnitude >= kLimit ? std::numeric_limits<int>::max() : static_cast<int>(magnitude);
}
