#include <gtest/gtest.h>

#include "terminal/HexText.h"

using namespace std::string_literals;

TEST(HexText, HexToBytesPairsTheDigitsAndSkipsEverythingElse) {
    struct Case {
        std::string text;
        std::string bytes;
    };
    const Case cases[] = {
        {"48656c6c6f", "Hello"},
        {"48656C6C6F", "Hello"},
        {"48 65 6C 6C 6F", "Hello"},
        {"48:65-6c,6c 6f\r\n", "Hello"},
        {"414", "A"},  // the last digit has no partner
        {"4", ""},
        {"", ""},
        {"zz", ""},
        {"00", "\0"s},
        {"41004200", "A\0B\0"s},
        {"ff80", "\xff\x80"},
        {"4 1", "A"},  // a blank does not split a pair
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HexToBytes(c.text), c.bytes) << '"' << c.text << '"';
    }
}

TEST(HexText, BytesAsHexAndBackAgain) {
    EXPECT_EQ(BytesAsHex("AB"), "4142");
    EXPECT_EQ(BytesAsHex("\n"), "0a");
    EXPECT_EQ(BytesAsHex("\xe9"), "e9");
    EXPECT_EQ(BytesAsHex("\0\xff"s), "00ff");
    EXPECT_EQ(BytesAsHex(""), "");
    std::string every;
    for (int b = 0; b < 256; ++b) {
        every.push_back(static_cast<char>(b));
    }
    EXPECT_EQ(HexToBytes(BytesAsHex(every)), every);
}

TEST(HexText, DigitValues) {
    EXPECT_EQ(HexDigitValue('0'), 0);
    EXPECT_EQ(HexDigitValue('9'), 9);
    EXPECT_EQ(HexDigitValue('A'), 10);
    EXPECT_EQ(HexDigitValue('f'), 15);
    for (const char c : std::string("gG /:@`\0\xff"s)) {
        EXPECT_EQ(HexDigitValue(c), -1) << static_cast<int>(c);
    }
}
