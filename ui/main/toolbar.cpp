#include "ui/main/toolbar.h"

#include <QAction>
#include <QBitmap>

#include <cmath>

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
    // The button width is in logical pixels; a strip drawn for a denser screen
    // has that many times more device pixels per button.
    const qreal ratio = strip.devicePixelRatio();
    const int cell = static_cast<int>(std::lround(buttonWidth * ratio));
    if (strip.isNull() || buttonWidth <= 0 || cell <= 0 || strip.width() < cell)
        return images;
    // Work in 24-bit colour whatever the source's depth, so the first pixel is
    // compared as the blue, green, red bytes that the strip stores.
    const QImage rgb = strip.convertToFormat(QImage::Format_RGB888);
    const QRgb key = rgb.pixel(0, 0);
    const int count = rgb.width() / cell;
    images.reserve(count);
    for (int i = 0; i < count; ++i) {
        const QImage cellImage = rgb.copy(i * cell, 0, cell, rgb.height());
        QPixmap pm = QPixmap::fromImage(cellImage);
        pm.setMask(QBitmap::fromImage(cellImage.createMaskFromColor(key, Qt::MaskInColor)));
        pm.setDevicePixelRatio(ratio);
        images.push_back(pm);
    }
    return images;
}

bool CTrueColorToolBar::LoadTrueColorToolBar(int buttonWidth, const QImage& normal, const QImage& hot,
                                             const QImage& disabled)
{
    sets_.clear();
    buttonWidth_ = buttonWidth;
    sets_.push_back({SplitStrip(normal, buttonWidth), SplitStrip(hot, buttonWidth), SplitStrip(disabled, buttonWidth)});
    const ImageSet& set = sets_.front();
    if (set.normal.isEmpty() || set.hot.isEmpty() || set.disabled.isEmpty())
        return false;
    setIconSize(QSize(buttonWidth, static_cast<int>(std::lround(normal.deviceIndependentSize().height()))));
    return true;
}

bool CTrueColorToolBar::AddSharperImages(const QImage& normal, const QImage& hot, const QImage& disabled)
{
    ImageSet set{SplitStrip(normal, buttonWidth_), SplitStrip(hot, buttonWidth_), SplitStrip(disabled, buttonWidth_)};
    // Only the same buttons drawn finer: a strip of other buttons or another
    // logical size would put a wrong picture on a dense screen.
    const qsizetype count = ImageCount();
    if (count == 0 || set.normal.size() != count || set.hot.size() != count || set.disabled.size() != count ||
        set.normal.front().deviceIndependentSize() != sets_.front().normal.front().deviceIndependentSize())
        return false;
    sets_.push_back(std::move(set));
    return true;
}

qsizetype CTrueColorToolBar::ImageCount() const { return sets_.isEmpty() ? 0 : sets_.front().normal.size(); }

QIcon CTrueColorToolBar::IconAt(qsizetype index) const
{
    QIcon icon;
    for (const ImageSet& set : sets_) {
        if (index < set.normal.size())
            icon.addPixmap(set.normal[index], QIcon::Normal);
        if (index < set.hot.size())
            icon.addPixmap(set.hot[index], QIcon::Active);
        if (index < set.disabled.size())
            icon.addPixmap(set.disabled[index], QIcon::Disabled);
    }
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
