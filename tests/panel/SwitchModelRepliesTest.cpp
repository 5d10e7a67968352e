// Reply text read by the switching model: lines cut from chunks, route lines shown as marks.
#include <gtest/gtest.h>

#include "RecordingEffects.h"

namespace {

using Look = RecordingEffects::KeyLook;

struct GridMark {
    int output, input, mark;
};

// Every lit crosspoint of a grid panel with its mark, row by row.
std::vector<std::tuple<int, int, int>> LitCrosspoints(const PanelUnderTest& p) {
    std::vector<std::tuple<int, int, int>> lit;
    for (int o = 1; o <= p.model.OutputCount(); ++o) {
        for (int i = 1; i <= p.model.InputCount(); ++i) {
            const Look look = p.fx.Look(p.model.GridKey(o, i));
            if (look.lit) {
                lit.emplace_back(o, i, look.mark);
            }
        }
    }
    return lit;
}

std::vector<std::tuple<int, int, int>> Expect(std::initializer_list<GridMark> marks) {
    std::vector<std::tuple<int, int, int>> lit;
    for (const GridMark& m : marks) {
        lit.emplace_back(m.output, m.input, m.mark);
    }
    return lit;
}

}  // namespace

TEST(SwitchModelReplies, GridReadsEachKindOfReplyLine) {
    struct Case {
        int inputs, outputs;
        const char* text;
        std::initializer_list<GridMark> lit;
    };
    const Case cases[] = {
        {4, 4, "AV:3->2\r\n", {{2, 3, 2}}},
        {4, 4, "V:2->4\r\n", {{4, 2, 3}}},
        {4, 4, "A:1->4\r\n", {{4, 1, 4}}},
        {4, 4, "  AV:3->2  \r\n", {{2, 3, 2}}},
        {4, 4, "AV: 3 -> 2\r\n", {{2, 3, 2}}},
        {4, 4, "AV:3->5\r\n", {}},
        {4, 4, "AV:0->2\r\n", {}},
        {4, 4, "AV:-1->2\r\n", {}},
        {4, 4, "av:3->2\r\n", {}},
        {4, 4, "X:3->2\r\n", {}},
        {4, 4, "AV3->2\r\n", {}},
        {4, 4, "->2:3\r\n", {}},
        // Lines close to the plain shape read by the general rules.
        {4, 4, "AV:3->2x\r\n", {{2, 3, 2}}},
        {4, 4, "AV:003->0002\r\n", {{2, 3, 2}}},
        {4, 4, "AV:12345678903->1\r\n", {}},
        {4, 4, "AV:3->\r\n", {}},
        {4, 4, "AV:->2\r\n", {}},
        {4, 4, "AV:3-2\r\n", {}},
        {4, 4, "A:3->2 OFF\r\n", {}},
        {4, 4, "  2 To All  \r\n", {{1, 2, 2}, {2, 2, 2}, {3, 2, 2}, {4, 2, 2}}},
        {4, 4, "2To All\r\n", {{1, 2, 2}, {2, 2, 2}, {3, 2, 2}, {4, 2, 2}}},
        {4, 4, "9 To All\r\n", {}},
        {4, 4, "2 To Alls\r\n", {}},
        {4, 2, "All Through.\r\n", {{1, 1, 2}, {2, 2, 2}}},
        {2, 4, "All Through.\r\n", {{1, 1, 2}, {2, 2, 2}}},
        {4, 4, "all through.\r\n", {}},
        // Two lines in one chunk: both are shown.
        {4, 4, "V:2->4\r\nA:1->4\r\n", {{4, 1, 4}, {4, 2, 3}}},
        // A line with "To" whose number is out of range ends the reading, arrow or not.
        {4, 4, "AV:3->2 To 9\r\n", {}},
        // Bare line feeds end lines too, and the last digit belongs to the line.
        {16, 16, "AV:3->12\n", {{12, 3, 2}}},
        {4, 4, "AV:3->2\nV:1->4\n", {{2, 3, 2}, {4, 1, 3}}},
        // A line end split from its carriage return reads the same.
        {4, 4, "AV:3->2\r", {}},
    };
    for (const Case& c : cases) {
        PanelUnderTest p(c.inputs, c.outputs);
        p.model.FeedReply(c.text);
        EXPECT_EQ(LitCrosspoints(p), Expect(c.lit)) << '"' << c.text << '"';
        EXPECT_TRUE(p.fx.m_sent.empty());
    }
}

TEST(SwitchModelReplies, EveryWayOfCuttingALineShowsTheRouteOnce) {
    const std::string line = "AV:3->12\r\n";
    for (std::size_t cut = 0; cut <= line.size(); ++cut) {
        PanelUnderTest p(16, 16);
        p.model.FeedReply(line.substr(0, cut));
        if (cut < line.size()) {
            EXPECT_TRUE(LitCrosspoints(p).empty()) << "shown early, cut at " << cut;
        }
        p.model.FeedReply(line.substr(cut));
        EXPECT_EQ(LitCrosspoints(p), Expect({{12, 3, 2}})) << "cut at " << cut;
        EXPECT_EQ(p.model.PendingReply(), "");
    }
    // One byte at a time.
    PanelUnderTest p(16, 16);
    for (const char ch : line) {
        p.model.FeedReply(std::string_view(&ch, 1));
    }
    EXPECT_EQ(LitCrosspoints(p), Expect({{12, 3, 2}}));
}

