#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "controls/CIconButton.h"
#include "controls/ControlIcons.h"
#include "support/PixelCheck.h"

namespace {

TEST(ControlIconsTest, IconsHaveTransparentEdgesAndTheirMotifs) {
    for (const int id : {141, 142, 145, 153, 154, 155}) {
        const QImage icon = LoadIcon(id).toImage();
        ASSERT_EQ(icon.size(), QSize(32, 32)) << id;
        EXPECT_EQ(qAlpha(icon.pixel(0, 0)), 0) << id;
        EXPECT_EQ(qAlpha(icon.pixel(16, 16)), 255) << id;
    }
    const auto at = [](int id, int x, int y) { return LoadIcon(id).toImage().pixelColor(x, y); };
    EXPECT_COLOUR_NEAR(at(142, 16, 16), QColor(255, 255, 255));  // empty radio mark
    EXPECT_COLOUR_NEAR(at(141, 16, 16), QColor(0, 0, 0));        // with its dot
    EXPECT_COLOUR_NEAR(at(154, 21, 12), QColor(255, 255, 255));  // empty check box
    EXPECT_GT(at(155, 21, 12).red(), 180);                       // the red tick
    EXPECT_GT(at(145, 10, 21).green(), 150);                     // up: the wide side at the bottom
    EXPECT_LT(at(145, 10, 11).green(), 100);
    EXPECT_GT(at(153, 10, 11).green(), 150);  // down: at the top
    EXPECT_TRUE(LoadIcon(999).isNull());
}

TEST(IconButtonTest, DrawsFillIconAndCaptionAndAClickChangesNothing) {
    QWidget host;
    host.resize(300, 100);
    auto* button = new CIconButton(142, 141, "Hex", QRect(10, 10, 120, 30), &host, 1031, false);
    host.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));

    const QImage image = Grab(*button);
    EXPECT_COLOUR_NEAR(image.pixelColor(0, 0), QColor(20, 133, 127));  // fill under the edge
    EXPECT_COLOUR_NEAR(image.pixelColor(16, 16), QColor(255, 255, 255));
    // White caption at the right end, not above y = 10.
    EXPECT_GT(CountWhitish(image, QRect(85, 10, 35, 20)), 5);
    EXPECT_EQ(CountWhitish(image, QRect(35, 0, 50, 30)), 0);
    EXPECT_EQ(CountWhitish(image, QRect(32, 0, 88, 10)), 0);

    QSignalSpy clicked(button, &QPushButton::clicked);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(60, 15));
    EXPECT_EQ(clicked.count(), 1);
    EXPECT_FALSE(button->IsSelected());
    EXPECT_EQ(Grab(*button), image);

    button->SetSelected(true);
    EXPECT_COLOUR_NEAR(Grab(*button).pixelColor(16, 16), QColor(0, 0, 0));
}

}  // namespace
