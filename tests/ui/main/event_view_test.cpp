#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTextEdit>

#include "alerts/event_list.h"
#include "tests/ui/qt_test_env.h"
#include "ui/main/event_view.h"
#include "ui/pictures/state_images.h"

using namespace varnell;

namespace {

class EventViewTest : public ::testing::Test {
protected:
    void SetUp() override { ClearEventList(); }
    void TearDown() override { ClearEventList(); }
    static void Add(const std::string& text, int kind, std::int64_t time = 1700000000)
    {
        std::string timeText;
        AddEventRow(nullptr, text, time, kind, timeText);
    }
    QTextEdit pane;
};

QString Cell(CEventListCtrl* list, int row, int column, int role = Qt::DisplayRole)
{
    return list->model()->data(list->model()->index(row, column), role).toString();
}

} // namespace

TEST_F(EventViewTest, NewestRowOnTopWithItsImageAndKind)
{
    CEventView view(&pane, nullptr);
    CEventListCtrl* list = view.List();
    EXPECT_EQ(list->model()->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), "Time");
    EXPECT_EQ(list->model()->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), "Message");
    EXPECT_EQ(list->columnWidth(0), 156);
    EXPECT_EQ(list->columnWidth(1), 200);

    QSignalSpy inserted(list->model(), &QAbstractItemModel::rowsInserted);
    Add("alpha is down", 1, 1700000000);
    Add("alpha is up", 0, 1700000060);
    Add("the ip of alpha is changed to 192.0.2.7; ", 2, 1700000120);

    ASSERT_EQ(list->model()->rowCount(), 3);
    ASSERT_EQ(inserted.count(), 3);
    for (const auto& args : inserted) {
        EXPECT_EQ(args[1].toInt(), 0);
        EXPECT_EQ(args[2].toInt(), 0);
    }
    EXPECT_EQ(Cell(list, 0, 1), "the ip of alpha is changed to 192.0.2.7; ");
    EXPECT_EQ(Cell(list, 1, 1), "alpha is up");
    EXPECT_EQ(Cell(list, 2, 1), "alpha is down");
    EXPECT_EQ(Cell(list, 0, 0).toStdString(), FormatTimeText(1700000120));
    EXPECT_EQ(list->model()->data(list->model()->index(0, 0), Qt::UserRole).toInt(), 2);
    EXPECT_EQ(list->model()->data(list->model()->index(2, 1), Qt::UserRole).toInt(), 1);
    // The changed event shows the third picture.
    const QIcon icon = list->model()->data(list->model()->index(0, 0), Qt::DecorationRole).value<QIcon>();
    EXPECT_EQ(icon.pixmap(16, 16).toImage(), EventImage(2).pixmap(16, 16).toImage());
    EXPECT_NE(icon.pixmap(16, 16).toImage(), EventImage(1).pixmap(16, 16).toImage());
    EXPECT_FALSE(list->model()->index(3, 0).isValid());
}

TEST_F(EventViewTest, FocusPutsAtMost2087CharactersInThePane)
{
    CEventView view(&pane, nullptr);
    CEventListCtrl* list = view.List();
    std::string longText(3000, 'm');
    longText.replace(2080, 10, "0123456789");
    Add(longText, 0);
    Add("short one", 1);

    list->setCurrentIndex(list->model()->index(1, 0));
    EXPECT_EQ(pane.toPlainText().size(), 2087);
    EXPECT_TRUE(pane.toPlainText().endsWith("m0123456"));
    list->setCurrentIndex(list->model()->index(0, 1));
    EXPECT_EQ(pane.toPlainText(), "short one");

    // A cut never leaves half a UTF-8 sequence behind.
    std::string accented(2086, 'x');
    accented += "\xC3\xA9tail";
    Add(accented, 0);
    list->setCurrentIndex(list->model()->index(0, 1));
    EXPECT_EQ(pane.toPlainText(), QString(2086, 'x'));
}

TEST_F(EventViewTest, ClearEmptiesTheListAndLaterEventsStillArrive)
{
    CEventView view(&pane, nullptr);
    CEventListCtrl* list = view.List();
    Add("one", 0);
    Add("two", 1);
    list->setCurrentIndex(list->model()->index(0, 0));
    view.ClearEvents();
    EXPECT_EQ(list->model()->rowCount(), 0);
    EXPECT_EQ(EventRowCount(), 0u);
    Add("three", 2);
    ASSERT_EQ(list->model()->rowCount(), 1);
    EXPECT_EQ(Cell(list, 0, 1), "three");
}

TEST_F(EventViewTest, RowsAddedBeforeTheViewAreShown)
{
    Add("before", 0);
    CEventView view(&pane, nullptr);
    ASSERT_EQ(view.List()->model()->rowCount(), 1);
    EXPECT_EQ(Cell(view.List(), 0, 1), "before");
}

TEST_F(EventViewTest, ANewerViewKeepsUpdatingWhenAnOlderOneGoes)
{
    auto older = std::make_unique<CEventView>(&pane, nullptr);
    CEventView newer(&pane, nullptr);
    older.reset();
    Add("after", 0);
    ASSERT_EQ(newer.List()->model()->rowCount(), 1);
    EXPECT_EQ(Cell(newer.List(), 0, 1), "after");
}
