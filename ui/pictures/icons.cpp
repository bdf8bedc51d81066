#include "ui/pictures/icons.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

#include "ui/pictures/drawn_picture.h"
#include "ui/pictures/paint_shapes.h"

namespace varnell {

namespace {

const QColor kInk{38, 50, 66};
const QColor kBlue{47, 127, 208};
const QColor kDeepBlue{24, 74, 140};
const QColor kGreen{46, 160, 67};
const QColor kRed{214, 48, 49};

QPen Pen(const QColor& c, qreal w)
{
    QPen p(c, w);
    p.setCapStyle(Qt::RoundCap);
    p.setJoinStyle(Qt::RoundJoin);
    return p;
}

// A small globe: the monitored name space.
void DrawGlobe(QPainter& p, QPointF c, qreal r)
{
    QRadialGradient g(c - QPointF(r / 3, r / 3), r * 1.4);
    g.setColorAt(0, kBlue.lighter(130));
    g.setColorAt(1, kDeepBlue);
    p.setPen(Pen(kInk, 1.2));
    p.setBrush(g);
    p.drawEllipse(c, r, r);
    p.setBrush(Qt::NoBrush);
    p.setPen(Pen(QColor(255, 255, 255, 230), 1.3));
    p.drawEllipse(c, r * 0.42, r - 0.6);
    p.drawLine(QPointF(c.x() - r + 0.8, c.y()), QPointF(c.x() + r - 0.8, c.y()));
    p.drawLine(QPointF(c.x(), c.y() - r + 0.8), QPointF(c.x(), c.y() + r - 0.8));
}

void DrawBadge(QPainter& p, QPointF c, qreal r, const QColor& fill, bool plus)
{
    p.setPen(Pen(Qt::white, 1.5));
    p.setBrush(fill);
    p.drawEllipse(c, r, r);
    p.setPen(Pen(Qt::white, 2.4));
    const qreal a = r * 0.55;
    p.drawLine(QPointF(c.x() - a, c.y()), QPointF(c.x() + a, c.y()));
    if (plus)
        p.drawLine(QPointF(c.x(), c.y() - a), QPointF(c.x(), c.y() + a));
}

void DrawGear(QPainter& p)
{
    const QPointF c(16, 16);
    QPainterPath gear;
    const int teeth = 8;
    for (int i = 0; i < teeth * 2; ++i) {
        const double a0 = (i * M_PI) / teeth - M_PI / (teeth * 2.0);
        const double a1 = a0 + M_PI / teeth;
        const double r = (i % 2 == 0) ? 13.0 : 10.0;
        const QPointF p0(c.x() + r * std::cos(a0), c.y() + r * std::sin(a0));
        const QPointF p1(c.x() + r * std::cos(a1), c.y() + r * std::sin(a1));
        if (i == 0)
            gear.moveTo(p0);
        else
            gear.lineTo(p0);
        gear.lineTo(p1);
    }
    gear.closeSubpath();
    QPainterPath hole;
    hole.addEllipse(c, 4.2, 4.2);
    p.setPen(Pen(kInk, 1.2));
    p.setBrush(Shade(QPointF(0, 3), QPointF(0, 29), QColor(134, 150, 168), QColor(78, 92, 110)));
    p.drawPath(gear.subtracted(hole));
}

void DrawSpeaker(QPainter& p)
{
    p.setPen(Pen(kInk, 1.2));
    p.setBrush(QColor(96, 110, 128));
    p.drawPath(ClosedPath({{5, 12}, {10, 12}, {17, 6}, {17, 26}, {10, 20}, {5, 20}}));
    p.setPen(Pen(kRed, 2.6));
    p.drawLine(QPointF(20, 11), QPointF(28, 21));
    p.drawLine(QPointF(28, 11), QPointF(20, 21));
}

void DrawLog(QPainter& p)
{
    p.setPen(Pen(kInk, 1.2));
    p.setBrush(QColor(250, 250, 246));
    p.drawPath(ClosedPath({{7, 3}, {20, 3}, {26, 9}, {26, 29}, {7, 29}}));
    p.setBrush(QColor(214, 220, 228));
    p.drawPath(ClosedPath({{20, 3}, {20, 9}, {26, 9}}));
    p.setPen(Pen(kBlue, 1.6));
    for (int i = 0; i < 5; ++i) {
        const qreal y = 13 + i * 3.5;
        p.drawLine(QPointF(10, y), QPointF(i % 2 == 0 ? 23 : 19, y));
    }
}

void DrawDisc(QPainter& p, const QColor& fill)
{
    QRadialGradient g(QPointF(12, 11), 16);
    g.setColorAt(0, fill.lighter(135));
    g.setColorAt(1, fill.darker(115));
    p.setPen(Pen(kInk, 1.2));
    p.setBrush(g);
    p.drawEllipse(QPointF(16, 16), 12.5, 12.5);
}

void DrawHelp(QPainter& p)
{
    DrawDisc(p, kBlue);
    QPainterPath q;
    q.moveTo(11.5, 12.5);
    q.cubicTo(11.5, 6.5, 20.5, 6.5, 20.5, 12.0);
    q.cubicTo(20.5, 15.5, 16, 15.5, 16, 19.0);
    p.setPen(Pen(Qt::white, 3.0));
    p.setBrush(Qt::NoBrush);
    p.drawPath(q);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(16, 23.6), 1.9, 1.9);
}

void DrawAbout(QPainter& p)
{
    DrawDisc(p, kDeepBlue.lighter(115));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(16, 9.6), 2.1, 2.1);
    p.drawRoundedRect(QRectF(14.1, 13.5, 3.8, 11.5), 1.5, 1.5);
}

