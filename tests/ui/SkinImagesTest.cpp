#include "ui/SkinImages.h"

#include <gtest/gtest.h>

#include <QDir>

#include "tests/support/Sandbox.h"

namespace {

using ui::SkinImages;

TEST(SkinImages, CutRegionRemovesKeyPixelsOnlyFromTheGivenRows) {
    QImage image(10, 10, QImage::Format_RGB32);
    image.fill(Qt::black);
    image.setPixelColor(2, 1, ui::KeyColour);  // above the cut rows: stays
    for (int x = 0; x < 4; ++x) image.setPixelColor(x, 8, ui::KeyColour);
    QRegion region = SkinImages::CutRegion(image, 10, 10, 5, 20);
    EXPECT_TRUE(region.contains(QPoint(2, 1)));
    for (int x = 0; x < 4; ++x) EXPECT_FALSE(region.contains(QPoint(x, 8))) << x;
    EXPECT_TRUE(region.contains(QPoint(4, 8)));
    EXPECT_TRUE(region.contains(QPoint(9, 9)));
}

TEST(SkinImages, BuiltInBackgroundsHaveTheWindowSizes) {
    SkinImages skin(QStringLiteral("/nonexistent"));
    EXPECT_EQ(skin.Collapsed().size(), QSize(411, 307));
    EXPECT_EQ(skin.Expanded().size(), QSize(411, 385));
    // The collapsed skin's bottom corners are cut, the tab in the middle is not.
    QRegion shape = SkinImages::CutRegion(skin.Collapsed(), 411, 307, 283, 308);
    EXPECT_FALSE(shape.contains(QPoint(0, 300)));
    EXPECT_FALSE(shape.contains(QPoint(410, 300)));
    EXPECT_TRUE(shape.contains(QPoint(201, 300)));
    EXPECT_TRUE(shape.contains(QPoint(0, 282)));
}

TEST(SkinImages, BitmapFilesInTheFolderOverrideTheBuiltInSkins) {
    testing_support::Sandbox sandbox;
    QDir folder(QString::fromStdString(sandbox.Path().string()));
    ASSERT_TRUE(folder.mkpath(QStringLiteral("res")));
    QImage collapsed(411, 307, QImage::Format_RGB32);
    collapsed.fill(QColor(10, 200, 30));
    ASSERT_TRUE(collapsed.save(folder.filePath(QStringLiteral("res/bg2.bmp")), "BMP"));
    SkinImages skin(folder.path());
    EXPECT_EQ(skin.Collapsed().pixelColor(5, 5), QColor(10, 200, 30));
    // No "res/bg.bmp": the expanded skin is the built-in one.
    EXPECT_NE(skin.Expanded().pixelColor(5, 5), QColor(10, 200, 30));
    EXPECT_EQ(skin.Expanded().size(), QSize(411, 385));
}

}  // namespace
