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
#include "platform/qt/ControlId.h"
#include "platform/qt/WindowTimers.h"
#include "support/PixelCheck.h"

namespace {

// A panel in a window of its own; the send path and the reply box are recorded.
class PanelHarness {
  public:
    PanelHarness(int inputs, int outputs) {
        CStFunView::Hooks hooks;
        hooks.send = [this](const std::string& text, ReplyRoute route, TerminatorFlag flag) {
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

    void Click(int id) {  // the real button, as the operator clicks it
        auto* key = FindControlAs<CGradientButton>(m_view.get(), id);
        ASSERT_NE(key, nullptr) << id;
        QTest::mouseClick(key, Qt::LeftButton);
    }
    CStFunView& View() { return *m_view; }
    CGradientButton& Key(int id) { return *m_view->Key(id); }
    const WindowTimers& Timers() { return m_view->Timers(); }

    bool m_exposed = false;
    std::vector<std::string> m_wire;
    std::vector<int> m_routes;
    std::string m_replyBox;

  private:
    std::unique_ptr<CStFunView> m_view;
};

TEST(StFunViewBehaviourTest, ClicksOnTheKeysSendTheExactCommands) {
    // Grid 4 x 4: header i = 4608 + i, label o = 4608 + 5 o, crosspoint = 4608 + 5 o + i.
    // Two-row 20 x 20: input j = 4607 + j, output j = 4627 + j. Keypad: 4608.. digits 1..9, 0.
    struct Case {
        const char* name;
        int count;  // inputs and outputs
        std::vector<int> clicks;
        std::vector<std::string> wire;
    };
    const Case cases[] = {
        {"grid AV, input 3, output 2", 4, {4352, 4611, 4618}, {"3B2."}},
        {"grid crosspoint", 4, {4608 + 5 * 2 + 4}, {"4B2."}},
        {"grid label alone asks for status", 4, {4608 + 15}, {"Status3."}},
        {"grid AV keeps the input", 4, {4352, 4609, 4613, 4623}, {"1B1.", "1B3."}},
        {"all through", 4, {4355, 4356}, {"All#."}},
        {"lock and unlock", 4, {4363, 4364}, {"/%Lock;", "/%Unlock;"}},
        {"two-row input 7, output 12", 20, {4614, 4639}, {"7B12."}},
        {"two-row save preset 3", 20, {4360, 4630}, {"Save3."}},
        {"keypad 12 to 3", 64, {4608, 4609, 4620, 5121}, {"12B3."}},
        {"keypad status of output 10", 64, {4618, 4627, 5121}, {"Status10."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PanelHarness panel(c.count, c.count);
        ASSERT_TRUE(panel.m_exposed);
        for (const int id : c.clicks) {
            panel.Click(id);
        }
        EXPECT_EQ(panel.m_wire, c.wire);
        EXPECT_EQ(panel.m_routes, std::vector<int>(c.wire.size(), kRoutePanel));
    }
}

TEST(StFunViewBehaviourTest, KeypadFieldsShowTheDigitsAndAnOutOfRangeNumberIsRefused) {
    PanelHarness panel(64, 64);
    ASSERT_TRUE(panel.m_exposed);
    QLineEdit* in = panel.View().NumberFieldEdit(NumberField::Input);
    for (const int id : {4352, 4609, 4617, 4617, 4617, 4618}) {  // AV, 2, 0, 0, 0 (too many), 1
        panel.Click(id);
    }
    EXPECT_EQ(in->text(), "200");
    EXPECT_EQ(panel.View().NumberFieldEdit(NumberField::Output)->text(), "1");
    panel.Click(5121);
    EXPECT_TRUE(panel.m_wire.empty());
    EXPECT_EQ(panel.m_replyBox, "Please input one number of 1 ~ 128!");
    EXPECT_EQ(QApplication::focusWidget(), in);
}

TEST(StFunViewBehaviourTest, GridRouteReplyMarksTheCrosspoint) {
    PanelHarness panel(4, 4);
    ASSERT_TRUE(panel.m_exposed);
    QTest::mouseMove(&panel.View(), QPoint(700, 240));
    panel.View().ShowReply("AV:2");
    panel.View().ShowReply("->3\r\n");
    EXPECT_EQ(panel.m_replyBox, "AV:2->3\r\n");
    CGradientButton& key = panel.Key(4608 + 5 * 3 + 2);  // output 3, input 2
    EXPECT_TRUE(key.IsLit());
    EXPECT_EQ(key.GetLitStyle(), 2);
    const QImage image = Grab(key);
    EXPECT_COLOUR_NEAR(image.pixelColor(1, 0), QColor(255, 255, 255));
    EXPECT_COLOUR_NEAR(image.pixelColor(1, image.height() - 1), QColor(255, 0, 0));
    EXPECT_FALSE(panel.Timers().IsActive(4));  // grid marks stay
}

TEST(StFunViewBehaviourTest, TwoRowRouteMarksLastOneSecond) {
    PanelHarness panel(20, 20);
    ASSERT_TRUE(panel.m_exposed);
    const int input3 = 4610;
    const int output5 = 4632;
    panel.View().FeedReply("AV:3->5\r\n");
    EXPECT_TRUE(panel.Key(input3).IsLit() && panel.Key(output5).IsLit());
    EXPECT_EQ(panel.Key(output5).GetLitStyle(), 2);
    EXPECT_EQ(panel.Timers().Interval(4), 1000);

    EXPECT_TRUE(QTest::qWaitFor([&] { return !panel.Key(input3).IsLit(); }, 10000));
    EXPECT_FALSE(panel.Key(output5).IsLit());
    EXPECT_FALSE(panel.Timers().IsActive(4));  // one-shot

    panel.View().FeedReply("All Through.\r\n");
    EXPECT_TRUE(panel.Key(4608).IsLit());
    EXPECT_EQ(panel.Timers().Interval(3), 1000);
    panel.View().OnTimer(3);
    EXPECT_FALSE(panel.Timers().IsActive(3));
    EXPECT_FALSE(panel.Key(4608).IsLit());
}

TEST(StFunViewBehaviourTest, HighlightTimerEndsTheFunctionKeyLight) {
    PanelHarness panel(4, 4);
    ASSERT_TRUE(panel.m_exposed);
    panel.Click(4352);
    EXPECT_TRUE(panel.Key(4352).IsLit());
    EXPECT_EQ(panel.Timers().Interval(5), 10000);
    EXPECT_TRUE(panel.Timers().IsActive(5));
    panel.View().OnTimer(5);
    EXPECT_FALSE(panel.Key(4352).IsLit());
    EXPECT_FALSE(panel.Timers().IsActive(5));
}

}  // namespace
