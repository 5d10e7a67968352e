#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "terminal/CConsoleHistory.h"
#include "terminal/LinkStatus.h"

using namespace std::string_literals;
using Kind = CConsoleHistory::Kind;

namespace {

std::vector<std::string> Lines(const CConsoleHistory& history) {
    std::vector<std::string> lines;
    for (std::size_t n = history.FirstNumber(); n < history.EndNumber(); ++n) {
        lines.push_back(history.At(n).bytes);
    }
    return lines;
}

}  // namespace

// However replies are cut into arrivals, the console gets the same lines; status texts and
// sends come between them on lines of their own, and nothing replaces what came before.
TEST(ConsoleHistory, KeepsEveryLineWhereverArrivalsAreCut) {
    const std::string stream = "AV:1->2\r\nV:3->4\r\nbare\nSystem Locked!\r\n";
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        CConsoleHistory history;
        history.AddReceived(stream.substr(0, cut));
        history.AddReceived(stream.substr(cut));
        EXPECT_EQ(Lines(history), (std::vector<std::string>{"AV:1->2\r\n", "V:3->4\r\n", "bare\n",
                                                            "System Locked!\r\n"}))
            << cut;
        EXPECT_EQ(history.ReceivedStream(), stream);
        EXPECT_EQ(history.LockState(), CConsoleHistory::Lock::Locked);
    }

    CConsoleHistory history;
    history.AddReceived("HDMI 8x8\r\nhalf");
    history.AddStatus("connecting .");
    history.AddStatus("connecting . .");  // the animation keeps one line
    history.AddStatus("connect success!\r\n");
    history.AddSent("3B5.");
    history.AddReceived("AV:3->5\r\n");
    history.AddNote("更改波特率成功\r\n");
    EXPECT_EQ(Lines(history), (std::vector<std::string>{"HDMI 8x8\r\n", "half", "connecting . .",
                                                        "connect success!", "3B5.", "AV:3->5\r\n",
                                                        "更改波特率成功"}));
    EXPECT_EQ(history.ReceivedBytes(), 23u);
    EXPECT_EQ(history.SentBytes(), 4u);
    EXPECT_EQ(history.LockState(), CConsoleHistory::Lock::Unlocked);
    EXPECT_EQ(history.ReceivedStream(), "HDMI 8x8\r\nhalfAV:3->5\r\n");
}

TEST(ConsoleHistory, StaysBoundedAndCutsEndlessLines) {
    CConsoleHistory history;
    history.AddReceived(std::string(CConsoleHistory::kLineMax * 3, 'x'));
    EXPECT_EQ(history.EndNumber() - history.FirstNumber(), 3u);
    const std::string line = "V:12->34 " + std::string(60, '.') + "\r\n";
    for (std::size_t total = 0; total < 3 * CConsoleHistory::kLimit; total += line.size()) {
        history.AddReceived(line);
    }
    std::size_t kept = 0;
    for (const std::string& bytes : Lines(history)) {
        kept += bytes.size();
        EXPECT_EQ(bytes, line);
    }
    EXPECT_LE(kept, CConsoleHistory::kLimit);
    EXPECT_GT(history.FirstNumber(), 0u);
    history.Clear();
    EXPECT_EQ(history.FirstNumber(), history.EndNumber());
}

TEST(ConsoleHistory, RendersTimestampsHexAndEchoOnlyWhenAsked) {
    std::tm noon{};
    noon.tm_year = 126;
    noon.tm_mday = 7;
    noon.tm_hour = 14;
    noon.tm_min = 3;
    noon.tm_sec = 7;
    noon.tm_isdst = -1;
    const std::int64_t ms = static_cast<std::int64_t>(std::mktime(&noon)) * 1000 + 45;
    CConsoleHistory history([ms] { return ms; });
    history.AddReceived("AV:1\r\n");
    history.AddSent("3B5.");
    const CConsoleHistory::Line& reply = history.At(0);
    const CConsoleHistory::Line& sent = history.At(1);
    struct Case {
        CConsoleHistory::ViewOptions options;
        std::string reply;
        std::string sent;
    };
    const Case cases[] = {
        {{false, false, true}, "AV:1", "> 3B5."},
        {{true, false, true}, "14:03:07.045  AV:1", "14:03:07.045  > 3B5."},
        {{false, true, true}, "AV:1" + std::string(24, ' ') + "  41 56 3A 31 0D 0A", "> 3B5."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CConsoleHistory::Render(reply, c.options), c.reply);
        EXPECT_EQ(CConsoleHistory::Render(sent, c.options), c.sent);
    }
    EXPECT_EQ(history.RenderAll({false, false, false}), "AV:1\n");
}

TEST(LinkStatus, TellsTheLinkAsItIs) {
    LinkStatus com;
    com.comPort = 1;
    com.line = SerialLine{9600, 0, 8, 0};
    com.state = LinkStatus::State::Open;
    com.received = 120;
    com.sent = 14;
    LinkStatus net = com;
    net.network = true;
    net.address = "192.168.1.50:4001";
    net.state = LinkStatus::State::Lost;
    net.lock = CConsoleHistory::Lock::Locked;
    LinkStatus odd = com;
    odd.line = SerialLine{19200, 1, 7, 2};
    odd.state = LinkStatus::State::Closed;
    EXPECT_EQ(LinkStatusText(com), "COM1 9600 8N1 · open · 120 B received · 14 B sent");
    EXPECT_EQ(LinkStatusText(net),
              "NET 192.168.1.50:4001 · lost · 120 B received · 14 B sent · locked");
    EXPECT_EQ(LinkStatusText(odd), "COM1 19200 7O2 · closed · 120 B received · 14 B sent");
}
