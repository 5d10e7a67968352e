#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include <memory>
#include <string>
#include <vector>

#include "controls/CGradientButton.h"
#include "link/LinkTypes.h"
#include "link/Terminator.h"
#include "panel/CStFunView.h"
#include "panel/PanelLayout.h"
#include "platform/qt/ControlId.h"
#include "platform/qt/WindowTimers.h"
#include "support/PixelCheck.h"

namespace {

// A panel in a window of its own, with the send path and the reply box recorded.
class PanelHarness {
  public:
    PanelHarness(int inputs, int outputs) {
        CStFunView::Hooks hooks;
        // What a serial link would put on the wire.
        hooks.send = [this](const std::string& text, int route, int flag) {
            m_wire.push_back(text + std::string(SerialTerminator(flag)));
            m_routes.push_back(route);
        };
        hooks.replaceReplyText = [this](const std::string& text) { m_replyBox = text; };
        hooks.appendReplyText = [this](std::string_view text) { m_replyBox += text; };
        m_view = std::make_unique<CStFunView>(inputs, outputs, QRect(0, 0, 717, 250), nullptr, 8,
                                              std::move(hooks));
        m_view->show();
        m_exposed = QTest::qWaitForWindowExposed(m_view.get());
    }

    // Clicks the real button, as the operator would.
    void Click(int id) {
        auto* key = FindControlAs<CGradientButton>(m_view.get(), id);
        ASSERT_NE(key, nullptr) << id;
        QTest::mouseClick(key, Qt::LeftButton);
    }

    CStFunView& View() { return *m_view; }
    CGradientButton& KeyAt(int id) { return *m_view->Key(id); }
    bool Exposed() const { return m_exposed; }

    std::vector<std::string> m_wire;
    std::vector<int> m_routes;
    std::string m_replyBox;

