#include "ui/main/tray_state.h"

#include <QPainter>
#include <QPainterPath>

#include "items/result_hooks.h"
#include "ui/items/dns_item_view.h"
#include "ui/items/item_filter.h"
#include "ui/pictures/icons.h"
#include "ui/pictures/paint_shapes.h"

namespace varnell {

namespace {

// The badge in the lower right, on a unit square scaled to the icon.
void DrawBadge(QPainter& p, TrayState state, qreal size)
{
    const qreal b = size * 0.56;
    p.translate(size - b, size - b);
    p.scale(b / 16.0, b / 16.0);
    const QPen outline(QColor(255, 255, 255), 1.4);
    QPen mark(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    switch (state) {
    case TrayState::kAllUp:
        p.setPen(outline);
        p.setBrush(QColor(22, 150, 60));
        p.drawEllipse(QPointF(8, 8), 7.2, 7.2);
        p.setPen(mark);
        p.setBrush(Qt::NoBrush);
        p.drawPath(OpenPath({{4.6, 8.4}, {7.0, 10.8}, {11.6, 5.4}}));
        break;
    case TrayState::kSomeFailing:
        p.setPen(QPen(QColor(255, 255, 255), 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(QColor(235, 170, 0));
        p.drawPath(ClosedPath({{8, 0.8}, {15.4, 14.6}, {0.6, 14.6}}));
        mark.setColor(QColor(40, 30, 0));
        p.setPen(mark);
        p.drawLine(QPointF(8, 5.4), QPointF(8, 9.6));
        p.drawPoint(QPointF(8, 12.3));
        break;
    case TrayState::kSomeDown:
        p.setPen(outline);
        p.setBrush(QColor(205, 30, 30));
        p.drawPath(ClosedPath({{5, 0.8}, {11, 0.8}, {15.2, 5}, {15.2, 11}, {11, 15.2}, {5, 15.2}, {0.8, 11}, {0.8, 5}}));
        p.setPen(mark);
        p.drawLine(QPointF(5.2, 5.2), QPointF(10.8, 10.8));
        p.drawLine(QPointF(10.8, 5.2), QPointF(5.2, 10.8));
        break;
    }
}

} // namespace

StateCounts CountStates(const CDnsItemModel& model)
{
    StateCounts counts;
    for (int row = 0; row < model.rowCount(); ++row) {
        // No result yet: the row's first image says nothing about the item.
        if (model.TextAt(row, kColMonitorState).isEmpty())
            continue;
        switch (SeverityOf(model, row)) {
        case ItemSeverity::kDown: ++counts.down; break;
        case ItemSeverity::kFailing: ++counts.failing; break;
        case ItemSeverity::kUp: ++counts.up; break;
        case ItemSeverity::kSuspended: break;
        }
    }
    return counts;
}

TrayState TrayStateOf(const StateCounts& counts)
{
    if (counts.down > 0)
        return TrayState::kSomeDown;
    if (counts.failing > 0)
        return TrayState::kSomeFailing;
    return TrayState::kAllUp;
}

QString TrayTip(const StateCounts& counts)
{
    return QStringLiteral("Varnell: %1 down, %2 failing, %3 up").arg(counts.down).arg(counts.failing).arg(counts.up);
}

QIcon TrayStateIcon(TrayState state)
{
    static QIcon icons[3];
    QIcon& icon = icons[static_cast<int>(state)];
    if (!icon.isNull())
        return icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128}) {
        // Drawn at each size rather than scaled, so small trays stay sharp.
        QPixmap pixmap = ProgramPixmap(size);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        DrawBadge(p, state, size);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

CStateIndicator::CStateIndicator(CDnsItemModel* model, Apply apply, QObject* parent)
    : QObject(parent), model_(model), apply_(std::move(apply))
{
    timer_.setSingleShot(true);
    timer_.setInterval(kRecountMs);
    connect(&timer_, &QTimer::timeout, this, &CStateIndicator::Recount);
    auto later = [this] {
        if (!timer_.isActive())
            timer_.start();
    };
    connect(model_, &QAbstractItemModel::dataChanged, this, later);
    connect(model_, &QAbstractItemModel::rowsInserted, this, later);
    connect(model_, &QAbstractItemModel::rowsRemoved, this, later);
    connect(model_, &QAbstractItemModel::modelReset, this, later);
}

void CStateIndicator::Recount()
{
    const StateCounts counts = CountStates(*model_);
    if (applied_ && counts == counts_)
        return;
    counts_ = counts;
    applied_ = true;
    const TrayState state = TrayStateOf(counts);
    if (apply_)
        apply_(TrayStateIcon(state), TrayTip(counts), state);
}

} // namespace varnell
