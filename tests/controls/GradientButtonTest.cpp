#include <gtest/gtest.h>

#include <QTest>

#include <memory>

#include "controls/CGradientButton.h"
#include "support/PixelCheck.h"

namespace {

const QColor kWhite(255, 255, 255);
const QColor kGreen(0, 255, 0);

class GradientButtonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_host = std::make_unique<QWidget>();
        m_host->resize(300, 200);
        m_button = new CGradientButton("Save", QRect(100, 100, 50, 30), m_host.get(), 4360);
        m_host->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_host.get()));
        Hover(false);  // the offscreen cursor starts near where new windows appear
    }
    // The next test's window appears where this one was: leave the cursor off its button.
    void TearDown() override { Hover(false); }

    void Hover(bool on) {
        if (on) {
            QTest::mouseMove(m_button, QPoint(25, 15));
        } else {
            QTest::mouseMove(m_host.get(), QPoint(5, 195));
        }
        // QTRY_* would report to QTest, not to gtest.
        ASSERT_TRUE(QTest::qWaitFor([&] { return m_button->IsHovering() == on; }, 5000));
    }
    QColor Top() { return Grab(*m_button).pixelColor(1, 0); }
    QColor Bottom() { return Grab(*m_button).pixelColor(1, m_button->height() - 1); }

    std::unique_ptr<QWidget> m_host;
    CGradientButton* m_button = nullptr;
};

TEST_F(GradientButtonTest, FreshButtonIsWhiteAndHoverTurnsItsTopGreen) {
    EXPECT_FALSE(m_button->IsLit());
    EXPECT_EQ(m_button->GetLitStyle(), 1);
    EXPECT_COLOUR_NEAR(Top(), kWhite);
    EXPECT_COLOUR_NEAR(Bottom(), kWhite);
    Hover(true);
    EXPECT_COLOUR_NEAR(Top(), kGreen);
    EXPECT_COLOUR_NEAR(Bottom(), kWhite);
    Hover(false);
    EXPECT_COLOUR_NEAR(Top(), kWhite);
}

TEST_F(GradientButtonTest, EachLitStyleHasItsColours) {
    struct Case {
        int style;
        QColor top, bottom;
    };
    const Case cases[] = {
        {1, QColor(102, 85, 68), QColor(255, 136, 0)},
        {2, QColor(255, 255, 255), QColor(255, 0, 0)},
        {3, QColor(255, 255, 0), QColor(0, 0, 0)},
        {4, QColor(0, 255, 255), QColor(0, 0, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.style);
        m_button->SetLitStyle(true, c.style);
        EXPECT_COLOUR_NEAR(Top(), c.top);
        EXPECT_COLOUR_NEAR(Bottom(), c.bottom);
    }
}

TEST_F(GradientButtonTest, SetLitUsesTheStoredStyle) {
    m_button->SetLit(true, 0x00ff00);  // the colour argument draws nothing
    EXPECT_COLOUR_NEAR(Top(), QColor(102, 85, 68));

    m_button->SetLitStyle(false, 3);
    EXPECT_COLOUR_NEAR(Top(), kWhite);
    m_button->SetLit(true);
    EXPECT_EQ(m_button->GetLitStyle(), 3);
    EXPECT_COLOUR_NEAR(Top(), QColor(255, 255, 0));
    EXPECT_COLOUR_NEAR(Bottom(), QColor(0, 0, 0));
}

TEST_F(GradientButtonTest, HoverOverALitButtonChangesNothing) {
    m_button->SetLitStyle(true, 4);
    const QImage lit = Grab(*m_button);
    Hover(true);
    EXPECT_EQ(Grab(*m_button), lit);
    Hover(false);
    EXPECT_EQ(Grab(*m_button), lit);
    // Darkened while the pointer rests on it, it shows the hover look.
    Hover(true);
    m_button->SetLit(false);
    EXPECT_COLOUR_NEAR(Top(), kGreen);
}

TEST_F(GradientButtonTest, CaptionIsFixedAndPressedOrDisabledLooksIdle) {
    const QImage idle = Grab(*m_button);
    m_button->setText("Other");
    EXPECT_EQ(Grab(*m_button), idle);
    m_button->setDown(true);
    EXPECT_EQ(Grab(*m_button), idle);
    m_button->setDown(false);
    m_button->setEnabled(false);
    EXPECT_EQ(Grab(*m_button), idle);
}

}  // namespace
