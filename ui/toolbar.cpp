#include "ui/toolbar.h"

#include <QAction>
#include <QBitmap>

namespace varnell {

CTrueColorToolBar::CTrueColorToolBar(const QString& title, QWidget* parent) : QToolBar(title, parent)
{
    setObjectName(QStringLiteral("mainToolBar"));
    setMovable(true);
    setFloatable(true);
    setAllowedAreas(Qt::AllToolBarAreas);
    setToolButtonStyle(Qt::ToolButtonIconOnly);
}

QList<QPixmap> CTrueColorToolBar::SplitStrip(const QImage& strip, int buttonWidth)
{
    QList<QPixmap> images;
    if (strip.isNull() || buttonWidth <= 0 || strip.width() < buttonWidth)
        return images;
    // Work in 24-bit colour whatever the source's depth, so the first pixel is
    // compared as the blue, green, red bytes that the strip stores.
    const QImage rgb = strip.convertToFormat(QImage::Format_RGB888);
    const QRgb key = rgb.pixel(0, 0);
    const int count = rgb.width() / buttonWidth;
    images.reserve(count);
    for (int i = 0; i < count; ++i) {
        const QImage cell = rgb.copy(i * buttonWidth, 0, buttonWidth, rgb.height());
        QPixmap pm = QPixmap::fromImage(cell);
        pm.setMask(QBitmap::fromImage(cell.createMaskFromColor(key, Qt::MaskInColor)));
        images.push_back(pm);
    }
    return images;
}

bool CTrueColorToolBar::LoadTrueColorToolBar(int buttonWidth, const QImage& normal, const QImage& hot,
                                             const QImage& disabled)
{
    normal_ = SplitStrip(normal, buttonWidth);
    hot_ = SplitStrip(hot, buttonWidth);
    disabled_ = SplitStrip(disabled, buttonWidth);
    if (normal_.isEmpty() || hot_.isEmpty() || disabled_.isEmpty())
        return false;
    setIconSize(QSize(buttonWidth, normal.height()));
    return true;
}

QIcon CTrueColorToolBar::IconAt(qsizetype index) const
{
    QIcon icon;
    if (index < normal_.size())
        icon.addPixmap(normal_[index], QIcon::Normal);
    if (index < hot_.size())
        icon.addPixmap(hot_[index], QIcon::Active);
    if (index < disabled_.size())
        icon.addPixmap(disabled_[index], QIcon::Disabled);
    return icon;
}

void CTrueColorToolBar::AddButtons(const QList<QAction*>& actions)
{
    for (QAction* action : actions) {
        if (action == nullptr) {
            addSeparator();
            continue;
        }
        action->setIcon(IconAt(nextImage_++));
        // The menus keep their plain captions; the pictures belong to the toolbar.
        action->setIconVisibleInMenu(false);
        addAction(action);
    }
}

} // namespace varnell
