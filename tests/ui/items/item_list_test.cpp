#include <gtest/gtest.h>

#include <QAction>
#include <QHeaderView>
#include <QMenu>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTextBlock>
#include <QTextEdit>

#include <cstring>
#include <thread>

#include "alerts/event_list.h"
#include "items/reply_detail.h"
#include "probe/engine.h"
#include "tests/ui/items/view_test_support.h"
#include "tests/ui/qt_test_env.h"
#include "ui/items/dns_item_view.h"
#include "ui/items/item_dialog.h"
#include "ui/items/result_bridge.h"
#include "ui/pictures/state_images.h"
#include "ui/platform/qt_ui_channel.h"

using namespace varnell;
using namespace varnell::test;

namespace {

class ItemListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitItemTable();
        ClearEventList();
    }
    QTextEdit pane;
};

QStringList RowTexts(CDnsListCtrl* list, int row)
{
    QStringList texts;
    for (int c = 0; c < kItemColumnCount; ++c)
        texts << list->Model()->TextAt(row, c);
    return texts;
}

// Every list row shows the slot that the table maps it to, and that slot's
// row position leads back to the row.
void ExpectListMatchesTable(CDnsListCtrl* list)
{
    const LockedItems locked = LockItems();
    const ItemTable& t = *locked;
    ASSERT_EQ(static_cast<std::uint32_t>(list->Model()->rowCount()), t.rowCount);
    for (std::uint32_t r = 0; r < t.rowCount; ++r) {
        const DnsItem* item = list->Model()->ItemAt(static_cast<int>(r));
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(SlotOf(*item), t.rowToSlot[r]) << "row " << r;
        EXPECT_EQ(item->rowPosition, static_cast<std::int32_t>(r));
        EXPECT_EQ(list->Model()->TextAt(static_cast<int>(r), kColName).toStdString(), BlockOf(*item).name);
    }
}

