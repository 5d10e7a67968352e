// The icon files in the menu must be the window's icon: painted by the same code at each size,
// sharp at the large sizes rather than a 32-pixel picture blown up.
#include <gtest/gtest.h>

#include <QDirIterator>
#include <QImage>
#include <QRegularExpression>

#include <cmath>

#include "controls/ControlIcons.h"
#include "support/PixelCheck.h"

namespace {

constexpr int kIconSizes[] = {16, 24, 32, 48, 64, 128, 256};

// A point of the 32-pixel design at another size.
QColor At(const QImage& image, double x, double y) {
    const double factor = image.width() / static_cast<double>(kStandardIconSize);
    return image.pixelColor(static_cast<int>(std::floor(x * factor)),
                            static_cast<int>(std::floor(y * factor)));
}

TEST(AppIconTest, AtTheStandardSizeEveryIconIsTheWindowsPixmap) {
    for (const int id : {kIconApplication, kIconRadioOn, kIconRadioOff, kIconTriangleUp,
                         kIconTriangleDown, kIconCheckOff, kIconCheckOn}) {
        const QImage painted = PaintIcon(id, kStandardIconSize);
        const QImage loaded = LoadIcon(id).toImage().convertToFormat(painted.format());
        EXPECT_EQ(painted, loaded) << id;
    }
    EXPECT_TRUE(PaintIcon(999, 64).isNull());
}

TEST(AppIconTest, EverySizeShowsTheGridWithItsLitCrosspoint) {
    for (const int size : kIconSizes) {
        SCOPED_TRACE(size);
        const QImage icon = PaintIcon(kIconApplication, size);
        ASSERT_EQ(icon.size(), QSize(size, size));
        EXPECT_EQ(qAlpha(icon.pixel(0, 0)), 0);  // rounded corner stays transparent
        EXPECT_EQ(qAlpha(icon.pixel(size - 1, size - 1)), 0);
        EXPECT_COLOUR_NEAR(At(icon, 19, 13), QColor(255, 0, 0));      // row 2, column 3: lit
        EXPECT_COLOUR_NEAR(At(icon, 7, 7), QColor(255, 255, 255));    // an unlit crosspoint
        EXPECT_COLOUR_NEAR(At(icon, 25, 25), QColor(255, 255, 255));  // the last one
        if (size >= kStandardIconSize) {  // gaps narrower than a pixel below that
            EXPECT_COLOUR_NEAR(At(icon, 10.5, 10.5), QColor(80, 133, 175));
        }
    }
}

TEST(AppIconTest, LargeSizesArePaintedNotEnlarged) {
    // At 256 pixels a crosspoint's edge falls on a pixel boundary: full white inside, the
    // plain background one pixel out. A scaled-up 32-pixel image would blend them.
    const QImage icon = PaintIcon(kIconApplication, 256);
    EXPECT_EQ(icon.pixelColor(40, 56), QColor(255, 255, 255));
    EXPECT_EQ(icon.pixelColor(39, 56), QColor(80, 133, 175));
    EXPECT_EQ(icon.pixelColor(71, 56), QColor(255, 255, 255));
    EXPECT_EQ(icon.pixelColor(72, 56), QColor(80, 133, 175));
}

TEST(AppIconTest, TheBuildsIconFilesArePaintedByTheSameCode) {
    int files = 0;
    const QRegularExpression folder(QStringLiteral("/(\\d+)x(\\d+)/apps/[^/]+\\.png$"));
    QDirIterator it(QStringLiteral(RENDERED_ICON_DIR), {"*.png"}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        SCOPED_TRACE(path.toStdString());
        const QRegularExpressionMatch match = folder.match(path);
        ASSERT_TRUE(match.hasMatch());
        const int size = match.captured(1).toInt();
        ASSERT_EQ(match.captured(2).toInt(), size);
        const QImage painted = PaintIcon(kIconApplication, size);
        const QImage file = QImage(path).convertToFormat(painted.format());
        EXPECT_EQ(file, painted);
        ++files;
    }
    // At least every size (a renamed icon leaves its old files in an incremental build).
    EXPECT_GE(files, static_cast<int>(std::size(kIconSizes)));
}

}  // namespace
