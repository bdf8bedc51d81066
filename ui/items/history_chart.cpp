#include "ui/items/history_chart.h"

#include <QDateTime>
#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "ui/pictures/paint_shapes.h"
#include "ui/pictures/palette_colours.h"

namespace varnell {

namespace {

struct RangeInfo {
    const char* label;
    std::int64_t seconds;
};
constexpr RangeInfo kRanges[] = {{"10 min", 10 * 60}, {"1 h", 60 * 60}, {"24 h", 24 * 60 * 60}};

// A round figure at or above ms, so the axis reads 0, half and full in plain numbers.
int NiceCeiling(int ms)
{
    static constexpr int kSteps[] = {10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000, 50000, 70000};
    for (int step : kSteps)
        if (ms <= step)
            return step;
    return kSteps[std::size(kSteps) - 1];
}

// x rounded to the nearest device pixel, so shapes that meet share an edge
// instead of both antialiasing the same pixel (a visible seam).
double DevicePixel(double x, qreal ratio) { return std::round(x * ratio) / ratio; }

} // namespace

std::int64_t RangeSeconds(HistoryRange range) { return kRanges[static_cast<int>(range)].seconds; }

std::vector<ChartPoint> ChartPoints(const ItemHistory& h, HistoryRange range, std::int64_t nowSeconds,
                                    int& pointSeconds)
{
    std::vector<ChartPoint> points;
    const std::int64_t from = std::max<std::int64_t>(0, nowSeconds - RangeSeconds(range));
    if (range == HistoryRange::kTenMinutes) {
        pointSeconds = 1;
        for (const ProbeSample& p : ProbesSince(h, static_cast<std::uint32_t>(from))) {
            if (p.second > nowSeconds)
                continue;
            ChartPoint c;
            c.second = p.second;
            if (p.rtt != kHistoryNoRtt)
                c.rttMin = c.rttAvg = c.rttMax = p.rtt;
            c.failed = p.code != 0;
            c.down = (p.flags & kHistoryDown) != 0;
            c.event = (p.flags & kHistoryEvent) != 0;
            points.push_back(c);
        }
        // Probes a second apart or more: a point spans the typical gap.
        if (points.size() > 1)
            pointSeconds = static_cast<int>(std::max<std::int64_t>(
                1, (points.back().second - points.front().second) / static_cast<std::int64_t>(points.size() - 1)));
        return points;
    }
    pointSeconds = 60;
    const auto fromMinute = static_cast<std::uint32_t>(from / 60);
    const auto toMinute = static_cast<std::uint32_t>(nowSeconds / 60);
    for (const MinuteBucket& b : BucketsBetween(h, fromMinute, toMinute)) {
        ChartPoint c;
        c.second = static_cast<std::int64_t>(b.minute) * 60 + 30;
        if (b.timed != 0) {
            c.rttMin = b.rttMin;
            c.rttMax = b.rttMax;
            c.rttAvg = static_cast<int>(b.rttSum / b.timed);
        }
        c.failed = b.failures != 0;
        c.down = (b.flags & kHistoryDown) != 0;
        c.event = (b.flags & kHistoryEvent) != 0;
        points.push_back(c);
    }
    return points;
}

CHistoryChart::CHistoryChart(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("historyChart"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    // New probes arrive about once a second; a hidden chart costs nothing.
    refresh_.setInterval(1000);
    connect(&refresh_, &QTimer::timeout, this, [this] {
        if (isVisible() && slot_ >= 0)
            update();
    });
    refresh_.start();
}

void CHistoryChart::SetSlot(int slot)
{
    slot_ = slot;
    update();
}

void CHistoryChart::SetRange(HistoryRange range)
{
    range_ = range;
    update();
}

void CHistoryChart::SetNow(std::int64_t nowSeconds)
{
    now_ = nowSeconds;
    update();
}

void CHistoryChart::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    painter.fillRect(rect(), pal.color(QPalette::Base));
    const QColor text = pal.color(QPalette::Text);
    const QColor line = pal.color(QPalette::Highlight);
    const QColor failure = ReadableOn(QColor(200, 30, 30), pal);

    const std::int64_t now = now_ != 0 ? now_ : HistoryNow();
    const ItemHistory* h = slot_ >= 0 ? HistoryOf(static_cast<std::uint32_t>(slot_)) : nullptr;
    int pointSeconds = 1;
    const std::vector<ChartPoint> points = h ? ChartPoints(*h, range_, now, pointSeconds) : std::vector<ChartPoint>{};

    const QFontMetrics fm(font());
    const QRectF plot(fm.horizontalAdvance(QStringLiteral("00000 ms")) + 6.0, fm.height() / 2.0 + 2.0,
                      width() - fm.horizontalAdvance(QStringLiteral("00000 ms")) - 14.0,
                      height() - fm.height() * 1.5 - 8.0);
    if (plot.width() < 20 || plot.height() < 20)
        return;

    int top = 0;
    for (const ChartPoint& p : points)
        top = std::max(top, p.rttMax);
    const int yMax = NiceCeiling(std::max(top, 1));
    const std::int64_t span = RangeSeconds(range_);
    const std::int64_t start = now - span;
    auto X = [&](double second) { return plot.left() + (second - static_cast<double>(start)) * plot.width() / static_cast<double>(span); };
    auto Y = [&](int ms) { return plot.bottom() - ms * plot.height() / yMax; };

    // Grid and axes.
    QColor grid = pal.color(QPalette::Mid);
    grid.setAlpha(110);
    painter.setPen(QPen(grid, 1));
    painter.setFont(font());
    for (int i = 0; i <= 2; ++i) {
        const double y = plot.bottom() - i * plot.height() / 2;
        painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        painter.setPen(text);
        painter.drawText(QRectF(0, y - fm.height() / 2.0, plot.left() - 4, fm.height()),
                         Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("%1 ms").arg(yMax * i / 2));
        painter.setPen(QPen(grid, 1));
    }
    const char* timeFormat = range_ == HistoryRange::kTenMinutes ? "HH:mm:ss" : "HH:mm";
    for (int i = 0; i <= 4; ++i) {
        const std::int64_t t = start + span * i / 4;
        const double x = X(static_cast<double>(t));
        painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        const QString label = QDateTime::fromSecsSinceEpoch(t).toString(QString::fromLatin1(timeFormat));
        const double w = fm.horizontalAdvance(label);
        // The end labels stay over the plot, clear of the round-trip labels.
        const double left = std::clamp(x - w / 2, plot.left(), std::max(plot.left(), plot.right() - w));
        painter.setPen(text);
        painter.drawText(QPointF(left, plot.bottom() + fm.ascent() + 3), label);
        painter.setPen(QPen(grid, 1));
    }

    if (points.empty()) {
        painter.setPen(pal.color(QPalette::PlaceholderText));
        painter.drawText(plot, Qt::AlignCenter,
                         slot_ < 0 ? QStringLiteral("Select an item to see its round trips")
                                   : QStringLiteral("No round trips recorded in this period"));
        return;
    }

    painter.save();
    painter.setClipRect(plot);
    const double half = pointSeconds / 2.0;
    // Down periods: the whole height, behind everything else. Points in a row
    // that stood down are one period and one rectangle, whatever the gaps
    // between their probes; shading each point alone left darker seams where
    // neighbours overlapped and light ones where they did not meet.
    QColor downShade = failure;
    downShade.setAlpha(IsDarkPalette(pal) ? 70 : 45);
    const double gap = std::max(3.0 * pointSeconds, 5.0);
    const qreal ratio = devicePixelRatioF();
    for (std::size_t d = 0; d < points.size();) {
        if (!points[d].down) {
            ++d;
            continue;
        }
        std::size_t e = d + 1;
        while (e < points.size() && points[e].down &&
               static_cast<double>(points[e].second - points[e - 1].second) <= gap)
            ++e;
        const double left = DevicePixel(X(static_cast<double>(points[d].second) - half), ratio);
        const double right = DevicePixel(X(static_cast<double>(points[e - 1].second) + half), ratio);
        painter.fillRect(QRectF(QPointF(left, plot.top()), QPointF(right, plot.bottom())), downShade);
        d = e;
    }

    // The band and the average line, broken where no round trip was measured or
    // where the points are further apart than a few spans (the program was off).
    QColor band = line;
    band.setAlpha(80);
    std::size_t i = 0;
    while (i < points.size()) {
        if (points[i].rttAvg < 0) {
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        while (j < points.size() && points[j].rttAvg >= 0 &&
               static_cast<double>(points[j].second - points[j - 1].second) <= gap)
            ++j;
        QPainterPath area;
        QPainterPath avg;
        for (std::size_t k = i; k < j; ++k) {
            const QPointF hi(X(static_cast<double>(points[k].second)), Y(points[k].rttMax));
            if (k == i)
                area.moveTo(hi);
            else
                area.lineTo(hi);
            const QPointF mid(X(static_cast<double>(points[k].second)), Y(points[k].rttAvg));
            if (k == i)
                avg.moveTo(mid);
            else
                avg.lineTo(mid);
        }
        for (std::size_t k = j; k-- > i;)
            area.lineTo(QPointF(X(static_cast<double>(points[k].second)), Y(points[k].rttMin)));
        area.closeSubpath();
        painter.fillPath(area, band);
        painter.strokePath(area, QPen(band.darker(110), 0.8));
        if (j - i == 1)
            painter.fillRect(QRectF(avg.currentPosition() - QPointF(1.5, 1.5), QSizeF(3, 3)), line);
        painter.strokePath(avg, QPen(line, 1.6));
        i = j;
    }

    // Failures: a red tick rising from the bottom edge; events: a dashed line.
    painter.setPen(QPen(failure, 2));
    for (const ChartPoint& p : points)
        if (p.failed) {
            const double x = X(static_cast<double>(p.second));
            painter.drawLine(QPointF(x, plot.bottom()), QPointF(x, plot.bottom() - 7));
        }
    QColor eventColour = text;
    eventColour.setAlpha(170);
    painter.setPen(QPen(eventColour, 1, Qt::DashLine));
    for (const ChartPoint& p : points)
        if (p.event) {
            const double x = X(static_cast<double>(p.second));
            painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
            const double y = plot.top() + 4;
            painter.fillPath(ClosedPath({{x, y - 4}, {x + 4, y}, {x, y + 4}, {x - 4, y}}), eventColour);
        }
    painter.restore();
}

CHistoryPane::CHistoryPane(QTextEdit* replyText, QWidget* parent)
    : QSplitter(Qt::Vertical, parent), top_(new QWidget(this)), replyText_(replyText), chart_(new CHistoryChart()),
      buttons_(new QButtonGroup(this))
{
    setObjectName(QStringLiteral("historySplitter"));
    auto* column = new QVBoxLayout(top_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    auto* row = new QHBoxLayout();
    row->setSpacing(2);
    for (int r = 0; r < static_cast<int>(std::size(kRanges)); ++r) {
        auto* b = new QToolButton(top_);
        b->setText(QString::fromLatin1(kRanges[r].label));
        b->setCheckable(true);
        b->setAutoRaise(true);
        buttons_->addButton(b, r);
        row->addWidget(b);
    }
    row->addStretch(1);
    buttons_->button(0)->setChecked(true);
    connect(buttons_, &QButtonGroup::idClicked, chart_, [this](int id) { chart_->SetRange(static_cast<HistoryRange>(id)); });
    column->addLayout(row);
    column->addWidget(chart_, 1);
    addWidget(top_);
    addWidget(replyText);
    replyText->installEventFilter(this);
    setChildrenCollapsible(true);
    setStretchFactor(0, 1);
    setStretchFactor(1, 1);
}

bool CHistoryPane::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == replyText_ && event->type() == QEvent::PaletteChange)
        emit ReplyPaletteChanged();
    return QSplitter::eventFilter(watched, event);
}

int CHistoryPane::ReplyTextHeight() const
{
    constexpr int kReplyLines = 5;
    const int margins = 2 * (replyText_->frameWidth() + static_cast<int>(replyText_->document()->documentMargin()));
    return replyText_->fontMetrics().lineSpacing() * kReplyLines + margins;
}

int CHistoryPane::PreferredHeight() const { return top_->sizeHint().height() + handleWidth() + ReplyTextHeight(); }

void CHistoryPane::ShareHeight(int height)
{
    const int room = height - handleWidth();
    const int top =
        std::max(top_->minimumSizeHint().height(), std::min(top_->sizeHint().height(), room - ReplyTextHeight()));
    setSizes({top, std::max(0, room - top)});
}

} // namespace varnell
