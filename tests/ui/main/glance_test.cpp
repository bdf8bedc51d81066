// The list at full size (filter, sort, suspended rows, keys), the tray's state
// from the items' states, the window layout kept between runs, and the history
// chart of an item that had an outage.
#include <gtest/gtest.h>

#include <QDialog>
#include <QFile>
#include <QHeaderView>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

#include <fstream>

#include "items/history.h"
#include "items/result_hooks.h"
#include "tests/support/process.h"
#include "tests/ui/items/view_test_support.h"
#include "tests/ui/qt_test_env.h"
#include "ui/items/dns_item_view.h"
#include "ui/items/history_chart.h"
#include "ui/items/item_filter.h"
#include "ui/main/main_frame.h"
#include "ui/main/tray_state.h"
#include "ui/main/window_state.h"
#include "ui/pictures/palette_colours.h"
#include "ui/pictures/state_images.h"

using namespace varnell;
using namespace varnell::test;

namespace {

// The rows' latest results, as result evaluation would have set them.
void SetResult(CDnsItemModel* m, int row, int image, int rttCur, int replies)
{
    m->SetImage(row, image);
    m->SetText(row, kColMonitorState, image == kImageUp ? QStringLiteral("Get Reply") : QStringLiteral("Error code 16: Request timeout"));
    m->SetText(row, kColRtt, QStringLiteral("1ms/999ms/50ms/%1ms").arg(rttCur));
    m->SetText(row, kColReplies, QString::number(replies));
}

// The model rows in the order the view shows them.
std::vector<int> ViewOrder(CDnsListCtrl* list)
{
    std::vector<int> rows;
    for (int r = 0; r < list->model()->rowCount(); ++r)
        rows.push_back(list->ModelRow(list->model()->index(r, 0)));
    return rows;
}

class GlanceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitItemTable();
        ClearAllHistory();
    }
    void TearDown() override { ClearAllHistory(); }
};

