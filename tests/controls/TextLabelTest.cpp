#include <gtest/gtest.h>

#include <QTest>

#include <memory>

#include "controls/CTextLabel.h"
#include "platform/qt/ControlId.h"
#include "support/PixelCheck.h"

namespace {

TEST(TextLabelTest, PaintsWhiteRightAlignedWithoutBackgroundWhateverItsAlignment) {
    const QColor background(80, 133, 175);
    QWidget host;
    host.resize(200, 60);
    host.setAutoFillBackground(true);
    QPalette palette = host.palette();
    palette.setColor(QPalette::Window, background);
    host.setPalette(palette);
    auto* label = new CTextLabel("Inputs:", Qt::AlignLeft | Qt::AlignVCenter,
                                 QRect(30, 10, 120, 40), &host, 0);
    host.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    EXPECT_EQ(ControlId(label), 0);

    label->setText("changed later");
    const QImage image = Grab(host);
    const QRect box = label->geometry();
    EXPECT_COLOUR_NEAR(image.pixelColor(box.topLeft()), background);      // no fill
    EXPECT_COLOUR_NEAR(image.pixelColor(box.bottomRight()), background);  // top-aligned
    EXPECT_EQ(CountWhitish(image, QRect(box.left(), box.top(), 55, 40)), 0);
    EXPECT_GT(CountWhitish(image, QRect(box.left() + 60, box.top(), 60, 20)), 10);
    EXPECT_EQ(CountWhitish(image, QRect(box.left(), box.top() + 22, 120, 18)), 0);
}

}  // namespace
