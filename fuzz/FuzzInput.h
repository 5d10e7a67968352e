#pragma once

// Reads a fuzzer's bytes as a sequence of small decisions. Past the end every read gives 0 and
// Empty() turns true, so a target never reads outside its input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <stdlib.h>

class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size)
        : m_text(reinterpret_cast<const char*>(data), size) {}

    bool Empty() const { return m_text.empty(); }
    std::uint8_t Byte() {
        if (m_text.empty()) {
            return 0;
        }
        const auto b = static_cast<std::uint8_t>(m_text.front());
        m_text.remove_prefix(1);
        return b;
    }
    std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() << 8 | Byte()); }
    // Up to `n` bytes, fewer at the end of the input.
    std::string_view Bytes(std::size_t n) {
        const std::string_view taken = m_text.substr(0, n);
        m_text.remove_prefix(taken.size());
        return taken;
    }
    std::string_view Rest() { return Bytes(m_text.size()); }

  private:
    std::string_view m_text;
};

// A broken invariant: say which and stop, so that libFuzzer saves the input as a crash.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (false)

// A directory of the run's own for a target that works on real files: in memory where it can
// be (/dev/shm), else under /tmp.
inline std::string MakeFuzzDirectory() {
    char pattern[] = "/dev/shm/matrixpanel-fuzz-XXXXXX";
    char fallback[] = "/tmp/matrixpanel-fuzz-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (dir == nullptr) {
        dir = ::mkdtemp(fallback);
    }
    FUZZ_CHECK(dir != nullptr);
    return dir;
}