TEST_F(GlanceTest, FullListFiltersAndSortsTheViewWithoutTouchingTheStoredOrder)
{
    for (unsigned i = 0; i < kItemSlots; ++i)
        ASSERT_LT(AddTestItem("item-" + std::to_string(1000 + i), AddrBE(10, 0, (i / 250) % 256, i % 250 + 1)),
                  kItemSlots);
    QTextEdit pane;
    CDnsItemView view(&pane, nullptr);
    CDnsListCtrl* list = view.List();
    CDnsItemModel* m = list->Model();
    ASSERT_EQ(m->rowCount(), static_cast<int>(kItemSlots));
    for (int r = 0; r < m->rowCount(); ++r)
        SetResult(m, r, r % 97 == 0 ? kImageDown : (r % 13 == 0 ? kImageFailing : kImageUp), (r * 7919) % 1000,
                  (r * 31) % 150);
    m->SetSuspended(5, true);

    // Round trips by the current one, as numbers.
    list->sortByColumn(kColRtt, Qt::AscendingOrder);
    std::vector<int> order = ViewOrder(list);
    ASSERT_EQ(order.size(), kItemSlots);
    for (std::size_t i = 1; i < order.size(); ++i)
        ASSERT_LE((order[i - 1] * 7919) % 1000, (order[i] * 7919) % 1000) << i;
    // Replies as numbers: 9 before 10, descending puts the largest first.
    list->sortByColumn(kColReplies, Qt::DescendingOrder);
    EXPECT_EQ(m->TextAt(ViewOrder(list).front(), kColReplies), QStringLiteral("149"));
    // Servers as addresses: 10.0.0.9 before 10.0.0.10.
    list->sortByColumn(kColServer, Qt::AscendingOrder);
    order = ViewOrder(list);
    EXPECT_EQ(m->TextAt(order[8], kColServer), QStringLiteral("10.0.0.9"));
    EXPECT_EQ(m->TextAt(order[9], kColServer), QStringLiteral("10.0.0.10"));
    // Addresses too, IPv6 ones after every IPv4 one and by their bytes: ::10 is
    // above ::9, though not as text.
    m->SetText(0, kColAddress, QStringLiteral("2001:db8::9"));
    m->SetText(1, kColAddress, QStringLiteral("2001:db8::10"));
    m->SetText(2, kColAddress, QStringLiteral("192.0.2.1"));
    list->sortByColumn(kColAddress, Qt::DescendingOrder);
    order = ViewOrder(list);
    EXPECT_EQ((std::vector<int>(order.begin(), order.begin() + 3)), (std::vector<int>{1, 0, 2}));
    // State by severity: down first, suspended last, ties in stored order.
    list->sortByColumn(kColState, Qt::DescendingOrder);
    order = ViewOrder(list);
    EXPECT_EQ(order.front(), 0);
    EXPECT_EQ(m->ImageAt(order[21]), kImageDown); // 22 rows are multiples of 97
    EXPECT_NE(m->ImageAt(order[22]), kImageDown);
    EXPECT_EQ(order.back(), 5);

    // Nothing of that moved the stored order.
    for (int r = 0; r < m->rowCount(); ++r)
        ASSERT_EQ(SlotOf(*m->ItemAt(r)), LockItems()->rowToSlot[static_cast<std::size_t>(r)]);

    // The filter matches name, domain, server and state, whatever the case.
    CItemFilterModel* filter = list->Filter();
    view.FilterBox()->setText(QStringLiteral("ITEM-1042"));
    EXPECT_EQ(filter->rowCount(), 1);
    view.FilterBox()->setText(QStringLiteral("item-2047.example"));
    EXPECT_EQ(filter->rowCount(), 1);
    view.FilterBox()->setText(QStringLiteral("10.0.7.250"));
    EXPECT_EQ(filter->rowCount(), 1);
    view.FilterBox()->setText(QStringLiteral("down"));
    EXPECT_EQ(filter->rowCount(), 22);
    view.FilterBox()->setText(QStringLiteral("suspended"));
    EXPECT_EQ(filter->rowCount(), 1);
    view.FilterBox()->setText(QStringLiteral("timeout"));
    EXPECT_EQ(filter->rowCount(), 22 + 158 - 2); // down and failing rows; 0 and 1261 are both

    // Sorted and filtered, every row handed on is a model row: selection, F2,
    // and a result arriving for a row that is filtered out.
    view.FilterBox()->setText(QStringLiteral("down"));
    list->setCurrentIndex(list->model()->index(3, 0));
    list->selectRow(3);
    const int chosen = list->ModelRow(list->model()->index(3, 0));
    EXPECT_EQ(list->FirstSelectedRow(), chosen);
    EXPECT_EQ(m->ImageAt(chosen), kImageDown);
    QSignalSpy activated(list, &CDnsListCtrl::RowActivated);
    QSignalSpy deleteKey(list, &CDnsListCtrl::DeleteKeyPressed);
    {
        // F2 and Enter open Update on the chosen row; the dialog is cancelled.
        int dialogs = 0;
        ModalDriver driver([&](QWidget* w) {
            ++dialogs;
            if (auto* d = qobject_cast<QDialog*>(w))
                d->reject();
        });
        QTest::keyClick(list, Qt::Key_F2);
        QTest::keyClick(list, Qt::Key_Return);
        EXPECT_EQ(dialogs, 2);
    }
    {
        // The Delete key asks first; refused, nothing is deleted.
        ModalDriver driver;
        QTest::keyClick(list, Qt::Key_Delete);
        ASSERT_EQ(driver.boxes.size(), 1u);
        EXPECT_EQ(driver.boxes[0].text, QStringLiteral("Delete the item \"%1\"?").arg(m->TextAt(chosen, kColName)));
    }
    EXPECT_EQ(LockItems()->rowCount, kItemSlots);
    ASSERT_EQ(activated.count(), 2);
    EXPECT_EQ(activated.at(0).at(0).toInt(), chosen);
    EXPECT_EQ(deleteKey.count(), 1);
    m->SetImage(1, kImageDown); // row 1 was up: it joins the filtered view
    m->FlushChanges();
    EXPECT_EQ(filter->rowCount(), 23);

    // A suspended row is greyed and paused in the view.
    view.FilterBox()->clear();
    const QModelIndex paused = filter->mapFromSource(m->index(5, kColState));
    EXPECT_EQ(paused.data(Qt::DecorationRole).value<QIcon>().cacheKey(), PausedImage().cacheKey());
    EXPECT_EQ(paused.data(Qt::ForegroundRole).value<QBrush>().color(),
              QGuiApplication::palette().color(QPalette::Disabled, QPalette::Text));
    m->SetSuspended(5, false);
    EXPECT_FALSE(filter->mapFromSource(m->index(5, kColName)).data(Qt::ForegroundRole).isValid());
}

