// The integer reader of typed text and reply lines, against the C library's strtoll clamped to
// the 32-bit range. strtoll stops at a zero byte, which LeadingInt also reads as the end of the
// digits, so the whole input is compared as it stands.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzInput.h"
#include "platform/LeadingInt.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    errno = 0;
    const long long wide = std::strtoll(text.c_str(), nullptr, 10);
    const long long expected = wide > INT_MAX ? INT_MAX : wide < INT_MIN ? INT_MIN : wide;
    FUZZ_CHECK(LeadingInt(text) == expected);
    return 0;
}