void SelectRows(CDnsListCtrl* list, std::initializer_list<int> rows)
{
    list->clearSelection();
    for (int r : rows)
        list->selectionModel()->select(list->model()->index(r, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

QColor ColourOf(QTextEdit& pane, const QString& fragment)
{
    const QTextCursor found = pane.document()->find(fragment);
    return found.isNull() ? QColor() : found.charFormat().foreground().color();
}

} // namespace

TEST_F(ItemListTest, ColumnsAndANewItemsRow)
{
    AddTestItem("alpha", AddrBE(198, 51, 100, 9));
    CDnsItemView view(&pane, nullptr);
    CDnsListCtrl* list = view.List();

    const char* titles[] = {" ", "Item Name", "Dns Name", "Type", "IP Address", "DNS Server",
                            "Monitor State", "RTT:Min/Max/Avg/Cur", "Reqs:Send/Fail", "Replys"};
    const int widths[] = {20, 158, 128, 38, 98, 98, 128, 158, 68, 68};
    ASSERT_EQ(list->model()->columnCount(), 10);
    for (int c = 0; c < 10; ++c) {
        EXPECT_EQ(list->model()->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(), titles[c]);
        EXPECT_EQ(list->columnWidth(c), widths[c]);
    }
    EXPECT_TRUE(list->showGrid());
    EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);

    ASSERT_EQ(list->model()->rowCount(), 1);
    EXPECT_EQ(RowTexts(list, 0), (QStringList{"", "alpha", "alpha.example.test", "A", "0.0.0.0", "198.51.100.9",
                                              "", "", "", ""}));
    EXPECT_EQ(list->Model()->ImageAt(0), kImageFailing);
    EXPECT_EQ(list->model()->data(list->model()->index(0, 0), Qt::UserRole).toUInt(), LockItems()->rowToSlot[0]);
    EXPECT_FALSE(list->model()->data(list->model()->index(0, 0), Qt::DecorationRole).value<QIcon>().isNull());

    // Out-of-range cells and rows are refused, not indexed with.
    EXPECT_FALSE(list->model()->data(list->model()->index(1, 1), Qt::DisplayRole).isValid());
    EXPECT_FALSE(list->Model()->SetText(1, kColName, "x"));
    EXPECT_FALSE(list->Model()->SetText(0, kItemColumnCount, "x"));
    EXPECT_FALSE(list->Model()->SetImage(0, 5));
}

TEST_F(ItemListTest, ABatchOfRowUpdatesIsSignalledOncePerRunOfRowsAndKeepsTheSortedViewInStep)
{
    std::vector<std::uint32_t> itemSlots;
    for (const char* name : {"alpha", "beta", "gamma", "delta", "epsilon"})
        itemSlots.push_back(AddTestItem(name));
    CDnsItemView view(&pane, nullptr);
    CDnsListCtrl* list = view.List();
    CDnsItemModel* m = list->Model();
    QCoreApplication::processEvents(); // the rows' first texts
    QSignalSpy changed(m, &QAbstractItemModel::dataChanged);
    const auto item = [&](int row) -> const DnsItem& { return LockItems()->items[itemSlots[static_cast<std::size_t>(row)]]; };

    // Down first: the view sorts by state, and every row starts failing.
    list->sortByColumn(kColState, Qt::DescendingOrder);
    // A batch: rows 0 and 1 (twice for row 1), then row 3; unchanged texts count for nothing.
    list->SetRowText(item(0), kColMonitorState, "Get Reply");
    list->SetRowText(item(1), kColRtt, "1ms/1ms/1ms/1ms");
    list->SetRowImage(item(1), kImageUp);
    list->SetRowText(item(3), kColReplies, "1");
    list->SetRowImage(item(3), kImageDown);
    list->SetRowText(item(4), kColName, "epsilon"); // unchanged
    EXPECT_EQ(changed.count(), 0); // nothing until the batch is over
    QCoreApplication::processEvents();
    ASSERT_EQ(changed.count(), 2);
    EXPECT_EQ(changed[0][0].toModelIndex(), m->index(0, kColState));
    EXPECT_EQ(changed[0][1].toModelIndex(), m->index(1, kColReplies));
    EXPECT_EQ(changed[1][0].toModelIndex(), m->index(3, kColState));
    EXPECT_EQ(changed[1][1].toModelIndex(), m->index(3, kColReplies));
    EXPECT_EQ(m->TextAt(1, kColRtt), "1ms/1ms/1ms/1ms");
    // The image alone changed row 3's state: the sorted view moved it first, and
    // row 1 (now up) after the failing rows.
    EXPECT_EQ(list->ModelRow(list->model()->index(0, 0)), 3);
    EXPECT_EQ(list->ModelRow(list->model()->index(4, 0)), 1);
    QCoreApplication::processEvents();
    EXPECT_EQ(changed.count(), 2);

    // A row removed while a change is pending: the change is signalled for the
    // rows as they were, and the rows after it still show their own texts.
    list->SetRowText(item(4), kColReplies, "9");
    DeleteItemRow(2);
    m->RemoveRow(2);
    ASSERT_EQ(changed.count(), 3);
    EXPECT_EQ(changed[2][0].toModelIndex().row(), 4);
    EXPECT_EQ(m->TextAt(3, kColReplies), "9");
    QCoreApplication::processEvents();
    EXPECT_EQ(changed.count(), 3);

    // An item that is no longer listed reaches no row.
    const DnsItem& gone = item(0);
    DeleteItemRow(0);
    m->RemoveRow(0);
    list->SetRowText(gone, kColMonitorState, "late");
    for (int r = 0; r < m->rowCount(); ++r)
        EXPECT_NE(m->TextAt(r, kColMonitorState), "late");

    // Texts come as UTF-8: one beyond ASCII is set whole, and found unchanged.
    QCoreApplication::processEvents();
    const int before = static_cast<int>(changed.count());
    list->SetRowText(item(1), kColMonitorState, "R\xC3\xA9ponse \xE2\x9C\x93");
    QCoreApplication::processEvents();
    EXPECT_EQ(m->TextAt(0, kColMonitorState), QString::fromUtf8("R\xC3\xA9ponse \xE2\x9C\x93"));
    list->SetRowText(item(1), kColMonitorState, "R\xC3\xA9ponse \xE2\x9C\x93");
    QCoreApplication::processEvents();
    EXPECT_EQ(changed.count(), before + 1);
}

TEST_F(ItemListTest, DeletingRowZeroOfThreeKeepsRowsAndSlotsInStep)
{
    AddTestItem("a");
    AddTestItem("b");
    AddTestItem("c");
    CDnsItemView view(&pane, nullptr);
    CDnsListCtrl* list = view.List();
    ModalDriver driver;

    view.OnDelete(); // nothing selected
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].text, "Please choose a dns item to delete !");
    EXPECT_EQ(driver.boxes[0].caption, "Varnell");
    EXPECT_EQ(driver.boxes[0].buttons, 1);
    EXPECT_EQ(LockItems()->rowCount, 3u);

    SelectRows(list, {0, 2}); // only the first selected row goes
    view.OnDelete();
    EXPECT_EQ(LockItems()->rowCount, 2u);
    EXPECT_EQ(LockItems()->liveCount, 2u);
    EXPECT_EQ(LockItems()->highWater, 3u); // slot 0 is a hole now
    EXPECT_EQ(list->Model()->TextAt(0, kColName), "b");
    EXPECT_EQ(list->Model()->TextAt(1, kColName), "c");
    EXPECT_NE(LockItems()->items[0].flags & kFlagDeleted, 0u);
    EXPECT_EQ(LockItems()->items[0].rowPosition, -1);
    ExpectListMatchesTable(list);

    // With a hole below it, the last row's slot is not given back.
    SelectRows(list, {1});
    view.OnDelete();
    ExpectListMatchesTable(list);
    EXPECT_EQ(list->Model()->TextAt(0, kColName), "b");
    EXPECT_EQ(LockItems()->highWater, 3u);
    EXPECT_EQ(driver.boxes.size(), 1u);
}