  private:
    std::unique_ptr<CStFunView> m_view;
    bool m_exposed = false;
};

struct ClickCase {
    const char* name;
    int inputs;
    int outputs;
    std::vector<int> clicks;
    std::vector<std::string> wire;
};

TEST(StFunViewBehaviourTest, ClicksOnTheKeysSendTheExactCommands) {
    // Grid 4 x 4: header i = 4608 + i, label o = 4608 + 5 o, crosspoint = 4608 + 5 o + i.
    // Two-row 20 x 20: input j = 4607 + j, output j = 4627 + j. Keypad: 4608.. digits 1..9, 0.
    const ClickCase cases[] = {
        {"grid AV, input 3, output 2", 4, 4, {4352, 4611, 4618}, {"3B2."}},
        {"grid crosspoint", 4, 4, {4608 + 5 * 2 + 4}, {"4B2."}},
        {"grid label alone asks for status", 4, 4, {4608 + 15}, {"Status3."}},
        {"grid AV keeps input for a second output",
         4,
         4,
         {4352, 4609, 4613, 4623},
         {"1B1.", "1B3."}},
        {"all through", 4, 4, {4355, 4356}, {"All#."}},
        {"lock and unlock", 4, 4, {4363, 4364}, {"/%Lock;", "/%Unlock;"}},
        {"two-row input 7, output 12", 20, 20, {4614, 4639}, {"7B12."}},
        {"two-row save preset 3", 20, 20, {4360, 4630}, {"Save3."}},
        {"keypad 12 to 3", 64, 64, {4608, 4609, 4620, 5121}, {"12B3."}},
        {"keypad status of output 10", 64, 64, {4618, 4627, 5121}, {"Status10."}},
    };
    for (const ClickCase& c : cases) {
        SCOPED_TRACE(c.name);
        PanelHarness panel(c.inputs, c.outputs);
        ASSERT_TRUE(panel.Exposed());
        for (const int id : c.clicks) {
            panel.Click(id);
        }
        EXPECT_EQ(panel.m_wire, c.wire);
        EXPECT_EQ(panel.m_routes, std::vector<int>(c.wire.size(), kRoutePanel));
    }
}

TEST(StFunViewBehaviourTest, KeypadFieldsShowTheDigitsAndAnOutOfRangeNumberIsRefused) {
    PanelHarness panel(64, 64);
    ASSERT_TRUE(panel.Exposed());
    QLineEdit* in = panel.View().NumberFieldEdit(NumberField::Input);
    QLineEdit* out = panel.View().NumberFieldEdit(NumberField::Output);
    for (const int id : {4352, 4609, 4617, 4617, 4617, 4618}) {  // AV, 2, 0, 0, 0 (ignored), 1
        panel.Click(id);
    }
    EXPECT_EQ(in->text(), "200");
    EXPECT_EQ(out->text(), "1");
    panel.Click(5121);
    EXPECT_TRUE(panel.m_wire.empty());
    EXPECT_EQ(panel.m_replyBox, "Please input one number of 1 ~ 128!");
    EXPECT_EQ(QApplication::focusWidget(), in);
}

TEST(StFunViewBehaviourTest, GridRouteReplyMarksTheCrosspoint) {
    PanelHarness panel(4, 4);
    ASSERT_TRUE(panel.Exposed());
    QTest::mouseMove(&panel.View(), QPoint(700, 240));
    const int crosspoint = 4608 + 5 * 3 + 2;  // output 3, input 2
    panel.View().ShowReply("AV:2");
    EXPECT_FALSE(panel.KeyAt(crosspoint).IsLit());
    panel.View().ShowReply("->3\r\n");
    EXPECT_EQ(panel.m_replyBox, "AV:2->3\r\n");
    CGradientButton& key = panel.KeyAt(crosspoint);
    EXPECT_TRUE(key.IsLit());
    EXPECT_EQ(key.GetLitStyle(), kMarkBoth);
    const QImage image = Grab(key);
    EXPECT_COLOUR_NEAR(image.pixelColor(1, 0), QColor(255, 255, 255));
    EXPECT_COLOUR_NEAR(image.pixelColor(1, image.height() - 1), QColor(255, 0, 0));

    // The grid keeps its marks: no mark timer runs.
    EXPECT_FALSE(panel.View().Timers().IsActive(kTimerRouteMark));

    // A partial line dropped before the next command is not read.
    panel.View().FeedReply("AV:1");
    panel.View().ClearReplyBuffer();
    panel.View().FeedReply("->4\r\n");
    EXPECT_FALSE(panel.KeyAt(4608 + 5 * 4 + 1).IsLit());
}

TEST(StFunViewBehaviourTest, TwoRowRouteReplyShowsForOneSecond) {
    PanelHarness panel(20, 20);
    ASSERT_TRUE(panel.Exposed());
    const int input3 = 4608 + 2;
    const int output5 = 4608 + 20 + 4;
    panel.View().FeedReply("AV:3->5\r\n");
    EXPECT_TRUE(panel.m_replyBox.empty());  // FeedReply reads only
    for (const int id : {input3, output5}) {
        EXPECT_TRUE(panel.KeyAt(id).IsLit());
        EXPECT_EQ(panel.KeyAt(id).GetLitStyle(), kMarkBoth);
    }
    EXPECT_TRUE(panel.View().Timers().IsActive(kTimerRouteMark));
    EXPECT_EQ(panel.View().Timers().Interval(kTimerRouteMark), 1000);

    QTRY_VERIFY_WITH_TIMEOUT(!panel.KeyAt(input3).IsLit(), 10000);
    EXPECT_FALSE(panel.KeyAt(output5).IsLit());
    EXPECT_EQ(panel.KeyAt(output5).GetLitStyle(), kMarkPlain);
    EXPECT_FALSE(panel.View().Timers().IsActive(kTimerRouteMark));  // one-shot
}

TEST(StFunViewBehaviourTest, AllThroughMarksUseTimerThree) {
    PanelHarness panel(20, 20);
    ASSERT_TRUE(panel.Exposed());
    panel.View().FeedReply("All Through.\r\n");
    EXPECT_TRUE(panel.KeyAt(4608).IsLit());
    EXPECT_EQ(panel.View().Timers().Interval(kTimerAllThroughMark), 1000);
    panel.View().OnTimer(kTimerAllThroughMark);
    EXPECT_FALSE(panel.View().Timers().IsActive(kTimerAllThroughMark));
    EXPECT_FALSE(panel.KeyAt(4608).IsLit());
}

TEST(StFunViewBehaviourTest, HighlightTimerEndsTheFunctionKeyLight) {
    PanelHarness panel(4, 4);
    ASSERT_TRUE(panel.Exposed());
    panel.Click(kKeyAV);
    EXPECT_TRUE(panel.KeyAt(kKeyAV).IsLit());
    EXPECT_TRUE(panel.View().Timers().IsActive(kTimerHighlight));
    EXPECT_EQ(panel.View().Timers().Interval(kTimerHighlight), 10000);

    panel.View().OnTimer(kTimerHighlight);
    EXPECT_FALSE(panel.KeyAt(kKeyAV).IsLit());
    EXPECT_FALSE(panel.View().Timers().IsActive(kTimerHighlight));
    EXPECT_EQ(panel.View().Model().Mode(), "B");  // the mode outlives the light
}

}  // namespace
