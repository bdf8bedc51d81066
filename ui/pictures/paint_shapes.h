// Small builders for the program's drawn pictures (toolbar, page and state
// images): paths through a list of points and two-colour gradients.
#pragma once

#include <QColor>
#include <QLinearGradient>
#include <QPainterPath>
#include <QPointF>

#include <initializer_list>

namespace varnell {

// A line from the first point through each of the others.
inline QPainterPath OpenPath(std::initializer_list<QPointF> points)
{
    QPainterPath path;
    bool first = true;
    for (const QPointF& pt : points) {
        if (first)
            path.moveTo(pt);
        else
            path.lineTo(pt);
        first = false;
    }
    return path;
}

// The same line closed back to its first point (outlined all round when stroked).
inline QPainterPath ClosedPath(std::initializer_list<QPointF> points)
{
    QPainterPath path = OpenPath(points);
    path.closeSubpath();
    return path;
}

// A linear gradient from `start` at `from` to `end` at `to`.
inline QLinearGradient Shade(QPointF from, QPointF to, const QColor& start, const QColor& end)
{
    QLinearGradient g(from, to);
    g.setColorAt(0.0, start);
    g.setColorAt(1.0, end);
    return g;
}

} // namespace varnell
