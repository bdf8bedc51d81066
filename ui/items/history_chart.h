// The selected item's round-trip history, drawn above the reply text: the band
// from the fastest to the slowest round trip and the average line over time,
// failures as red marks along the bottom, the time the item stood down shaded,
// events as dashed lines. Ten minutes show every probe; an hour and a day show
// the one-minute buckets. Colours come from the widget's palette, so a dark
// desktop theme gets a dark chart; the painter works in device-independent
// pixels, so a high-resolution screen gets a sharp one.
#pragma once

#include <QButtonGroup>
#include <QSplitter>
#include <QTextEdit>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <vector>

#include "items/history.h"

namespace varnell {

enum class HistoryRange : int { kTenMinutes = 0, kHour = 1, kDay = 2 };

// One point of the chart, from a probe or a minute bucket. Round trips of -1:
// none in that point (every probe failed).
struct ChartPoint {
    std::int64_t second = 0; // middle of the point's span
    int rttMin = -1;
    int rttAvg = -1;
    int rttMax = -1;
    bool failed = false;
    bool down = false;
    bool event = false;
};

// The points of range ending at nowSeconds, oldest first, and the span of one
// point in seconds (what a point's shading covers).
std::vector<ChartPoint> ChartPoints(const ItemHistory& h, HistoryRange range, std::int64_t nowSeconds,
                                    int& pointSeconds);
std::int64_t RangeSeconds(HistoryRange range);

class CHistoryChart : public QWidget {
    Q_OBJECT
public:
    explicit CHistoryChart(QWidget* parent = nullptr);

    // -1: no item (the chart says so).
    void SetSlot(int slot);
    int Slot() const { return slot_; }
    void SetRange(HistoryRange range);
    HistoryRange Range() const { return range_; }
    // Tests and screenshots draw a fixed moment; 0 follows the clock.
    void SetNow(std::int64_t nowSeconds);

    // Below about a hundred pixels the band and the marks run together.
    QSize sizeHint() const override { return {480, 140}; }
    QSize minimumSizeHint() const override { return {160, 100}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int slot_ = -1;
    HistoryRange range_ = HistoryRange::kTenMinutes;
    std::int64_t now_ = 0;
    QTimer refresh_;
};

// The item detail pane: the range buttons and the chart above the reply text,
// split so the operator can give either more room.
class CHistoryPane : public QSplitter {
    Q_OBJECT
public:
    CHistoryPane(QTextEdit* replyText, QWidget* parent = nullptr);
    CHistoryChart* Chart() const { return chart_; }
    QButtonGroup* RangeButtons() const { return buttons_; }

    // What a first layout gives the pane: the range buttons, the chart at its
    // usual height and a few lines of reply text below it.
    int PreferredHeight() const;
    // Shares height out as a first layout does: the chart its usual height as
    // long as the reply text keeps its few lines, the reply text the rest.
    void ShareHeight(int height);

signals:
    // The reply text's palette changed (the desktop's theme did): its colours
    // were chosen for the old one, so it wants writing again.
    void ReplyPaletteChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int ReplyTextHeight() const;

    QWidget* top_;
    QTextEdit* replyText_;
    CHistoryChart* chart_;
    QButtonGroup* buttons_;
};

} // namespace varnell