TEST_F(GlanceTest, TrayStateAndTipFollowTheItemStates)
{
    for (int i = 0; i < 5; ++i)
        AddTestItem("t" + std::to_string(i));
    QTextEdit pane;
    CDnsItemView view(&pane, nullptr);
    CDnsItemModel* m = view.List()->Model();
    std::vector<std::pair<TrayState, QString>> applied;
    QIcon lastIcon;
    CStateIndicator indicator(m, [&](const QIcon& icon, const QString& tip, TrayState state) {
        applied.emplace_back(state, tip);
        lastIcon = icon;
    });
    indicator.Recount();
    // No results yet: nothing is counted, and nothing alarms.
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_EQ(applied.back(), std::make_pair(TrayState::kAllUp, QStringLiteral("Varnell: 0 down, 0 failing, 0 up")));

    // Many changes within one period give one recount.
    for (int r = 0; r < 5; ++r)
        SetResult(m, r, kImageUp, 10, 1);
    ASSERT_TRUE(ProcessUntil([&] { return applied.size() == 2; }, 2000));
    EXPECT_EQ(applied.back(), std::make_pair(TrayState::kAllUp, QStringLiteral("Varnell: 0 down, 0 failing, 5 up")));
    SetResult(m, 1, kImageFailing, 10, 1);
    ASSERT_TRUE(ProcessUntil([&] { return applied.size() == 3; }, 2000));
    EXPECT_EQ(applied.back().first, TrayState::kSomeFailing);
    SetResult(m, 3, kImageDown, 10, 1);
    ASSERT_TRUE(ProcessUntil([&] { return applied.size() == 4; }, 2000));
    EXPECT_EQ(applied.back(), std::make_pair(TrayState::kSomeDown, QStringLiteral("Varnell: 1 down, 1 failing, 3 up")));
    // A suspended item counts for nothing, down or not.
    m->SetSuspended(3, true);
    ASSERT_TRUE(ProcessUntil([&] { return applied.size() == 5; }, 2000));
    EXPECT_EQ(applied.back(), std::make_pair(TrayState::kSomeFailing, QStringLiteral("Varnell: 0 down, 1 failing, 3 up")));
    // The same counts again apply nothing.
    SetResult(m, 0, kImageUp, 20, 2);
    QTest::qWait(CStateIndicator::kRecountMs * 2);
    EXPECT_EQ(applied.size(), 5u);

    // Three looks that differ in shape, not only in colour: compare them in grey.
    auto grey = [](TrayState s) {
        return TrayStateIcon(s).pixmap(32, 32).toImage().convertToFormat(QImage::Format_Grayscale8);
    };
    EXPECT_NE(grey(TrayState::kAllUp), grey(TrayState::kSomeFailing));
    EXPECT_NE(grey(TrayState::kSomeFailing), grey(TrayState::kSomeDown));
    EXPECT_NE(grey(TrayState::kAllUp), grey(TrayState::kSomeDown));
}

