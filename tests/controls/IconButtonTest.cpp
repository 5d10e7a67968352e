#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include <memory>

#include "controls/CIconButton.h"
#include "controls/ControlIcons.h"
#include "support/PixelCheck.h"

namespace {

const QColor kTeal(20, 133, 127);

TEST(ControlIconsTest, EveryIconIsDrawnWithTransparentCorners) {
    for (const int id : {141, 142, 145, 153, 154, 155}) {
        SCOPED_TRACE(id);
        const QImage icon = LoadIcon(id).toImage();
        ASSERT_EQ(icon.size(), QSize(32, 32));
        EXPECT_EQ(qAlpha(icon.pixel(0, 0)), 0);
        EXPECT_EQ(qAlpha(icon.pixel(31, 31)), 0);
        EXPECT_GT(qAlpha(icon.pixel(16, 16)), 200);
    }
    EXPECT_TRUE(LoadIcon(999).isNull());
}

TEST(ControlIconsTest, PairsDifferByTheirMotif) {
    const auto at = [](int id, int x, int y) { return LoadIcon(id).toImage().pixelColor(x, y); };
    // Radio: the selected mark has a black centre.
    EXPECT_COLOUR_NEAR(at(142, 16, 16), QColor(255, 255, 255));
    EXPECT_COLOUR_NEAR(at(141, 16, 16), QColor(0, 0, 0));
    // Triangles: the wide side is at the bottom for "up" and at the top for "down".
    EXPECT_GT(at(145, 10, 21).green(), 150);
    EXPECT_LT(at(145, 10, 21).red(), 50);
    EXPECT_LT(at(145, 10, 11).green(), 100);
    EXPECT_GT(at(153, 10, 11).green(), 150);
    EXPECT_LT(at(153, 10, 21).green(), 100);
    // Check box: a red tick in the selected one only.
    const QImage off = LoadIcon(154).toImage();
    const QImage on = LoadIcon(155).toImage();
    int red = 0;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            const QColor c = on.pixelColor(x, y);
            red += c.red() > 180 && c.green() < 80 && c.alpha() == 255 ? 1 : 0;
        }
    }
    EXPECT_GT(red, 10);
    EXPECT_COLOUR_NEAR(off.pixelColor(16, 16), QColor(255, 255, 255));
}

class IconButtonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_host = std::make_unique<QWidget>();
        m_host->resize(300, 100);
        m_button =
            new CIconButton(142, 141, "Hex", QRect(10, 10, 120, 30), m_host.get(), 1031, false);
        m_host->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_host.get()));
    }

    std::unique_ptr<QWidget> m_host;
    CIconButton* m_button = nullptr;
};

TEST_F(IconButtonTest, DrawsIconFillAndRightAlignedWhiteCaption) {
    const QImage image = Grab(*m_button);
    EXPECT_COLOUR_NEAR(image.pixelColor(0, 0), kTeal);  // transparent icon edge over the fill
    EXPECT_COLOUR_NEAR(image.pixelColor(60, 5), kTeal);
    EXPECT_COLOUR_NEAR(image.pixelColor(16, 16), QColor(255, 255, 255));  // empty radio mark
    // The caption sits at the right end, below y = 10.
    EXPECT_GT(CountWhitish(image, QRect(85, 10, 35, 20)), 5);
    EXPECT_EQ(CountWhitish(image, QRect(35, 0, 50, 30)), 0);
    EXPECT_EQ(CountWhitish(image, QRect(32, 0, 88, 10)), 0);
}

TEST_F(IconButtonTest, ClickLeavesTheSelectionToTheOwner) {
    const QImage before = Grab(*m_button);
    QSignalSpy clicked(m_button, &QPushButton::clicked);
    QTest::mouseClick(m_button, Qt::LeftButton, {}, QPoint(60, 15));
    EXPECT_EQ(clicked.count(), 1);
    EXPECT_FALSE(m_button->IsSelected());
    EXPECT_EQ(Grab(*m_button), before);

    m_button->SetSelected(true);
    EXPECT_TRUE(m_button->IsSelected());
    EXPECT_COLOUR_NEAR(Grab(*m_button).pixelColor(16, 16), QColor(0, 0, 0));
}

}  // namespace
