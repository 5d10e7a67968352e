#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include "controls/CGradientButton.h"
#include "controls/CTextLabel.h"
#include "support/PixelCheck.h"

namespace {

// The focus cue's outline: 3 px inside every edge of the key.
constexpr int kInset = 3;

bool OnOutline(const QSize& size, int x, int y) {
    const int left = kInset;
    const int top = kInset;
    const int right = size.width() - 1 - kInset;
    const int bottom = size.height() - 1 - kInset;
    if (x < left || x > right || y < top || y > bottom) {
        return false;
    }
    return x == left || x == right || y == top || y == bottom;
}

bool IsBlack(const QColor& c) {
    return Near(c, Qt::black, 10);
}

// Pixels where `cued` differs from `plain` that lie off the outline.
int ChangesOffTheOutline(const QImage& plain, const QImage& cued) {
    int count = 0;
    for (int y = 0; y < plain.height(); ++y) {
        for (int x = 0; x < plain.width(); ++x) {
            if (!OnOutline(plain.size(), x, y) && plain.pixel(x, y) != cued.pixel(x, y)) {
                ++count;
            }
        }
    }
    return count;
}

struct SideCount {
    int black = 0;
    int length = 0;
};

// Black pixels on one side of the outline: 0 top, 1 bottom, 2 left, 3 right.
SideCount BlackOnSide(const QImage& image, int side) {
    const int right = image.width() - 1 - kInset;
    const int bottom = image.height() - 1 - kInset;
    SideCount result;
    const bool across = side < 2;
    const int fixed = side == 0 ? kInset : side == 1 ? bottom : side == 2 ? kInset : right;
    const int last = across ? right : bottom;
    for (int t = kInset; t <= last; ++t) {
        const QColor c = across ? image.pixelColor(t, fixed) : image.pixelColor(fixed, t);
        result.black += IsBlack(c) ? 1 : 0;
        ++result.length;
    }
    return result;
}

int BlackOnOutline(const QImage& image) {
    int count = 0;
    for (int side = 0; side < 4; ++side) {
        count += BlackOnSide(image, side).black;
    }
    return count;
}

// Two keys in a window of their own; `m_key` is created first, so the window's activation
// puts the focus on it, as it does on a panel's first key.
class KeyFocusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_host = std::make_unique<QWidget>();
        m_host->resize(300, 200);
        m_key = new CGradientButton("Save", QRect(100, 100, 50, 30), m_host.get(), 4360);
        m_other = new CGradientButton("Load", QRect(200, 100, 50, 30), m_host.get(), 4361);
        m_host->show();
        m_host->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_host.get()));
        MouseAway();
    }
    void TearDown() override {
        if (m_host) {
            MouseAway();
        }
    }

    void MouseAway() {
        QTest::mouseMove(m_host.get(), QPoint(5, 195));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !m_key->IsHovering(); }, 5000));
    }
    void Press(Qt::Key key) { QTest::keyClick(QApplication::focusWidget(), key); }
    // Tab round to `m_key`, whichever of the two keys has the focus.
    void TabToKey() {
        Press(Qt::Key_Tab);
        if (!m_key->hasFocus()) {
            Press(Qt::Key_Tab);
        }
        ASSERT_TRUE(m_key->hasFocus());
    }

    std::unique_ptr<QWidget> m_host;
    CGradientButton* m_key = nullptr;
    CGradientButton* m_other = nullptr;
};

TEST_F(KeyFocusTest, KeyboardFocusDrawsADottedOutlineThreePixelsInsideInEveryLook) {
    struct Case {
        const char* name;
        int litStyle;  // 0: not lit
    };
    const Case cases[] = {{"plain", 0}, {"lit 1", 1}, {"lit 2", 2}, {"lit 3", 3}, {"lit 4", 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_key->SetLitStyle(c.litStyle != 0, c.litStyle != 0 ? c.litStyle : 1);
        if (m_key->hasFocus()) {
            Press(Qt::Key_Tab);
        }
        const QImage plain = Grab(*m_key);
        EXPECT_EQ(BlackOnOutline(plain), 0);

        TabToKey();
        const QImage cued = Grab(*m_key);
        EXPECT_EQ(ChangesOffTheOutline(plain, cued), 0);
        for (int side = 0; side < 4; ++side) {
            SCOPED_TRACE(side);
            // Dotted: a good part of each side is black, and a good part is not.
            const SideCount count = BlackOnSide(cued, side);
            EXPECT_GE(count.black, count.length / 4);
            EXPECT_LE(count.black, count.length * 3 / 4);
        }

        Press(Qt::Key_Tab);  // away again: the key looks as before
        EXPECT_FALSE(m_key->hasFocus());
        EXPECT_EQ(Grab(*m_key), plain);
    }
}

TEST_F(KeyFocusTest, FocusFromTheMouseShowsNoCueAndAClickTakesTheCueAway) {
    QTest::mouseMove(m_key, QPoint(25, 15));
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_key->IsHovering(); }, 5000));
    Press(Qt::Key_Tab);
    ASSERT_TRUE(m_other->hasFocus());
    const QImage hovered = Grab(*m_key);

    QTest::mouseClick(m_key, Qt::LeftButton, {}, QPoint(25, 15));
    EXPECT_TRUE(m_key->hasFocus());
    EXPECT_EQ(Grab(*m_key), hovered);

    Press(Qt::Key_Tab);
    Press(Qt::Key_Backtab);
    ASSERT_TRUE(m_key->hasFocus());
    EXPECT_GT(BlackOnOutline(Grab(*m_key)), 10);

    QTest::mouseClick(m_key, Qt::LeftButton, {}, QPoint(25, 15));
    EXPECT_TRUE(m_key->hasFocus());
    EXPECT_EQ(Grab(*m_key), hovered);
}

