// The pictures drawn in code, in a program whose screen is twice as dense
// (QT_SCALE_FACTOR=2): each must hold twice its logical size in device pixels,
// drawn at that size, never the small drawing blown up.

#include <gtest/gtest.h>

#include <QLabel>
#include <QToolButton>
#include <QTreeWidget>

#include <cstdlib>

#include "items/item_table.h"
#include "tests/ui/qt_test_env.h"
#include "ui/items/item_dialog.h"
#include "ui/main/about_dlg.h"
#include "ui/main/main_frame.h"
#include "ui/main/toolbar.h"
#include "ui/pictures/icons.h"
#include "ui/pictures/state_images.h"
#include "ui/setup/setup_dlg.h"

using namespace varnell;

namespace {

// Before main(), so before the test environment creates the application,
// which reads the scale once.
[[maybe_unused]] const int g_scale = setenv("QT_SCALE_FACTOR", "2", 1);

// The largest picture a label of widget shows.
QPixmap LabelPicture(const QWidget& widget)
{
    QPixmap best;
    for (const QLabel* label : widget.findChildren<QLabel*>()) {
        const QPixmap pm = label->pixmap();
        if (pm.width() * pm.height() > best.width() * best.height())
            best = pm;
    }
    return best;
}

// What a screen at ratio 2 would show of a 1x drawing: each pixel doubled.
QImage BlownUp(const QImage& small)
{
    return small.scaled(small.size() * 2, Qt::IgnoreAspectRatio, Qt::FastTransformation)
        .convertToFormat(QImage::Format_ARGB32);
}

// picture is sharp at ratio 2 for a logical size: twice the device pixels,
// ratio 2, and not the same as the 1x drawing with its pixels doubled.
void ExpectSharp(const QPixmap& picture, QSize logical, const QImage& oneX, const char* what)
{
    SCOPED_TRACE(what);
    EXPECT_EQ(picture.size(), logical * 2);
    EXPECT_DOUBLE_EQ(picture.devicePixelRatio(), 2.0);
    EXPECT_EQ(picture.deviceIndependentSize().toSize(), logical);
    if (!oneX.isNull()) {
        ASSERT_EQ(oneX.size(), logical);
        EXPECT_NE(picture.toImage().convertToFormat(QImage::Format_ARGB32), BlownUp(oneX));
    }
}

} // namespace

TEST(PicturesAtScaleTwo, ToolbarAboutSetupItemDialogAndListImagesAreDrawnAtTheScreensRatio)
{
    ASSERT_DOUBLE_EQ(qApp->devicePixelRatio(), 2.0);
    InitItemTable();

    CMainFrame frame;
    frame.Create();
    const auto* bar = frame.findChild<CTrueColorToolBar*>();
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->iconSize(), QSize(kToolbarButtonSize, kToolbarButtonSize));
    const QList<QPixmap> oneX = CTrueColorToolBar::SplitStrip(ToolbarStrip(false), kToolbarButtonSize);
    ASSERT_EQ(oneX.size(), kToolbarImageCount);
    // Every button, normal and disabled, as its tool button asks for it.
    int image = 0;
    for (const QToolButton* button : bar->findChildren<QToolButton*>()) {
        const QAction* action = button->defaultAction();
        if (action == nullptr || action->icon().isNull())
            continue;
        const QSize size = bar->iconSize();
        ExpectSharp(action->icon().pixmap(size, button->devicePixelRatioF(), QIcon::Normal), size,
                    oneX.value(image).toImage(), "toolbar button");
        ExpectSharp(action->icon().pixmap(size, button->devicePixelRatioF(), QIcon::Disabled), size, QImage(),
                    "disabled toolbar button");
        ++image;
    }
    EXPECT_EQ(image, kToolbarImageCount);

    CAboutDlg about(&frame);
    ExpectSharp(LabelPicture(about), QSize(48, 48), ProgramPixmap(48).toImage(), "About picture");

    CSetupDlg setup(&frame);
    for (int i = 0; i < setup.tree->topLevelItemCount(); ++i)
        ExpectSharp(setup.tree->topLevelItem(i)->icon(0).pixmap(setup.tree->iconSize(), setup.devicePixelRatioF()),
                    setup.tree->iconSize(), QImage(), "Setup page icon");

    DlgAddDNS item(static_cast<std::uint32_t>(NewItemSlot()), &frame);
    ExpectSharp(LabelPicture(item), QSize(56, 460), QImage(), "item dialog picture");

    const QSize listImage(kListImageSize, kListImageSize);
    ExpectSharp(StateImage(1).pixmap(listImage, 2.0), listImage, StateImage(1).pixmap(listImage, 1.0).toImage(),
                "state image");
    ExpectSharp(PausedImage().pixmap(listImage, 2.0, QIcon::Selected), listImage, QImage(), "paused image");
}
