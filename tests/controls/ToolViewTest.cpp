#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "app/CToolView.h"
#include "controls/CIconButton.h"
#include "platform/qt/ControlId.h"
#include "support/PixelCheck.h"

namespace {

TEST(ToolViewTest, GradientAndDisabledToggleAtTheRightEnd) {
    CToolView strip("", QRect(0, 0, 717, 30), nullptr, 7);
    strip.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&strip));
    EXPECT_EQ(ControlId(&strip), 7);

    CIconButton* toggle = FindControlAs<CIconButton>(&strip, 4100);
    ASSERT_NE(toggle, nullptr);
    EXPECT_EQ(toggle, strip.ToggleButton());
    EXPECT_EQ(toggle->geometry(), QRect(667, 2, 30, 30));
    EXPECT_FALSE(toggle->isEnabled());
    EXPECT_TRUE(toggle->isVisible());
    EXPECT_FALSE(toggle->IsSelected());
    EXPECT_EQ(toggle->UnselectedIcon(), 145);
    EXPECT_EQ(toggle->SelectedIcon(), 153);

    const QImage image = Grab(strip);
    EXPECT_COLOUR_NEAR(image.pixelColor(5, 0), QColor(119, 119, 119));
    EXPECT_COLOUR_NEAR(image.pixelColor(5, 29), QColor(17, 17, 17));
    // An empty caption leaves only the gradient left of the toggle.
    EXPECT_EQ(CountWhitish(image, QRect(0, 0, 660, 30)), 0);

    // A click on the disabled toggle reports nothing and changes nothing.
    QSignalSpy clicked(toggle, &QPushButton::clicked);
    QTest::mouseClick(toggle, Qt::LeftButton);
    EXPECT_EQ(clicked.count(), 0);
    EXPECT_FALSE(toggle->IsSelected());
    EXPECT_EQ(Grab(strip), image);
}

TEST(ToolViewTest, CaptionIsClippedAtHalfTheWidth) {
    const QString longCaption(80, QLatin1Char('W'));
    CToolView strip(longCaption, QRect(0, 0, 400, 30), nullptr, 6);
    strip.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&strip));
    const QImage image = Grab(strip);
    EXPECT_GT(CountWhitish(image, QRect(20, 5, 180, 15)), 20);
    EXPECT_EQ(CountWhitish(image, QRect(0, 0, 20, 30)), 0);
    EXPECT_EQ(CountWhitish(image, QRect(200, 0, 140, 30)), 0);
}

TEST(ToolViewTest, TitleCaptionIsWholeInTheTenPointSystemFont) {
    CToolView strip("Matrix Switcher Control Panel", QRect(0, 0, 717, 30), nullptr, 6);
    strip.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&strip));
    EXPECT_EQ(strip.font().pointSize(), 10);
    const QImage image = Grab(strip);
    const QRect box(QPoint(20, 5), QPoint(717 / 2 - 1, 19));
    EXPECT_GT(CountWhitish(image, box), 100);
    // No stroke reaches the first or last row of the caption's box: nothing was cut off.
    EXPECT_EQ(CountWhitish(image, QRect(box.left(), box.top(), box.width(), 1)), 0);
    EXPECT_EQ(CountWhitish(image, QRect(box.left(), box.bottom(), box.width(), 1)), 0);
}

}  // namespace