TEST_F(KeyFocusTest, EveryNavigationKeyShowsTheCueWhereTheFocusLands) {
    // The arrows move between plain push buttons like Tab; a Tab in a window whose only
    // other control is gone leaves the focus where it is, and the cue still appears.
    const Qt::Key keys[] = {Qt::Key_Tab,  Qt::Key_Backtab, Qt::Key_Right,
                            Qt::Key_Left, Qt::Key_Down,    Qt::Key_Up};
    for (const bool alone : {false, true}) {
        m_other->setEnabled(!alone);
        for (const Qt::Key key : keys) {
            SCOPED_TRACE(testing::Message() << "key " << key << (alone ? " alone" : ""));
            QTest::mouseClick(m_key, Qt::LeftButton);
            MouseAway();
            ASSERT_TRUE(m_key->hasFocus());
            ASSERT_EQ(BlackOnOutline(Grab(*m_key)), 0);

            Press(key);
            CGradientButton* focused = alone ? m_key : m_other;
            EXPECT_TRUE(focused->hasFocus());
            EXPECT_GT(BlackOnOutline(Grab(*focused)), 10);
            if (!alone) {
                EXPECT_EQ(BlackOnOutline(Grab(*m_key)), 0);
            }
        }
    }
}

TEST_F(KeyFocusTest, TheCueComesBackWithTheWindowOnlyIfItWasThere) {
    QWidget elsewhere;
    elsewhere.resize(100, 100);
    elsewhere.show();
    for (const bool byKeyboard : {true, false}) {
        SCOPED_TRACE(byKeyboard ? "reached by Tab" : "clicked");
        if (byKeyboard) {
            TabToKey();
        } else {
            QTest::mouseClick(m_key, Qt::LeftButton);
            MouseAway();
        }
        ASSERT_EQ(BlackOnOutline(Grab(*m_key)) > 0, byKeyboard);

        elsewhere.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
        EXPECT_EQ(BlackOnOutline(Grab(*m_key)), 0);  // an inactive window shows no focus

        m_host->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_host.get()));
        ASSERT_TRUE(m_key->hasFocus());
        EXPECT_EQ(BlackOnOutline(Grab(*m_key)) > 0, byKeyboard);
    }
}

// ---- accessibility -------------------------------------------------------------------------

TEST(ControlAccessTest, KeysAreButtonsNamedByTheirCaptionThatAutomationCanPress) {
    QWidget host;
    host.resize(200, 100);
    auto* key = new CGradientButton("TCP/IP", QRect(10, 10, 70, 30), &host, 1003);
    host.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    key->setText("changed later");

    QAccessibleInterface* access = QAccessible::queryAccessibleInterface(key);
    ASSERT_NE(access, nullptr);
    EXPECT_EQ(access->text(QAccessible::Name), "TCP/IP");
    EXPECT_EQ(access->role(), QAccessible::Button);

    QAccessibleActionInterface* actions = access->actionInterface();
    ASSERT_NE(actions, nullptr);
    EXPECT_TRUE(actions->actionNames().contains(QAccessibleActionInterface::pressAction()));
    QSignalSpy clicks(key, &QAbstractButton::clicked);
    actions->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_TRUE(clicks.wait(2000));
    QTest::qWait(200);  // no second click follows
    EXPECT_EQ(clicks.count(), 1);
}

TEST(ControlAccessTest, LabelsAreStaticTextNamedByTheirCaption) {
    QWidget host;
    auto* label = new CTextLabel("Outputs:", Qt::AlignLeft, QRect(0, 0, 80, 25), &host, 1);
    label->setText("changed later");
    QAccessibleInterface* access = QAccessible::queryAccessibleInterface(label);
    ASSERT_NE(access, nullptr);
    EXPECT_EQ(access->text(QAccessible::Name), "Outputs:");
    EXPECT_EQ(access->role(), QAccessible::StaticText);
}

}  // namespace
