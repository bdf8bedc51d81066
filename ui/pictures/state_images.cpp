#include "ui/pictures/state_images.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "ui/pictures/drawn_picture.h"
#include "ui/pictures/paint_shapes.h"

namespace varnell {

namespace {

// All pictures share one look: a disc with a one-pixel darker rim and a soft
// highlight in its upper left, on a 16 x 16 grid with antialiasing.
struct Palette {
    QColor fill;
    QColor rim;
};

const Palette kYellow{QColor(250, 204, 21), QColor(161, 122, 0)};
const Palette kGreen{QColor(34, 170, 68), QColor(14, 97, 36)};
const Palette kRed{QColor(220, 38, 38), QColor(127, 18, 18)};
const Palette kBlue{QColor(37, 99, 235), QColor(20, 52, 140)};
const Palette kGrey{QColor(140, 140, 140), QColor(80, 80, 80)};

void Disc(QPainter& p, const Palette& colours, qreal radius)
{
    const QPointF centre(8.0, 8.0);
    QRadialGradient shade(QPointF(6.0, 5.5), radius * 1.6);
    shade.setColorAt(0.0, colours.fill.lighter(135));
    shade.setColorAt(1.0, colours.fill);
    p.setPen(QPen(colours.rim, 1.0));
    p.setBrush(shade);
    p.drawEllipse(centre, radius, radius);
}

void DrawState(QPainter& p, int index)
{
    switch (index) {
    case 0: Disc(p, kYellow, 6.5); break;
    case 1: Disc(p, kGreen, 6.5); break;
    case 2: Disc(p, kRed, 6.5); break;
    case 3: Disc(p, kBlue, 6.5); break;
    case 4:
        // A red ring around a yellow centre.
        p.setPen(QPen(kRed.rim, 1.0));
        p.setBrush(kRed.fill);
        p.drawEllipse(QPointF(8.0, 8.0), 6.5, 6.5);
        Disc(p, kYellow, 3.5);
        break;
    default: break;
    }
}

void WhiteStroke(QPainter& p, const QPainterPath& path)
{
    p.setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
}

void DrawEvent(QPainter& p, int index)
{
    QPainterPath mark;
    switch (index) {
    case 0: // up: a chevron pointing up on green
        Disc(p, kGreen, 7.0);
        WhiteStroke(p, OpenPath({{4.8, 9.6}, {8.0, 6.2}, {11.2, 9.6}}));
        break;
    case 1: // down: a chevron pointing down on red
        Disc(p, kRed, 7.0);
        WhiteStroke(p, OpenPath({{4.8, 6.4}, {8.0, 9.8}, {11.2, 6.4}}));
        break;
    case 2: // changed: arrows both ways on blue
        Disc(p, kBlue, 7.0);
        mark.moveTo(4.5, 6.5);
        mark.lineTo(11.5, 6.5);
        mark.moveTo(9.7, 4.8);
        mark.lineTo(11.5, 6.5);
        mark.moveTo(11.5, 9.5);
        mark.lineTo(4.5, 9.5);
        mark.moveTo(6.3, 11.2);
        mark.lineTo(4.5, 9.5);
        WhiteStroke(p, mark);
        break;
    case 3: // spare: a dot on grey
        Disc(p, kGrey, 7.0);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(8.0, 8.0), 1.8, 1.8);
        break;
    default: break;
    }
}

// A suspended item: two white bars on grey, the usual sign for paused.
void DrawPaused(QPainter& p, int)
{
    Disc(p, kGrey, 6.5);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(5.2, 4.8, 2.0, 6.4), 0.6, 0.6);
    p.drawRoundedRect(QRectF(8.8, 4.8, 2.0, 6.4), 0.6, 0.6);
}

QImage Strip(int count, qreal ratio, void (*draw)(QPainter&, int))
{
    return DrawnImage(QSize(kListImageSize * count, kListImageSize), ratio, [count, draw](QPainter& p) {
        for (int i = 0; i < count; ++i) {
            p.save();
            p.translate(kListImageSize * i, 0);
            draw(p, i);
            p.restore();
        }
    });
}

QIcon Icon(int index, int count, void (*draw)(QPainter&, int))
{
    if (index < 0 || index >= count)
        return {};
    return IconAtRatios(
        [index, draw](qreal ratio) {
            return DrawnImage(QSize(kListImageSize, kListImageSize), ratio, [index, draw](QPainter& p) { draw(p, index); });
        },
        true);
}

} // namespace

QImage StateImageStrip(qreal devicePixelRatio) { return Strip(kStateImageCount, devicePixelRatio, DrawState); }
QImage EventImageStrip(qreal devicePixelRatio) { return Strip(kEventImageCount, devicePixelRatio, DrawEvent); }

QIcon StateImage(int index)
{
    static const QIcon icons[kStateImageCount] = {
        Icon(0, kStateImageCount, DrawState), Icon(1, kStateImageCount, DrawState),
        Icon(2, kStateImageCount, DrawState), Icon(3, kStateImageCount, DrawState),
        Icon(4, kStateImageCount, DrawState)};
    return index >= 0 && index < kStateImageCount ? icons[index] : QIcon();
}

QIcon PausedImage()
{
    static const QIcon icon = Icon(0, 1, DrawPaused);
    return icon;
}

QIcon EventImage(int index)
{
    static const QIcon icons[kEventImageCount] = {
        Icon(0, kEventImageCount, DrawEvent), Icon(1, kEventImageCount, DrawEvent),
        Icon(2, kEventImageCount, DrawEvent), Icon(3, kEventImageCount, DrawEvent)};
    return index >= 0 && index < kEventImageCount ? icons[index] : QIcon();
}

} // namespace varnell