TEST(SwitchModelReplies, AnyCommandDropsAPartlyReceivedLine) {
    PanelUnderTest p(4, 4);
    p.model.FeedReply("AV:3-");
    p.Crosspoint(1, 1);
    p.model.FeedReply(">2\r\n");
    EXPECT_TRUE(LitCrosspoints(p).empty());
    p.model.FeedReply("AV:3-");
    p.model.ClearReplyBuffer();
    p.model.FeedReply(">2\r\nAV:1->1\r\n");
    EXPECT_EQ(LitCrosspoints(p), Expect({{1, 1, 2}}));
}

TEST(SwitchModelReplies, AnOverlongLineIsDroppedAndTheNextLineIsRead) {
    PanelUnderTest p(4, 4);
    const std::string noise(1000, 'x');
    for (int k = 0; k < 10; ++k) {
        p.model.FeedReply(noise);
        EXPECT_LE(p.model.PendingReply().size(), CSwitchModel::kMaxReplyLine + 1);
    }
    // "AV:1->1" at the end of the noise is part of the noisy line, not a reply.
    p.model.FeedReply("AV:1->1\r\nAV:2->2\r\n");
    EXPECT_EQ(LitCrosspoints(p), Expect({{2, 2, 2}}));

    // The same for an overlong line that arrives in one piece.
    PanelUnderTest whole(4, 4);
    whole.model.FeedReply(std::string(CSwitchModel::kMaxReplyLine, ' ') +
                          "xAV:1->1\r\nAV:3->3\r\n");
    EXPECT_EQ(LitCrosspoints(whole), Expect({{3, 3, 2}}));

    // A line of the longest length still reads.
    PanelUnderTest longest(4, 4);
    const std::string line = "AV:4->4";
    const std::string padded = std::string(CSwitchModel::kMaxReplyLine - line.size(), ' ') + line;
    longest.model.FeedReply(padded.substr(0, 3000));
    longest.model.FeedReply(padded.substr(3000) + "\r");
    longest.model.FeedReply("\n");
    EXPECT_EQ(LitCrosspoints(longest), Expect({{4, 4, 2}}));
}

TEST(SwitchModelReplies, GridSplitsAndMergesAudioAndVideo) {
    struct Case {
        std::vector<const char*> lines;
        std::initializer_list<GridMark> lit;
        int routeAV, routeA, routeV;  // of output 2
    };
    const Case cases[] = {
        {{"AV:1->2"}, {{2, 1, 2}}, 1, 0, 0},
        {{"AV:1->2", "AV:3->2"}, {{2, 3, 2}}, 3, 0, 0},
        // Video moves away from an audio-and-video input: that input keeps audio (mark 4).
        {{"AV:1->2", "V:3->2"}, {{2, 1, 4}, {2, 3, 3}}, 0, 1, 3},
        {{"AV:1->2", "A:3->2"}, {{2, 1, 3}, {2, 3, 4}}, 0, 3, 1},
        // Naming the same input again keeps the route whole.
        {{"AV:1->2", "V:1->2"}, {{2, 1, 2}}, 1, 0, 0},
        {{"AV:1->2", "A:1->2"}, {{2, 1, 2}}, 1, 0, 0},
        // The two kinds from one input merge.
        {{"A:4->2", "V:4->2"}, {{2, 4, 2}}, 4, 0, 0},
        {{"V:4->2", "A:4->2"}, {{2, 4, 2}}, 4, 0, 0},
        {{"A:1->2", "V:3->2"}, {{2, 1, 4}, {2, 3, 3}}, 0, 1, 3},
        {{"A:1->2", "A:3->2"}, {{2, 3, 4}}, 0, 3, 0},
        {{"A:1->2", "V:3->2", "AV:4->2"}, {{2, 4, 2}}, 4, 0, 0},
        // Another output is left alone.
        {{"AV:1->1", "AV:3->2"}, {{1, 1, 2}, {2, 3, 2}}, 3, 0, 0},
        // An output reported off goes dark and forgets its routes.
        {{"A:1->2", "V:3->2", "V:0->2 OFF"}, {}, 0, 0, 0},
        {{"AV:1->2", "AV:3->1", "OFF ->1"}, {{2, 1, 2}}, 1, 0, 0},
        {{"AV:1->2", "->9 OFF"}, {{2, 1, 2}}, 1, 0, 0},
    };
    for (const Case& c : cases) {
        PanelUnderTest p(4, 4);
        std::string trace;
        for (const char* line : c.lines) {
            p.model.FeedReply(std::string(line) + "\r\n");
            trace += std::string(line) + " | ";
        }
        EXPECT_EQ(LitCrosspoints(p), Expect(c.lit)) << trace;
        EXPECT_EQ(p.model.RouteAV(2), c.routeAV) << trace;
        EXPECT_EQ(p.model.RouteA(2), c.routeA) << trace;
        EXPECT_EQ(p.model.RouteV(2), c.routeV) << trace;
    }
}

