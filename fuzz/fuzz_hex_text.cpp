// The terminal's hexadecimal conversions: any bytes survive BytesAsHex then HexToBytes, and
// HexToBytes on any text agrees with a plain reading that keeps only the digits and pairs them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzInput.h"
#include "terminal/HexText.h"

namespace {

std::string PairedDigits(std::string_view text) {
    std::string digits;
    for (const char c : text) {
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) {
            digits += c;
        }
    }
    std::string bytes;
    for (std::size_t k = 0; k + 1 < digits.size(); k += 2) {
        bytes += static_cast<char>(std::stoi(digits.substr(k, 2), nullptr, 16));
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    const std::string hex = BytesAsHex(input);
    FUZZ_CHECK(hex.size() == 2 * input.size());
    for (const char c : hex) {
        FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    }
    FUZZ_CHECK(HexToBytes(hex) == input);

    FUZZ_CHECK(HexToBytes(input) == PairedDigits(input));
    for (const char c : input) {
        const int value = HexDigitValue(c);
        const std::string one(1, c);
        FUZZ_CHECK(value == (PairedDigits(one + one).empty() ? -1 : std::stoi(one, nullptr, 16)));
    }
    return 0;
}