TEST_F(ItemListTest, SuspendAndResumeActOnEverySelectedRow)
{
    for (const char* name : {"a", "b", "c", "d"})
        AddTestItem(name);
    CDnsItemView view(&pane, nullptr);
    CDnsListCtrl* list = view.List();
    const QStringList before = RowTexts(list, 1);

    SelectRows(list, {1, 3});
    view.OnSuspend();
    for (std::uint32_t s = 0; s < 4; ++s)
        EXPECT_EQ((LockItems()->items[s].flags & kFlagSuspended) != 0, s == 1 || s == 3) << "slot " << s;
    EXPECT_EQ(RowTexts(list, 1), before); // the row keeps its texts and image
    EXPECT_EQ(list->Model()->ImageAt(1), kImageFailing);

    SelectRows(list, {0, 1, 2});
    view.OnSuspend();
    SelectRows(list, {2, 3});
    view.OnResume();
    for (std::uint32_t s = 0; s < 4; ++s)
        EXPECT_EQ((LockItems()->items[s].flags & kFlagSuspended) != 0, s == 0 || s == 1) << "slot " << s;

    const std::uint32_t flagsBefore = LockItems()->items[0].flags;
    EXPECT_TRUE(view.OnCommand(kCmdClearStatistics)); // an entry with no action
    EXPECT_EQ(LockItems()->items[0].flags, flagsBefore);
}