TEST(SwitchModelReplies, RepliesChangeMarksOnlyNeverTheChoice) {
    PanelUnderTest p(4, 4);
    p.Press(kKeyAV);
    p.Header(3);
    const std::size_t sent = p.fx.m_sent.size();
    p.model.FeedReply("AV:1->2\r\nAll Through.\r\n2 To All\r\nV:1->1 OFF\r\n");
    EXPECT_EQ(p.model.Mode(), "B");
    EXPECT_EQ(p.model.Input(), 3);
    EXPECT_EQ(p.fx.m_sent.size(), sent);
    EXPECT_EQ(p.model.LastRouteInput(), 1);
    EXPECT_EQ(p.model.LastRouteOutput(), 2);
}

TEST(SwitchModelReplies, TwoRowShowsARouteForOneSecond) {
    PanelUnderTest p(20, 20);
    p.model.FeedReply("AV:3->5\r\n");
    EXPECT_EQ(p.fx.Look(p.model.InputKey(3)), (Look{true, kMarkBoth}));
    EXPECT_EQ(p.fx.Look(p.model.OutputKey(5)), (Look{true, kMarkBoth}));
    EXPECT_EQ(p.fx.TimerPeriod(kTimerRouteMark), kMarkTimeoutMs);

    p.model.OnMarkTimeout();
    EXPECT_TRUE(p.fx.LitKeys().empty());
    EXPECT_EQ(p.fx.Look(p.model.InputKey(3)).mark, kMarkPlain);
}

TEST(SwitchModelReplies, TwoRowMarksAudioAndVideoByWhatTheKeyShows) {
    struct Case {
        std::vector<const char*> lines;
        int inputMark, outputMark;  // of input 3 and output 5
    };
    const Case cases[] = {
        {{"A:3->5"}, 3, 3},           {{"V:3->5"}, 4, 4},           {{"A:3->5", "V:3->5"}, 2, 2},
        {{"V:3->5", "A:3->5"}, 2, 2}, {{"A:3->6", "V:3->5"}, 2, 4},  // input 3 already showed audio
        {{"A:3->5", "A:3->5"}, 3, 3},
    };
    for (const Case& c : cases) {
        PanelUnderTest p(20, 20);
        for (const char* line : c.lines) {
            p.model.FeedReply(std::string(line) + "\r\n");
        }
        EXPECT_EQ(p.fx.Look(p.model.InputKey(3)), (Look{true, c.inputMark})) << c.lines.back();
        EXPECT_EQ(p.fx.Look(p.model.OutputKey(5)), (Look{true, c.outputMark})) << c.lines.back();
    }
}

TEST(SwitchModelReplies, TwoRowAllThroughAndOutputOff) {
    PanelUnderTest p(20, 17);
    p.model.FeedReply("All Through.\r\n");
    EXPECT_EQ(p.fx.LitKeys().size(), 37u);  // every input and output key
    EXPECT_EQ(p.fx.TimerPeriod(kTimerAllThroughMark), kMarkTimeoutMs);
    p.model.FeedReply("->4 OFF\r\n");
    EXPECT_EQ(p.fx.Look(p.model.OutputKey(4)), (Look{false, kMarkPlain}));
    p.model.OnMarkTimeout();
    EXPECT_TRUE(p.fx.LitKeys().empty());
}

TEST(SwitchModelReplies, KeypadReadsOnlyTheDemonstrationState) {
    PanelUnderTest p(64, 64);
    p.model.FeedReply("AV:1->1\r\nAll Through.\r\n1 To All\r\n->1 OFF\r\n");
    EXPECT_TRUE(p.fx.m_keys.empty());
    EXPECT_TRUE(p.fx.m_timerStarts.empty());
    EXPECT_EQ(p.model.LastRouteInput(), 0);

    p.model.FeedReply("Demo Mode\r\n");
    EXPECT_EQ(p.fx.Look(kKeyDemo), (Look{true, kMarkPlain}));
    p.model.FeedReply("Normal Mode\r\n");
    EXPECT_EQ(p.fx.Look(kKeyDemo), (Look{false, kMarkPlain}));
}

TEST(SwitchModelReplies, ShowReplyAppendsTheTextAsReceived) {
    PanelUnderTest p(4, 4);
    p.model.ShowReply("AV:1-");
    p.model.ShowReply(">1\r\nnoise\n");
    EXPECT_EQ(p.fx.m_replyBox, "AV:1->1\r\nnoise\n");
    EXPECT_EQ(LitCrosspoints(p), Expect({{1, 1, 2}}));
}
