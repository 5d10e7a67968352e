#include <gtest/gtest.h>

#include "platform/LeadingInt.h"

TEST(LeadingInt, ReadsTheLeadingNumberLikeTypedText) {
    struct Case {
        const char* text;
        int value;
    };
    const Case cases[] = {
        {"12abc", 12},
        {" 7", 7},
        {"\t\n-2", -2},
        {"+15x", 15},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {"- 5", 0},
        {"0", 0},
        {"007", 7},
        {"3,128,128", 3},
        {"  500 ", 500},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"99999999999", 2147483647},
        {"-99999999999", -2147483647 - 1},
        {"2147483648", 2147483647},
        {"000000000000000000042", 42},
        {"99999999999999999999999999999999", 2147483647},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LeadingInt(c.text), c.value) << '"' << c.text << '"';
    }
}
