#include <gtest/gtest.h>

#include <QBitmap>

#include "tests/ui/qt_test_env.h"
#include "ui/main/toolbar.h"
#include "ui/pictures/icons.h"

using namespace varnell;

TEST(TrueColorToolBar, A288PixelStripGivesNineMaskedImages)
{
    const QImage strip = ToolbarStrip(false);
    ASSERT_EQ(strip.width(), 288);
    EXPECT_EQ(strip.depth(), 24);
    const QList<QPixmap> images = CTrueColorToolBar::SplitStrip(strip, 32);
    ASSERT_EQ(images.size(), 9);
    for (const QPixmap& pm : images) {
        EXPECT_EQ(pm.size(), QSize(32, 32));
        const QImage img = pm.toImage().convertToFormat(QImage::Format_ARGB32);
        // Corners are background: transparent. The centre is art: opaque.
        EXPECT_EQ(qAlpha(img.pixel(0, 0)), 0);
        EXPECT_EQ(qAlpha(img.pixel(31, 0)), 0);
        int opaque = 0;
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x)
                opaque += qAlpha(img.pixel(x, y)) == 255 ? 1 : 0;
        EXPECT_GT(opaque, 100);
    }
}

TEST(TrueColorToolBar, TheFirstPixelChoosesTheTransparentColour)
{
    // A strip of two buttons on a green key, each with one red pixel; a second
    // strip on a red key makes the red pixels vanish instead.
    QImage strip(8, 4, QImage::Format_RGB888);
    strip.fill(QColor(0, 255, 0));
    strip.setPixelColor(1, 1, QColor(255, 0, 0));
    strip.setPixelColor(5, 2, QColor(255, 0, 0));
    auto images = CTrueColorToolBar::SplitStrip(strip, 4);
    ASSERT_EQ(images.size(), 2);
    QImage a = images[0].toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(qAlpha(a.pixel(0, 0)), 0);
    EXPECT_EQ(a.pixelColor(1, 1), QColor(255, 0, 0));
    QImage b = images[1].toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(b.pixelColor(1, 2), QColor(255, 0, 0));

    strip.setPixelColor(0, 0, QColor(255, 0, 0));
    images = CTrueColorToolBar::SplitStrip(strip, 4);
    a = images[0].toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(qAlpha(a.pixel(1, 1)), 0);
    EXPECT_EQ(qAlpha(a.pixel(2, 2)), 255);
}

TEST(TrueColorToolBar, MissingOrTooNarrowStripsFailTheLoad)
{
    CTrueColorToolBar bar(QStringLiteral("t"));
    const QImage good = ToolbarStrip(false);
    EXPECT_FALSE(bar.LoadTrueColorToolBar(32, good, good, QImage()));
    EXPECT_FALSE(bar.LoadTrueColorToolBar(32, good, good, QImage(31, 32, QImage::Format_RGB888)));
    EXPECT_FALSE(bar.LoadTrueColorToolBar(0, good, good, good));
    EXPECT_TRUE(bar.LoadTrueColorToolBar(32, good, good, ToolbarStrip(true)));
    EXPECT_EQ(bar.ImageCount(), 9);
    // A strip wider than a whole number of buttons drops the remainder.
    EXPECT_EQ(CTrueColorToolBar::SplitStrip(QImage(70, 32, QImage::Format_RGB888), 32).size(), 2);

    // A strip for a denser screen: the button width stays logical.
    const QImage fine = ToolbarStrip(false, 2.0);
    const QList<QPixmap> fineImages = CTrueColorToolBar::SplitStrip(fine, 32);
    ASSERT_EQ(fineImages.size(), 9);
    EXPECT_EQ(fineImages[0].size(), QSize(64, 64));
    EXPECT_EQ(fineImages[0].deviceIndependentSize(), QSizeF(32, 32));
    // Finer drawings of the same buttons are kept beside them; fewer buttons are not.
    EXPECT_FALSE(bar.AddSharperImages(fine, fine, fine.copy(0, 0, 64 * 8, 64)));
    EXPECT_TRUE(bar.AddSharperImages(fine, fine, ToolbarStrip(true, 2.0)));
    EXPECT_EQ(bar.IconAt(0).pixmap(QSize(32, 32), 2.0).size(), QSize(64, 64));
    EXPECT_EQ(bar.IconAt(0).pixmap(QSize(32, 32), 1.0).size(), QSize(32, 32));
}

TEST(TrueColorToolBar, DisabledImagesAreGreyAndNoArtUsesTheKeyColour)
{
    const QImage normal = ToolbarStrip(false);
    const QImage disabled = ToolbarStrip(true);
    ASSERT_EQ(normal.size(), disabled.size());
    const QColor key = normal.pixelColor(0, 0);
    EXPECT_EQ(key, kToolbarKeyColour);
    int coloured = 0;
    for (int y = 0; y < disabled.height(); ++y) {
        for (int x = 0; x < disabled.width(); ++x) {
            const QColor d = disabled.pixelColor(x, y);
            const QColor n = normal.pixelColor(x, y);
            // Background in one strip is background in the other.
            ASSERT_EQ(d == key, n == key) << x << "," << y;
            if (d != key) {
                EXPECT_TRUE(d.red() == d.green() && d.green() == d.blue()) << x << "," << y;
            }
            if (n != key && (n.red() != n.green() || n.green() != n.blue()))
                ++coloured;
        }
    }
    EXPECT_GT(coloured, 1000);
}

TEST(ProgramIcon, HasTheUsualSizes)
{
    const QIcon icon = ProgramIcon();
    for (int s : {16, 32, 48, 256})
        EXPECT_EQ(icon.pixmap(s, s).size(), QSize(s, s));
    const QImage img = ProgramPixmap(64).toImage();
    EXPECT_EQ(qAlpha(img.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(img.pixel(32, 32)), 255);
}
