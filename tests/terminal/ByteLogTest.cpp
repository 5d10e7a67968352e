#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "terminal/CByteLog.h"
#include "terminal/ShownText.h"

using namespace std::string_literals;

namespace {
const std::string kReplaced = "\xEF\xBF\xBD";
}  // namespace

// Arrivals, as the widget gets them: UTF-8 kept across cuts, a replacement per byte that
// starts no character, only CR and LF ending lines, a mark at the very start dropped.
TEST(ShownText, DecodesArrivalsAsTheWidgetMustShowThem) {
    struct Case {
        std::vector<std::string> arrivals;
        std::string shown;
    };
    const Case cases[] = {
        {{"AV:1->2\r\n"}, "AV:1->2\r\n"},
        {{"更改"}, "更改"},
        {{"\xE6\x9B", "\xB4"}, "更"},                          // a character cut between arrivals
        {{"\xF0\x9F", "\x98", "\x80!"}, "\xF0\x9F\x98\x80!"},  // in three pieces
        {{"a\x80z"}, "a" + kReplaced + "z"},
        {{"a\xC0\x80z"}, "a" + kReplaced + kReplaced + "z"},                  // overlong: each byte
        {{"a\xED\xA0\x80z"}, "a" + kReplaced + kReplaced + kReplaced + "z"},  // a surrogate
        {{"a\xE0"
          "az"},
         "a" + kReplaced + "az"},                   // cut short: what follows is read afresh
        {{"a\xE0", "\n"}, "a" + kReplaced + "\n"},  // ... also in the next arrival
        {{"a\xFF\xF5"}, "a" + kReplaced + kReplaced},
        {{"a\xC3"}, "a"},  // incomplete: waits for the rest
        {{"\xE2\x80\xA9|\xEF\xB7\x90|\xEF\xB7\x91"}, kReplaced + "|" + kReplaced + "|" + kReplaced},
        {{"\xEF\xBB\xBF"
          "a\xEF\xBB\xBF"},
         "a\xEF\xBB\xBF"},
        {{"\0z"s}, "\0z"s},
    };
    for (const Case& c : cases) {
        CShownText text;
        std::string shown;
        for (const std::string& arrival : c.arrivals) {
            shown += text.Decode(arrival);
        }
        EXPECT_EQ(shown, c.shown) << c.arrivals.front();
    }
}

TEST(ShownText, FoldsLinesLongerThanTheWidgetCanAffordInCharacters) {
    CShownText text;
    const std::string wide = "更";  // one character of three bytes
    std::string shown;
    for (int k = 0; k < CShownText::kLineMax + 5; ++k) {
        shown += text.Decode(k % 2 == 0 ? "x" : wide);
    }
    shown += text.Decode("\r\n" + std::string(CShownText::kLineMax, 'y') + "z");
    const std::size_t fold = shown.find('\n');
    ASSERT_NE(fold, std::string::npos);
    EXPECT_EQ(shown.substr(0, fold).size(), CShownText::kLineMax / 2 * (1 + wide.size()));
    EXPECT_EQ(shown.substr(fold + 1, shown.find("\r\n") - fold - 1), "x更x更x");
    const std::string tail = shown.substr(shown.find("\r\n") + 2);
    EXPECT_EQ(tail, std::string(CShownText::kLineMax, 'y') + "\nz");
}

// The log keeps the newest bytes in whole lines below its limit, and tells the widget when its
// copy must be replaced rather than extended.
TEST(ByteLog, TrimsToWholeLinesAndTellsTheWidgetWhatToShow) {
    CByteLog log;
    log.Append("AV:1->2\r");
    CByteLog::Update update = log.TakeUnshown();
    EXPECT_FALSE(update.afresh);
    EXPECT_EQ(update.text, "AV:1->2\r");
    log.Append("\nV:3->4\r\n");
    EXPECT_EQ(log.TakeUnshown().text, "V:3->4\r\n");  // the split CR LF is one line end
    EXPECT_FALSE(log.HasUnshown());

    const std::string line = "A:12->34 " + std::string(60, '.') + "\r\n";
    while (log.Size() + line.size() <= CByteLog::kLimit) {
        log.Append(line);
        EXPECT_FALSE(log.MustShowAfresh());
    }
    log.Append(line);
    EXPECT_TRUE(log.MustShowAfresh());
    EXPECT_LE(log.Size(), CByteLog::kKeep);
    EXPECT_GT(log.Size(), CByteLog::kKeep - line.size());
    EXPECT_EQ(log.Bytes().substr(0, line.size()), line);
    update = log.TakeUnshown();
    EXPECT_TRUE(update.afresh);
    EXPECT_EQ(update.text, log.Bytes());

    // One line longer than what is kept: its end, from a character's first byte.
    std::string wide;
    while (wide.size() <= CByteLog::kLimit) {
        wide += "更";
    }
    log.Replace(wide);
    EXPECT_LE(log.Size(), CByteLog::kKeep);
    EXPECT_EQ(log.Bytes().substr(0, 3), "更");
    log.Replace("status");
    update = log.TakeUnshown();
    EXPECT_TRUE(update.afresh);
    EXPECT_EQ(update.text, "status");
}