TEST_F(ItemListTest, SettingEntryOpensTheItemDialogAndDoubleClickUpdates)
{
    AddTestItem("first");
    CDnsItemView view(&pane, nullptr);
    CDnsListCtrl* list = view.List();

    std::unique_ptr<QMenu> menu(BuildItemContextMenu(list, nullptr));
    QStringList entries;
    QAction* setting = nullptr;
    for (QAction* a : menu->actions()) {
        entries << (a->isSeparator() ? QString("-") : a->text());
        if (a->text() == "&Setting...\tCtrl+S")
            setting = a;
    }
    EXPECT_EQ(entries, (QStringList{"&Add Dns...\tCtrl+A", "&Del Dns...\tCtrl+D", "&Clear Statistics\tCtrl+C", "-",
                                    "&Setting...\tCtrl+S", "-", "S&uspend the selected items",
                                    "R&esume the selected items"}));
    ASSERT_NE(setting, nullptr);

    QString title;
    {
        ModalDriver driver([&](QWidget* w) {
            auto* dialog = qobject_cast<DlgAddDNS*>(w);
            ASSERT_NE(dialog, nullptr);
            title = dialog->windowTitle();
            dialog->itemName->setText("second");
            dialog->domainName->setText("second.example.test");
            dialog->server->SetText("192.0.2.1");
            dialog->okButton->click();
        });
        setting->trigger();
    }
    EXPECT_EQ(title, "Add DNS");
    ASSERT_EQ(list->model()->rowCount(), 2);
    EXPECT_EQ(RowTexts(list, 1), (QStringList{"", "second", "second.example.test", "A", "0.0.0.0", "192.0.2.1",
                                              "", "", "", ""}));
    ExpectListMatchesTable(list);

    // A double click on a row opens the dialog in update mode on that row's item.
    list->resize(900, 300);
    list->show();
    SelectRows(list, {1});
    {
        ModalDriver driver([&](QWidget* w) {
            auto* dialog = qobject_cast<DlgAddDNS*>(w);
            ASSERT_NE(dialog, nullptr);
            title = dialog->windowTitle();
            dialog->recordType->setCurrentIndex(2);
            dialog->server->SetText("192.0.2.99");
            dialog->okButton->click();
        });
        const QPoint at = list->visualRect(list->model()->index(1, 1)).center();
        QMouseEvent press(QEvent::MouseButtonPress, at, list->viewport()->mapToGlobal(at), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QMouseEvent dbl(QEvent::MouseButtonDblClick, at, list->viewport()->mapToGlobal(at), Qt::LeftButton,
                        Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list->viewport(), &press);
        QApplication::sendEvent(list->viewport(), &dbl);
    }
    EXPECT_EQ(title, "Update DNS");
    EXPECT_EQ(list->Model()->TextAt(1, kColType), "MX");
    EXPECT_EQ(list->Model()->TextAt(1, kColServer), "192.0.2.99");
    EXPECT_EQ(LockItems()->rowCount, 2u);
    ExpectListMatchesTable(list);
}

TEST_F(ItemListTest, FullTableRefusesAdd)
{
    InitItemTable();
    for (std::uint32_t i = 0; i < kItemSlots; ++i)
        ASSERT_LT(AddTestItem("i" + std::to_string(i)), kItemSlots);
    CDnsItemView view(&pane, nullptr);
    ModalDriver driver([](QWidget* w) { ADD_FAILURE() << "a dialog opened: " << w->windowTitle().toStdString(); });
    view.OnAdd();
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].text, "The item table is full: delete an item first.");
    EXPECT_EQ(LockItems()->rowCount, kItemSlots);
}

