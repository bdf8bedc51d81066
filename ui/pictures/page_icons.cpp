#include "ui/pictures/page_icons.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>

#include "ui/pictures/drawn_picture.h"
#include "ui/pictures/paint_shapes.h"

namespace varnell {

namespace {

// One palette for all four, so they read as a set: a blue body, a warm accent,
// and outlines a shade darker than the fill they surround.
const QColor kBlueLight(120, 170, 230);
const QColor kBlueDark(28, 76, 150);
const QColor kOutline(30, 44, 70);
const QColor kAccent(236, 150, 40);
const QColor kPaper(252, 252, 246);

// A gear of eight teeth around a hub.
void DrawGeneral(QPainter& p)
{
    const QPointF c(24, 24);
    QPainterPath gear;
    constexpr int kTeeth = 8;
    constexpr double kPi = 3.14159265358979323846;
    for (int i = 0; i < kTeeth * 4; ++i) {
        // Each tooth is four corners: two on the outer rim, two at the root.
        const double angle = (i - 0.5) * 2 * kPi / (kTeeth * 4);
        const double r = (i % 4 == 0 || i % 4 == 1) ? 21.0 : 16.0;
        const QPointF pt(c.x() + r * std::cos(angle), c.y() + r * std::sin(angle));
        if (i == 0)
            gear.moveTo(pt);
        else
            gear.lineTo(pt);
    }
    gear.closeSubpath();
    QPainterPath hole;
    hole.addEllipse(c, 6.5, 6.5);
    gear = gear.subtracted(hole);
    p.setPen(QPen(kOutline, 1.2));
    p.setBrush(Shade(QPointF(6, 6), QPointF(42, 42), kBlueLight, kBlueDark));
    p.drawPath(gear);
    // An accent ring on the hub marks it as the settings of the whole program.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kAccent, 2.0));
    p.drawEllipse(c, 10.5, 10.5);
}

// Two speech bubbles: a message going out and one coming back.
void DrawMessenger(QPainter& p)
{
    auto bubble = [&](QRectF box, QPointF tailA, QPointF tailB, QPointF tip, const QColor& light,
                      const QColor& dark) {
        QPainterPath path;
        path.addRoundedRect(box, 6, 6);
        path = path.united(ClosedPath({tailA, tip, tailB}));
        p.setPen(QPen(kOutline, 1.2));
        p.setBrush(Shade(box.topLeft(), box.bottomRight(), light, dark));
        p.drawPath(path);
    };
    bubble(QRectF(16, 18, 28, 19), QPointF(34, 36), QPointF(40, 36), QPointF(42, 44), QColor(255, 205, 120),
           kAccent);
    bubble(QRectF(3, 5, 30, 20), QPointF(8, 24), QPointF(14, 24), QPointF(6, 32), kBlueLight, kBlueDark);
    // Lines of text in the front bubble.
    p.setPen(QPen(Qt::white, 2.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(9, 11.5), QPointF(27, 11.5));
    p.drawLine(QPointF(9, 17.5), QPointF(22, 17.5));
}

// An envelope with its flap folded down.
void DrawMail(QPainter& p)
{
    const QRectF body(4, 11, 40, 27);
    p.setPen(QPen(kOutline, 1.2));
    p.setBrush(Shade(body.topLeft(), body.bottomRight(), kPaper, QColor(214, 220, 232)));
    p.drawRoundedRect(body, 2, 2);
    // The lower folds.
    p.setPen(QPen(kBlueDark, 1.2));
    p.drawLine(QPointF(5, 37), QPointF(20, 24));
    p.drawLine(QPointF(43, 37), QPointF(28, 24));
    // The flap.
    p.setPen(QPen(kOutline, 1.2));
    p.setBrush(Shade(QPointF(24, 12), QPointF(24, 28), kBlueLight, kBlueDark));
    p.drawPath(ClosedPath({{5, 12}, {24, 28}, {43, 12}}));
    // The seal.
    p.setBrush(kAccent);
    p.drawEllipse(QPointF(24, 25), 3.5, 3.5);
}

// A log sheet with its lines, and an arrow sending it off over the network.
void DrawSyslog(QPainter& p)
{
    p.setPen(QPen(kOutline, 1.2));
    p.setBrush(Shade(QPointF(7, 3), QPointF(37, 44), kPaper, QColor(218, 222, 230)));
    p.drawPath(ClosedPath({{7, 3}, {29, 3}, {37, 11}, {37, 44}, {7, 44}}));
    p.setBrush(QColor(200, 206, 218));
    p.drawPath(OpenPath({{29, 3}, {29, 11}, {37, 11}}));
    p.setPen(QPen(kBlueDark, 2.0, Qt::SolidLine, Qt::FlatCap));
    for (int i = 0; i < 6; ++i) {
        const double y = 15.5 + i * 4.5;
        p.drawLine(QPointF(11, y), QPointF(i % 2 == 0 ? 32 : 26, y));
    }
    // The arrow.
    p.setPen(QPen(QColor(150, 80, 10), 1.2));
    p.setBrush(Shade(QPointF(26, 28), QPointF(45, 46), QColor(255, 205, 120), kAccent));
    p.drawPath(ClosedPath({{26, 33}, {36, 33}, {36, 28}, {45, 37}, {36, 46}, {36, 41}, {26, 41}}));
}

// A chart: bars of round trips under a line that watches them.
void DrawMetrics(QPainter& p)
{
    p.setPen(QPen(kOutline, 1.6, Qt::SolidLine, Qt::SquareCap));
    p.drawPolyline(QPolygonF({QPointF(5, 4), QPointF(5, 43), QPointF(44, 43)}));
    constexpr double kHeights[] = {14, 22, 11, 27, 19};
    for (int i = 0; i < 5; ++i) {
        const QRectF bar(9 + i * 7, 42 - kHeights[i], 5, kHeights[i]);
        p.setPen(QPen(kOutline, 1.0));
        p.setBrush(Shade(bar.topLeft(), bar.bottomRight(), kBlueLight, kBlueDark));
        p.drawRect(bar);
    }
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kAccent, 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(OpenPath({{9, 22}, {17, 15}, {25, 20}, {33, 8}, {43, 12}}));
}

} // namespace

QImage PageIcon(int index, qreal ratio)
{
    static constexpr void (*kArt[kPageIconCount])(QPainter&) = {DrawGeneral, DrawMessenger, DrawMail,
                                                                DrawSyslog, DrawMetrics};
    return DrawnImage(
        QSize(kPageIconSize, kPageIconSize), ratio,
        [index](QPainter& p) {
            if (index >= 0 && index < kPageIconCount)
                kArt[index](p);
        },
        QImage::Format_RGB888, Qt::white);
}

} // namespace varnell