TEST_F(GlanceTest, WindowLayoutAndSortComeBackNextRun)
{
    for (int i = 0; i < 3; ++i)
        AddTestItem("w" + std::to_string(i));
    TempDir dir;
    const QString path = QString::fromStdString(dir.Path() + "/window.ini");
    QList<int> rows, columns, history;
    {
        CMainFrame frame;
        frame.Create();
        EXPECT_FALSE(RestoreWindowState(frame, path)); // nothing stored yet
        frame.resize(1000, 700);
        frame.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
        frame.RowSplitter()->setSizes({400, 200});
        frame.ColumnSplitter()->setSizes({600, 300});
        frame.HistoryPane()->setSizes({150, 50});
        rows = frame.RowSplitter()->sizes();
        columns = frame.ColumnSplitter()->sizes();
        history = frame.HistoryPane()->sizes();
        frame.ItemView()->List()->setColumnWidth(kColDomain, 211);
        frame.ItemView()->List()->sortByColumn(kColName, Qt::DescendingOrder);
        frame.HistoryPane()->RangeButtons()->button(static_cast<int>(HistoryRange::kDay))->click();
        frame.SaveLayout();
    }
    CMainFrame frame;
    frame.Create();
    frame.RestoreLayout();
    ASSERT_TRUE(frame.LayoutRestored());
    frame.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
    QApplication::processEvents();
    EXPECT_EQ(frame.size(), QSize(1000, 700));
    EXPECT_EQ(frame.RowSplitter()->sizes(), rows);
    EXPECT_EQ(frame.ColumnSplitter()->sizes(), columns);
    EXPECT_EQ(frame.HistoryPane()->sizes(), history);
    CDnsListCtrl* list = frame.ItemView()->List();
    EXPECT_EQ(list->columnWidth(kColDomain), 211);
    EXPECT_EQ(list->columnWidth(kColState), 20); // the first column keeps its width
    EXPECT_EQ(list->Filter()->sortColumn(), kColName);
    EXPECT_EQ(ViewOrder(list), (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(frame.HistoryPane()->Chart()->Range(), HistoryRange::kDay);

    // A file from elsewhere (another format, or garbage) leaves the first layout.
    std::ofstream(dir.Path() + "/other.ini") << "[General]\nformat=7\n";
    EXPECT_FALSE(RestoreWindowState(frame, QString::fromStdString(dir.Path() + "/other.ini")));
    std::ofstream(dir.Path() + "/garbage.ini") << "\x01\x02 not ini at all";
    EXPECT_FALSE(RestoreWindowState(frame, QString::fromStdString(dir.Path() + "/garbage.ini")));
    QFile::remove(WindowStatePath());
}

TEST_F(GlanceTest, PlaceholdersStayReadableWhenTheSchemeTurnsDark)
{
    const QPalette before = QApplication::palette();
    KeepPlaceholdersReadable(qApp);
    // A dark scheme that names no placeholder colour: Qt's black at half strength stays.
    QPalette dark = before;
    dark.setColor(QPalette::Base, QColor(30, 32, 34));
    dark.setColor(QPalette::Text, QColor(228, 230, 232));
    dark.setColor(QPalette::PlaceholderText, QColor(0, 0, 0, 128));
    // Qt tells the application of a new palette only once its event loop runs,
    // which a test's never does: tell it as Qt would.
    auto setPalette = [](const QPalette& p) {
        QApplication::setPalette(p);
        QEvent changed(QEvent::ApplicationPaletteChange);
        QApplication::sendEvent(qApp, &changed);
    };
    setPalette(dark);
    EXPECT_EQ(QApplication::palette().color(QPalette::PlaceholderText), QColor(228, 230, 232, 128));
    EXPECT_EQ(QApplication::palette().color(QPalette::Base), QColor(30, 32, 34)); // the rest as the scheme says
    // Back to a light scheme: the light placeholder kept so far would vanish on white in turn.
    QPalette light = QApplication::palette();
    light.setColor(QPalette::Base, Qt::white);
    light.setColor(QPalette::Text, Qt::black);
    setPalette(light);
    EXPECT_EQ(QApplication::palette().color(QPalette::PlaceholderText), QColor(0, 0, 0, 128));
    QApplication::setPalette(before);
}

TEST_F(GlanceTest, FocusedItemsOutageIsDrawnAboveItsReplyText)
{
    const std::uint32_t slot = AddTestItem("outage");
    const std::int64_t now = 1796688000 + 3600;
    // Up, then down for twenty minutes with an event at each end, then up again.
    for (std::int64_t s = now - 3600; s <= now; s += 5) {
        const bool down = s >= now - 1800 && s < now - 600;
        const bool edge = s == now - 1800 || s == now - 600;
        RecordResult(slot, s, down ? 16 : 0, down ? -1 : static_cast<std::int32_t>(20 + s % 30),
                     static_cast<std::uint8_t>((down ? kHistoryDown : 0) | (edge ? kHistoryEvent : 0)));
    }
    int span = 0;
    const auto hour = ChartPoints(*HistoryOf(slot), HistoryRange::kHour, now, span);
    EXPECT_EQ(span, 60);
    ASSERT_EQ(hour.size(), 61u);
    EXPECT_EQ(std::count_if(hour.begin(), hour.end(), [](const ChartPoint& p) { return p.down; }), 20);
    EXPECT_EQ(std::count_if(hour.begin(), hour.end(), [](const ChartPoint& p) { return p.event; }), 2);
    EXPECT_EQ(std::count_if(hour.begin(), hour.end(), [](const ChartPoint& p) { return p.rttAvg < 0; }), 20);
    const auto tenMinutes = ChartPoints(*HistoryOf(slot), HistoryRange::kTenMinutes, now, span);
    EXPECT_EQ(span, 5);
    EXPECT_EQ(tenMinutes.size(), 121u);

    CMainFrame frame;
    frame.Create();
    frame.resize(1000, 700);
    frame.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
    CHistoryChart* chart = frame.HistoryPane()->Chart();
    EXPECT_EQ(chart->Slot(), -1);
    frame.ItemView()->List()->setCurrentIndex(frame.ItemView()->List()->model()->index(0, 1));
    EXPECT_EQ(chart->Slot(), static_cast<int>(slot));
    EXPECT_TRUE(frame.HistoryPane()->isAncestorOf(frame.ItemDetail()));
    chart->SetNow(now);
    frame.HistoryPane()->RangeButtons()->button(static_cast<int>(HistoryRange::kHour))->click();
    chart->resize(600, 200);
    // The down half hour is shaded: the middle of its span is redder than the
    // time before it, at the same height.
    const QImage image = chart->grab().toImage();
    const double ratio = image.width() / 600.0;
    auto redness = [&](double fraction) {
        const QColor c = image.pixelColor(static_cast<int>((70 + fraction * 520) * ratio), static_cast<int>(60 * ratio));
        return c.red() - (c.green() + c.blue()) / 2;
    };
    EXPECT_GT(redness(0.67), redness(0.2) + 10);

    // A dark desktop palette: the chart and the reply text follow it and stay readable.
    QPalette dark;
    dark.setColor(QPalette::Base, QColor(30, 32, 34));
    dark.setColor(QPalette::Window, QColor(45, 47, 50));
    dark.setColor(QPalette::Text, QColor(228, 230, 232));
    dark.setColor(QPalette::WindowText, QColor(228, 230, 232));
    const QPalette light = frame.palette();
    frame.setPalette(dark);
    const QImage darkImage = chart->grab().toImage();
    EXPECT_EQ(darkImage.pixelColor(2, 2), dark.color(QPalette::Base));
    // The twenty down minutes are one shaded period, the same colour all
    // through: no seams where one minute's shading meets the next (the grid
    // line at three quarters aside).
    QSet<QRgb> shades;
    for (int x = static_cast<int>((70 + 0.52 * 520) * ratio); x < static_cast<int>((70 + 0.81 * 520) * ratio); ++x)
        if (std::abs(x - static_cast<int>((70 + 0.75 * 520) * ratio)) > 4 * ratio)
            shades.insert(darkImage.pixel(x, static_cast<int>(60 * ratio)));
    EXPECT_EQ(shades.size(), 1);
    const QColor shade = darkImage.pixelColor(static_cast<int>((70 + 0.6 * 520) * ratio), static_cast<int>(60 * ratio));
    EXPECT_GT(shade.red(), shade.green() + 10);

    EXPECT_DOUBLE_EQ(ContrastRatio(Qt::black, Qt::white), 21.0);
    EXPECT_LT(ContrastRatio(QColor(0, 0, 255), dark.color(QPalette::Base)), 3.0);
    for (DetailColour c : {DetailColour::Black, DetailColour::Red, DetailColour::Blue, DetailColour::Grey,
                           DetailColour::Green}) {
        const std::uint32_t rgb = DetailRgb(c);
        const QColor fixed(static_cast<int>(rgb >> 16), static_cast<int>((rgb >> 8) & 0xFF), static_cast<int>(rgb & 0xFF));
        // A light palette keeps the reply text's own colours, its text colour for black.
        EXPECT_EQ(DetailColourOn(c, light), c == DetailColour::Black ? light.color(QPalette::Text) : fixed);
        const QColor onDark = DetailColourOn(c, dark);
        EXPECT_GE(ContrastRatio(onDark, dark.color(QPalette::Base)), 4.5) << static_cast<int>(c);
        if (c != DetailColour::Black) {
            EXPECT_EQ(onDark.hsvHue(), fixed.hsvHue()) << static_cast<int>(c); // lighter, same hue
        }
    }
    // What the pane shows of the focused item was written again in those colours.
    int runs = 0;
    for (QTextBlock b = frame.ItemDetail()->document()->begin(); b.isValid(); b = b.next())
        for (auto f = b.begin(); !f.atEnd(); ++f, ++runs)
            EXPECT_GE(ContrastRatio(f.fragment().charFormat().foreground().color(), dark.color(QPalette::Base)), 4.5)
                << f.fragment().text().toStdString();
    EXPECT_GT(runs, 2);
}

} // namespace