TEST_F(ItemListTest, FirstColumnDividerCannotBeDraggedAndHeaderClicksSelectNothing)
{
    AddTestItem("a");
    AddTestItem("b");
    CDnsItemView view(&pane, nullptr);
    CDnsListCtrl* list = view.List();
    list->resize(900, 200);
    list->show();
    QHeaderView* header = list->horizontalHeader();
    const int y = header->height() / 2;
    auto drag = [&](int fromX, int toX) {
        QWidget* port = header->viewport();
        const QPoint from(fromX, y), to(toX, y);
        QMouseEvent press(QEvent::MouseButtonPress, from, port->mapToGlobal(from), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QMouseEvent move(QEvent::MouseMove, to, port->mapToGlobal(to), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, to, port->mapToGlobal(to), Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QApplication::sendEvent(port, &press);
        QApplication::sendEvent(port, &move);
        QApplication::sendEvent(port, &release);
    };
    drag(20, 70);
    EXPECT_EQ(list->columnWidth(0), 20);
    EXPECT_EQ(list->columnWidth(1), 158);
    drag(20 + 158 - 1, 20 + 158 + 40);
    EXPECT_GT(list->columnWidth(1), 158);
    EXPECT_EQ(list->columnWidth(0), 20);
    EXPECT_EQ(header->sectionResizeMode(0), QHeaderView::Fixed);
    EXPECT_EQ(header->sectionResizeMode(1), QHeaderView::Interactive);

    const int middle = header->sectionViewportPosition(3) + header->sectionSize(3) / 2;
    drag(middle, middle);
    EXPECT_FALSE(list->selectionModel()->hasSelection());
}

TEST_F(ItemListTest, FocusShowsTheReplyDetailInColour)
{
    AddTestItem("plain");
    const std::uint32_t slot = AddTestItem("mail");
    ItemBlock& block = LockItems()->blocks[slot];
    // One CNAME answer and one MX answer, as the parser lays them out.
    auto text = [&](const std::string& s) {
        const std::uint32_t at = block.namesCursor;
        std::memcpy(block.names + at, s.c_str(), s.size() + 1);
        block.namesCursor += static_cast<std::uint32_t>(s.size() + 1);
        return at;
    };
    auto record = [&](const std::string& owner, std::uint16_t type, const std::string& data) {
        ReplyRecord& r = block.records[block.nextFree++];
        r.owner = text(owner);
        r.typeBE = static_cast<std::uint16_t>(type << 8);
        r.ttlBE = 0x2C010000u; // 300 in network byte order
        r.data = text(data);
    };
    record("mail.example.test", 5, "mx.example.test");
    record("mx.example.test", 15, "mx1.example.test");
    block.records[1].preference = 10;
    block.answerRecords = 2;
    block.authorityStart = block.additionalStart = 2;
    block.answerCount = 1;
    block.answers[0].addrBE = AddrBE(192, 0, 2, 25);

    CDnsItemView view(&pane, nullptr);
    CDnsListCtrl* list = view.List();
    list->setCurrentIndex(list->model()->index(1, 3));

    QString expected = QString::fromStdString(DetailPlainText(ReplyDetailOf(LockItems()->items[slot])));
    expected.replace("\r\n", "\n");
    EXPECT_EQ(pane.toPlainText(), expected);
    EXPECT_TRUE(pane.toPlainText().startsWith("mail.example.test\n1 Address:192.0.2.25; \n\n2 Answers:\n"));
    EXPECT_TRUE(pane.toPlainText().contains("     MX preference 10, MX name : mx1.example.test\n"));
    EXPECT_EQ(ColourOf(pane, "alias name : mx.example.test"), QColor(255, 0, 0));
    EXPECT_EQ(ColourOf(pane, "Answers name : mail.example.test"), QColor(128, 128, 128));
    EXPECT_EQ(ColourOf(pane, "Answers TTL : 300"), QColor(0, 128, 0));
    EXPECT_EQ(ColourOf(pane, "Answers 2:"), QColor(0, 0, 255));
    EXPECT_EQ(ColourOf(pane, "2 Answers:"), QColor(0, 0, 0));
    EXPECT_TRUE(pane.updatesEnabled());

    // Another row replaces the text; an item never answered shows empty sections.
    list->setCurrentIndex(list->model()->index(0, 1));
    EXPECT_EQ(pane.toPlainText(), "plain.example.test\n0 Address:\n\n0 Answers:\n\n0 Authoritative:\n\n"
                                  "0 Additional:\n\n0 External:\n");
}

TEST_F(ItemListTest, ResultBridgeCarriesResultsAndEngineMessages)
{
    ItemEdit quiet;
    quiet.interval = 1000;
    quiet.timeout = 60000;
    quiet.serverBE = AddrBE(192, 0, 2, 53);
    quiet.name = "alpha";
    quiet.domain = "alpha.example.test";
    quiet.lostCount = 1;
    quiet.notifyDown = quiet.notifyUp = quiet.notifyChange = false; // no alert channels from a test
    ASSERT_TRUE(CommitNewItem(static_cast<std::uint32_t>(NewItemSlot()), quiet));
    const std::uint32_t slot = LockItems()->rowToSlot[0];

    CDnsItemView view(&pane, nullptr);
    CDnsListCtrl* list = view.List();
    QtUiChannel desktop;
    SetUiChannel(&desktop);
    InstallResultBridge(&view);
    ASSERT_NE(Engine().resultWindow.load(), kNoWindow);
    ASSERT_NE(Engine().eventWindow.load(), kNoWindow);

    {
        std::lock_guard lock(EngineLock());
        ItemBlock& block = LockItems()->blocks[slot];
        block.sendTime = TickCount();
        block.sent = 1;
        block.replies = 1;
        block.answerCount = 1;
        block.answers[0].addrBE = AddrBE(192, 0, 2, 7);
    }
    // As the receiver does: send from an engine thread and wait for the handler.
    bool delivered = false;
    std::atomic<bool> done{false};
    std::thread receiver([&] {
        delivered = GetUiChannel().Send(Engine().resultWindow.load(), WindowMessage{WM_DNS_RESULT, slot, 0, {}});
        done = true;
    });
    ASSERT_TRUE(ProcessUntil([&] { return done.load(); }, 5000));
    receiver.join();
    EXPECT_TRUE(delivered);
    EXPECT_EQ(list->Model()->TextAt(0, kColMonitorState), "Get Reply");
    EXPECT_EQ(list->Model()->TextAt(0, kColAddress), "192.0.2.7");
    EXPECT_EQ(list->Model()->TextAt(0, kColRequests), "1/0");
    EXPECT_EQ(list->Model()->TextAt(0, kColReplies), "1");
    EXPECT_EQ(list->Model()->ImageAt(0), kImageUp); // continuous lost 1: the first success turns it green
    ASSERT_EQ(EventRowCount(), 1u);
    EXPECT_EQ(EventRowAt(0).message, "the ip of alpha is changed to 192.0.2.7; ");
    EXPECT_EQ(EventRowAt(0).kind, kEventChanged);

    // A failure from the scheduler arrives posted; a slot number that is no slot is dropped.
    GetUiChannel().Post(Engine().resultWindow.load(), WindowMessage{WM_DNS_RESULT, kItemSlots + 5, 16, {}});
    GetUiChannel().Post(Engine().resultWindow.load(), WindowMessage{WM_DNS_RESULT, slot, 16, {}});
    ReportEngineMessage("WSA IO error code is 9");
    ASSERT_TRUE(ProcessUntil([&] { return EventRowCount() == 2; }, 5000));
    EXPECT_EQ(list->Model()->TextAt(0, kColMonitorState), "Error code 16: Request timeout");
    EXPECT_EQ(list->Model()->ImageAt(0), kImageFailing);
    EXPECT_EQ(EventRowAt(0).message, "WSA IO error code is 9");
    EXPECT_EQ(EventRowAt(0).kind, kEventUp);

    RemoveResultBridge();
    EXPECT_EQ(Engine().resultWindow.load(), kNoWindow);
    EXPECT_EQ(GetResultHooks(), nullptr);
    SetUiChannel(nullptr);
}
