#include "ui/main/window_state.h"

#include <QHeaderView>
#include <QAbstractButton>
#include <QSettings>

#include "config/settings_store.h"
#include "ui/items/dns_item_view.h"
#include "ui/items/history_chart.h"
#include "ui/main/event_view.h"
#include "ui/main/main_frame.h"

namespace varnell {

namespace {

constexpr int kFormat = 1; // raised when a stored layout no longer fits the window

struct SplitterKey {
    const char* key;
    QSplitter* (*get)(const CMainFrame&);
};
constexpr SplitterKey kSplitters[] = {
    {"splitters/rows", [](const CMainFrame& f) { return f.RowSplitter(); }},
    {"splitters/columns", [](const CMainFrame& f) { return f.ColumnSplitter(); }},
    {"splitters/events", [](const CMainFrame& f) { return f.EventSplitter(); }},
    {"splitters/history", [](const CMainFrame& f) { return static_cast<QSplitter*>(f.HistoryPane()); }},
};

QHeaderView* ItemHeader(const CMainFrame& f) { return f.ItemView()->List()->horizontalHeader(); }
QHeaderView* EventHeader(const CMainFrame& f) { return f.EventView()->List()->horizontalHeader(); }

} // namespace

QString WindowStatePath() { return QString::fromStdString(ConfigDir() + "/varnell/window.ini"); }

void SaveWindowState(const CMainFrame& frame, const QString& path)
{
    QSettings ini(path, QSettings::IniFormat);
    ini.clear();
    ini.setValue(QStringLiteral("format"), kFormat);
    ini.setValue(QStringLiteral("window/geometry"), frame.saveGeometry());
    ini.setValue(QStringLiteral("window/maximized"), frame.isMaximized());
    ini.setValue(QStringLiteral("window/bars"), frame.saveState());
    for (const SplitterKey& s : kSplitters)
        if (QSplitter* splitter = s.get(frame))
            ini.setValue(QLatin1String(s.key), splitter->saveState());
    ini.setValue(QStringLiteral("items/header"), ItemHeader(frame)->saveState());
    ini.setValue(QStringLiteral("events/header"), EventHeader(frame)->saveState());
    ini.setValue(QStringLiteral("history/range"), static_cast<int>(frame.HistoryPane()->Chart()->Range()));
    ini.sync();
}

bool RestoreWindowState(CMainFrame& frame, const QString& path)
{
    QSettings ini(path, QSettings::IniFormat);
    if (ini.value(QStringLiteral("format")).toInt() != kFormat)
        return false;
    if (!frame.restoreGeometry(ini.value(QStringLiteral("window/geometry")).toByteArray()))
        return false;
    frame.restoreState(ini.value(QStringLiteral("window/bars")).toByteArray());
    for (const SplitterKey& s : kSplitters)
        if (QSplitter* splitter = s.get(frame))
            splitter->restoreState(ini.value(QLatin1String(s.key)).toByteArray());
    QHeaderView* items = ItemHeader(frame);
    if (items->restoreState(ini.value(QStringLiteral("items/header")).toByteArray())) {
        // The header remembers the indicator; the view must be told to sort by it.
        items->setSectionResizeMode(0, QHeaderView::Fixed);
        frame.ItemView()->List()->sortByColumn(items->sortIndicatorSection(), items->sortIndicatorOrder());
    }
    EventHeader(frame)->restoreState(ini.value(QStringLiteral("events/header")).toByteArray());
    const int range = ini.value(QStringLiteral("history/range")).toInt();
    if (range >= 0 && range <= static_cast<int>(HistoryRange::kDay)) {
        frame.HistoryPane()->Chart()->SetRange(static_cast<HistoryRange>(range));
        if (QAbstractButton* b = frame.HistoryPane()->RangeButtons()->button(range))
            b->setChecked(true);
    }
    return true;
}

} // namespace varnell
