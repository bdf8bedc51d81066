// Pictures drawn in code, at the device pixel ratio of the screen they go to.
// The art always works in logical pixels; the image under it holds
// logical size x ratio device pixels and says so, so a high-resolution screen
// shows the drawing itself rather than a small bitmap blown up.
#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QList>
#include <QPainter>
#include <QPixmap>
#include <QSize>

#include <functional>

namespace varnell {

// Draws one picture in logical pixels, from (0, 0) to the picture's logical size.
using PictureArt = std::function<void(QPainter&)>;

// The picture at ratio: background first (none by default), antialiased art over it.
QImage DrawnImage(QSize logical, qreal ratio, const PictureArt& art,
                  QImage::Format format = QImage::Format_ARGB32_Premultiplied,
                  const QColor& background = Qt::transparent);
QPixmap DrawnPixmap(QSize logical, qreal ratio, const PictureArt& art);

// The ratios an icon keeps a drawing for: 1, 2 and that of the densest screen
// when it is another (1.5, 3). Between them Qt scales the nearest one down.
QList<qreal> PictureRatios();

// An icon holding render(ratio) for every ratio above. sameWhenSelected: the
// selected look is the picture itself, never the style's tinted copy (a tinted
// state disc would read as another state).
QIcon IconAtRatios(const std::function<QImage(qreal ratio)>& render, bool sameWhenSelected = false);

} // namespace varnell
