// The line limit as every program that reads the switcher sees it: a line of kMaxLine bytes is
// a line, one byte more is overlong, whether it arrives whole or a byte at a time, with or
// without its carriage return.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "panel/ReplyLineReader.h"

namespace {

struct Seen {
    std::string line;
    bool overlong;
    bool operator==(const Seen&) const = default;
};

std::vector<Seen> Read(const std::string& stream, std::size_t chunk) {
    ReplyLineReader reader;
    std::vector<Seen> seen;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        reader.Feed(std::string_view(stream).substr(at, chunk),
                    [&](std::string_view line, bool overlong) {
                        seen.push_back({std::string(line), overlong});
                    });
    }
    return seen;
}

TEST(ReplyLineReader, TheLimitIsTheSameForEveryChunkingAndLineEnd) {
    constexpr std::size_t kMax = ReplyLineReader::kMaxLine;
    const std::string longest(kMax, 'a');
    const std::string over(kMax + 1, 'b');
    struct Case {
        std::string stream;
        std::vector<Seen> expected;
    };
    const Case cases[] = {
        {longest + "\r\nAV:1->2\n", {{longest, false}, {"AV:1->2", false}}},
        {longest + "\nx\r\n", {{longest, false}, {"x", false}}},
        {over + "\nAV:1->2\r\n", {{over.substr(0, kMax), true}, {"AV:1->2", false}}},
        {over + "\r\n\r\n", {{over.substr(0, kMax), true}, {"", false}}},
        {std::string(3 * kMax, 'c') + "\nok\n", {{std::string(kMax, 'c'), true}, {"ok", false}}},
    };
    for (const Case& c : cases) {
        for (const std::size_t chunk : {std::size_t{1}, std::size_t{1000}, c.stream.size()}) {
            EXPECT_EQ(Read(c.stream, chunk), c.expected)
                << "stream of " << c.stream.size() << " bytes in chunks of " << chunk;
        }
    }
}

}  // namespace
