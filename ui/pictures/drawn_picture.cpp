#include "ui/pictures/drawn_picture.h"

#include <QGuiApplication>

#include <cmath>

namespace varnell {

QImage DrawnImage(QSize logical, qreal ratio, const PictureArt& art, QImage::Format format, const QColor& background)
{
    // A ratio of 0 or less (a widget asked before it has a screen) draws at 1.
    if (!(ratio > 0))
        ratio = 1.0;
    QImage image(static_cast<int>(std::ceil(logical.width() * ratio)),
                 static_cast<int>(std::ceil(logical.height() * ratio)), format);
    image.fill(background);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.scale(ratio, ratio);
    art(p);
    p.end();
    image.setDevicePixelRatio(ratio);
    return image;
}

QPixmap DrawnPixmap(QSize logical, qreal ratio, const PictureArt& art)
{
    return QPixmap::fromImage(DrawnImage(logical, ratio, art));
}

QList<qreal> PictureRatios()
{
    QList<qreal> ratios{1.0, 2.0};
    const qreal densest = qGuiApp != nullptr ? qGuiApp->devicePixelRatio() : 1.0;
    if (!ratios.contains(densest))
        ratios.push_back(densest);
    return ratios;
}

QIcon IconAtRatios(const std::function<QImage(qreal ratio)>& render, bool sameWhenSelected)
{
    QIcon icon;
    for (qreal ratio : PictureRatios()) {
        const QPixmap pixmap = QPixmap::fromImage(render(ratio));
        icon.addPixmap(pixmap, QIcon::Normal);
        if (sameWhenSelected)
            icon.addPixmap(pixmap, QIcon::Selected);
    }
    return icon;
}

} // namespace varnell