void DrawButton(QPainter& p, int image)
{
    switch (image) {
    case kTbAddDns:
        DrawGlobe(p, QPointF(13, 13), 10);
        DrawBadge(p, QPointF(23, 23), 7, kGreen, true);
        break;
    case kTbDelDns:
        DrawGlobe(p, QPointF(13, 13), 10);
        DrawBadge(p, QPointF(23, 23), 7, kRed, false);
        break;
    case kTbSetting:
        DrawGear(p);
        break;
    case kTbStartService: {
        p.setPen(Pen(kInk, 1.2));
        p.setBrush(Shade(QPointF(0, 5), QPointF(0, 27), kGreen.lighter(130), kGreen.darker(115)));
        p.drawPath(ClosedPath({{9, 5}, {27, 16}, {9, 27}}));
        break;
    }
    case kTbStopService: {
        p.setPen(Pen(kInk, 1.2));
        p.setBrush(Shade(QPointF(0, 6), QPointF(0, 26), kRed.lighter(130), kRed.darker(115)));
        p.drawRoundedRect(QRectF(7, 7, 18, 18), 2.5, 2.5);
        break;
    }
    case kTbStopSound:
        DrawSpeaker(p);
        break;
    case kTbViewLog:
        DrawLog(p);
        break;
    case kTbHelp:
        DrawHelp(p);
        break;
    case kTbAbout:
        DrawAbout(p);
        break;
    default:
        break;
    }
}

// Anti-aliased art flattened onto the key colour with a hard edge: a pixel is
// either the art's own colour or exactly the key, so the loader's colour mask
// leaves no fringe of the key colour around the shapes.
void Flatten(const QImage& art, QImage& strip, int x0, bool disabled)
{
    for (int y = 0; y < art.height(); ++y) {
        for (int x = 0; x < art.width(); ++x) {
            const QColor c = QColor::fromRgba(art.pixel(x, y));
            QColor out = kToolbarKeyColour;
            if (c.alpha() >= 96) {
                // Blend partly covered pixels over a light face colour, not the key.
                const double a = c.alphaF();
                const int r = static_cast<int>(std::lround(c.red() * a + 236 * (1 - a)));
                const int g = static_cast<int>(std::lround(c.green() * a + 236 * (1 - a)));
                const int b = static_cast<int>(std::lround(c.blue() * a + 236 * (1 - a)));
                out = QColor(r, g, b);
                if (disabled) {
                    const int lum = (r * 30 + g * 59 + b * 11) / 100;
                    const int grey = std::clamp(118 + lum * 45 / 100, 0, 228);
                    out = QColor(grey, grey, grey);
                }
                if (out == kToolbarKeyColour)
                    out = QColor(254, 0, 254);
            }
            strip.setPixelColor(x0 + x, y, out);
        }
    }
}

void DrawProgramArt(QPainter& p, int size)
{
    p.scale(size / 64.0, size / 64.0);
    p.setPen(Pen(QColor(12, 36, 74), 1.5));
    p.setBrush(Shade(QPointF(0, 0), QPointF(0, 64), QColor(34, 94, 168), QColor(16, 52, 104)));
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
    // The globe's grid in white, with a pulse line across it: names being watched.
    p.setBrush(Qt::NoBrush);
    p.setPen(Pen(QColor(255, 255, 255, 235), 3.0));
    p.drawEllipse(QPointF(29, 30), 19, 19);
    p.setPen(Pen(QColor(255, 255, 255, 160), 2.0));
    p.drawEllipse(QPointF(29, 30), 8, 18.5);
    p.drawLine(QPointF(11, 30), QPointF(47, 30));
    p.setPen(Pen(QColor(120, 230, 140), 3.2));
    p.drawPath(OpenPath({{8, 40}, {20, 40}, {25, 30}, {31, 50}, {36, 36}, {40, 40}, {50, 40}}));
    p.setPen(Pen(Qt::white, 2.0));
    p.setBrush(QColor(60, 200, 90));
    p.drawEllipse(QPointF(50, 48), 7, 7);
}

} // namespace

QPixmap ProgramPixmap(int size, qreal ratio)
{
    return DrawnPixmap(QSize(size, size), ratio, [size](QPainter& p) { DrawProgramArt(p, size); });
}

QIcon ProgramIcon()
{
    QIcon icon;
    for (int s : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(ProgramPixmap(s));
    return icon;
}

QImage ToolbarStrip(bool disabled, qreal ratio)
{
    const QSize button(kToolbarButtonSize, kToolbarButtonSize);
    QImage strip;
    for (int i = 0; i < kToolbarImageCount; ++i) {
        const QImage art = DrawnImage(button, ratio, [i](QPainter& p) { DrawButton(p, i); }, QImage::Format_ARGB32);
        if (strip.isNull()) {
            strip = QImage(art.width() * kToolbarImageCount, art.height(), QImage::Format_RGB888);
            strip.fill(kToolbarKeyColour);
            strip.setDevicePixelRatio(art.devicePixelRatio());
        }
        Flatten(art, strip, i * art.width(), disabled);
    }
    // The loader reads the transparent colour from the first pixel.
    strip.setPixelColor(0, 0, kToolbarKeyColour);
    return strip;
}

} // namespace varnell
