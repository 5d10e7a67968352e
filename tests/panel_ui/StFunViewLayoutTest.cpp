#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTest>

#include <set>

#include "controls/CGradientButton.h"
#include "controls/CTextLabel.h"
#include "panel/CStFunView.h"
#include "platform/qt/ControlId.h"
#include "support/PixelCheck.h"

namespace {

std::set<int> MatrixKeyIds(const CStFunView& view) {
    std::set<int> ids;
    for (const CGradientButton* key : view.findChildren<CGradientButton*>()) {
        if (ControlId(key) >= 4608) {
            ids.insert(ControlId(key));
        }
    }
    return ids;
}

std::set<int> Range(int first, int last) {
    std::set<int> ids;
    for (int id = first; id <= last; ++id) {
        ids.insert(id);
    }
    return ids;
}

QRect At(const CStFunView& view, int id) {
    const QWidget* key = FindControl(&view, id);
    return key != nullptr ? key->geometry() : QRect();
}

TEST(StFunViewLayoutTest, FunctionKeysAndBackground) {
    CStFunView view(4, 4, QRect(0, 0, 717, 175), nullptr, 8, {});
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    int k = 1;
    for (const int id : {4352, 4355, 4356, 4357, 4358, 4360, 4361, 4362, 4363, 4364}) {
        EXPECT_EQ(At(view, id), QRect(5 + 55 * k++, 5, 50, 30)) << id;
        EXPECT_TRUE(view.Key(id)->isVisible() && view.Key(id)->isEnabled()) << id;
    }
    for (const int id : {4353, 4354, 4359}) {  // V, A, Demo
        EXPECT_TRUE(view.Key(id)->isHidden() && !view.Key(id)->isEnabled()) << id;
    }
    QTest::mouseMove(&view, QPoint(700, 170));
    const QImage image = Grab(view);
    EXPECT_COLOUR_NEAR(image.pixelColor(5, 45), QColor(80, 133, 175));
    EXPECT_COLOUR_NEAR(image.pixelColor(716, 174), QColor(80, 133, 175));
    EXPECT_COLOUR_NEAR(image.pixelColor(71, 76), QColor(255, 255, 255));  // crosspoint (1, 1)
}

TEST(StFunViewLayoutTest, GridPlacesHeadersLabelsAndCrosspoints) {
    CStFunView view(16, 16, QRect(0, 0, 717, 475), nullptr, 8, {});
    EXPECT_EQ(MatrixKeyIds(view), Range(4608, 4896));
    EXPECT_EQ(At(view, 4608), QRect(30, 50, 30, 20));
    EXPECT_EQ(view.Key(4608)->Caption(), "O\\I");
    EXPECT_EQ(At(view, 4608 + 16).x() + At(view, 4608 + 16).width(), 700);  // last header
    EXPECT_EQ(view.Key(4608 + 16)->Caption(), "16");
    EXPECT_EQ(At(view, 4608 + 16 * 17), QRect(30, 450, 30, 20));  // label of output 16
    EXPECT_EQ(At(view, 4608 + 17 + 1), QRect(70, 75, 25, 20));    // crosspoint (1, 1)
    EXPECT_EQ(At(view, 4896), QRect(670, 450, 25, 20));           // crosspoint (16, 16)

    CStFunView corner(1, 1, QRect(0, 0, 717, 100), nullptr, 8, {});
    EXPECT_EQ(MatrixKeyIds(corner), Range(4608, 4611));
}

TEST(StFunViewLayoutTest, TwoRowWrapsSixteenKeysToALine) {
    CStFunView view(32, 20, QRect(0, 0, 717, 250), nullptr, 8, {});
    EXPECT_EQ(MatrixKeyIds(view), Range(4608, 4608 + 52 - 1));
    for (int j = 1; j <= 32; ++j) {
        EXPECT_EQ(At(view, 4607 + j), QRect(130 + 35 * ((j - 1) % 16), j <= 16 ? 50 : 90, 25, 20))
            << "input " << j;
    }
    EXPECT_EQ(At(view, 4640), QRect(130, 150, 25, 20));  // output 1
    EXPECT_EQ(view.Key(4640)->Caption(), "1");
    EXPECT_EQ(At(view, 4640 + 19), QRect(235, 190, 25, 20));  // output 20

    const auto labels = view.findChildren<CTextLabel*>();
    ASSERT_EQ(labels.size(), 2);
    EXPECT_EQ(labels[0]->Caption(), "Inputs:");
    EXPECT_EQ(labels[0]->geometry(), QRect(30, 50, 80, 25));
    EXPECT_EQ(labels[1]->Caption(), "Outputs:");
    EXPECT_EQ(labels[1]->geometry(), QRect(30, 150, 80, 25));
}

TEST(StFunViewLayoutTest, KeypadHasDigitsFieldsAndEnter) {
    CStFunView view(128, 1, QRect(0, 0, 717, 250), nullptr, 8, {});
    std::set<int> expected = Range(4608, 4627);
    expected.insert(5121);
    EXPECT_EQ(MatrixKeyIds(view), expected);
    for (int k = 0; k < 10; ++k) {
        EXPECT_EQ(At(view, 4608 + k), QRect(150 + 40 * k, 80, 25, 20));
        EXPECT_EQ(At(view, 4618 + k), QRect(150 + 40 * k, 160, 25, 20));
        EXPECT_EQ(view.Key(4618 + k)->Caption(), QString::number((k + 1) % 10));
    }
    EXPECT_EQ(At(view, 5121), QRect(590, 200, 50, 20));
    QLineEdit* in = view.NumberFieldEdit(NumberField::Input);
    QLineEdit* out = view.NumberFieldEdit(NumberField::Output);
    ASSERT_TRUE(in != nullptr && out != nullptr);
    EXPECT_EQ(in->geometry(), QRect(590, 80, 80, 25));
    EXPECT_EQ(out->geometry(), QRect(590, 160, 80, 25));
    EXPECT_TRUE(in->isReadOnly() && out->isReadOnly());
    const auto labels = view.findChildren<CTextLabel*>();
    ASSERT_EQ(labels.size(), 2);
    EXPECT_EQ(labels[1]->geometry(), QRect(30, 160, 80, 25));
}

}  // namespace
