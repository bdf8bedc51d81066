#include <gtest/gtest.h>

#include <QMenuBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTextEdit>
#include <QTest>
#include <QToolButton>

#include <memory>
#include <set>

#include "alerts/event_list.h"
#include "items/item_table.h"
#include "probe/engine.h"
#include "tests/ui/qt_test_env.h"
#include "ui/items/dns_item_view.h"
#include "ui/items/history_chart.h"
#include "ui/main/event_view.h"
#include "ui/main/main_frame.h"
#include "ui/main/toolbar.h"
#include "ui/main/tray_icon.h"

using namespace varnell;
using varnell::test::ModalCloser;
using varnell::test::ProcessUntil;

namespace {

class MainFrameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitItemTable();
        ClearEventList();
        Engine().serviceStopped.store(0);
        frame_ = std::make_unique<CMainFrame>();
        frame_->Create();
        frame_->SetSetupOpener([this](QWidget*) { ++setupOpened_; });
    }
    void TearDown() override
    {
        frame_.reset();
        Engine().serviceStopped.store(0);
    }
    void ShowActive()
    {
        frame_->show();
        frame_->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(frame_.get()));
    }
    void Press(int key, QWidget* target = nullptr)
    {
        QTest::keyClick(target != nullptr ? target : frame_.get(), static_cast<Qt::Key>(key), Qt::ControlModifier);
        QApplication::processEvents();
    }

    std::unique_ptr<CMainFrame> frame_;
    int setupOpened_ = 0;
};

QStringList Captions(const QMenu* menu)
{
    QStringList out;
    for (const QAction* a : menu->actions())
        out << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return out;
}

} // namespace

TEST_F(MainFrameTest, MenusCarryTheirCaptionsInOrder)
{
    const QList<QAction*> top = frame_->menuBar()->actions();
    ASSERT_EQ(top.size(), 5);
    const QStringList titles = {"&File", "&View", "&Option", "&Service", "&Help"};
    const QList<QStringList> entries = {
        {"&Import Items...", "&Export Items...", "-", "E&xit\tCtrl+X"},
        {"&Toolbar", "&Status Bar"},
        {"&Setting...\tCtrl+S", "-", "&Add Dns...\tCtrl+A", "&Del Dns...\tCtrl+D"},
        {"S&tart Service\tCtrl+T", "Sto&p Service\tCtrl+P", "-", "St&op Sound\tCtrl+O", "View &Log File\tCtrl+L",
         "Clear E&vent List \tCtrl+V"},
        {"&About Varnell..."},
    };
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(top[i]->text(), titles[i]);
        ASSERT_NE(top[i]->menu(), nullptr);
        EXPECT_EQ(Captions(top[i]->menu()), entries[i]) << titles[i].toStdString();
    }
}

TEST_F(MainFrameTest, ExactlyTheTenCtrlShortcutsExist)
{
    std::set<QString> keys;
    for (QAction* a : frame_->findChildren<QAction*>())
        for (const QKeySequence& k : a->shortcuts())
            keys.insert(k.toString(QKeySequence::PortableText));
    const std::set<QString> expected = {"Ctrl+A", "Ctrl+D", "Ctrl+E", "Ctrl+L", "Ctrl+O",
                                        "Ctrl+P", "Ctrl+S", "Ctrl+T", "Ctrl+V", "Ctrl+X"};
    EXPECT_EQ(keys, expected);
}

TEST_F(MainFrameTest, CtrlSAndCtrlEOpenSetupEvenFromAReadOnlyPane)
{
    ShowActive();
    Press(Qt::Key_S);
    EXPECT_EQ(setupOpened_, 1);
    Press(Qt::Key_E);
    EXPECT_EQ(setupOpened_, 2);
    frame_->Action(kCmdSetting)->trigger();
    EXPECT_EQ(setupOpened_, 3);
    // The detail panes are text boxes that would take Ctrl+A, Ctrl+V and Ctrl+X
    // for themselves; the window's commands win.
    frame_->ItemDetail()->setFocus();
    ProcessUntil([&] { return frame_->ItemDetail()->hasFocus(); }, 1000);
    Press(Qt::Key_S, frame_->ItemDetail());
    EXPECT_EQ(setupOpened_, 4);
}

TEST_F(MainFrameTest, CtrlVClearsTheEventListWhileFocusIsInTheEventDetail)
{
    ShowActive();
    std::string timeText;
    AddEventRow(nullptr, "one is down", 1000, kEventDown, timeText);
    AddEventRow(nullptr, "one is up", 1001, kEventUp, timeText);
    ASSERT_EQ(EventRowCount(), 2u);
    frame_->EventDetail()->setFocus();
    Press(Qt::Key_V, frame_->EventDetail());
    EXPECT_EQ(EventRowCount(), 0u);
}

TEST_F(MainFrameTest, CtrlAOpensTheItemDialogFromTheItemDetailPane)
{
    ShowActive();
    QString opened;
    ModalCloser closer([&](QWidget* w) { opened = QString::fromLatin1(w->metaObject()->className()); });
    frame_->ItemDetail()->setFocus();
    Press(Qt::Key_A, frame_->ItemDetail());
    EXPECT_EQ(closer.Closed(), 1);
    EXPECT_TRUE(opened.contains(QStringLiteral("DlgAddDNS"))) << opened.toStdString();
    EXPECT_EQ(frame_->ItemDetail()->textCursor().selectedText(), QString());
}

TEST_F(MainFrameTest, ContextMenuSettingEntryOpensOneItemDialogNotSetup)
{
    ShowActive();
    QStringList opened;
    ModalCloser closer([&](QWidget* w) { opened << QString::fromLatin1(w->metaObject()->className()); });
    std::unique_ptr<QMenu> menu(BuildItemContextMenu(frame_->ItemView()->List(), frame_.get()));
    const QList<QAction*> entries = menu->actions();
    ASSERT_GE(entries.size(), 5);
    ASSERT_EQ(entries[4]->text(), QStringLiteral("&Setting...\tCtrl+S"));
    entries[4]->trigger();
    ProcessUntil([&] { return !opened.isEmpty(); }, 1000);
    QApplication::processEvents();
    ASSERT_EQ(opened.size(), 1) << opened.join(QLatin1Char(',')).toStdString();
    EXPECT_TRUE(opened[0].contains(QStringLiteral("DlgAddDNS")));
    EXPECT_EQ(setupOpened_, 0);
}

TEST_F(MainFrameTest, ServiceEnableRuleHoldsInMenuToolbarAndTray)
{
    QAction* start = frame_->Action(kCmdStartService);
    QAction* stop = frame_->Action(kCmdStopService);
    QWidget* startButton = frame_->ToolBar()->widgetForAction(start);
    QWidget* stopButton = frame_->ToolBar()->widgetForAction(stop);
    ASSERT_NE(startButton, nullptr);
    ASSERT_NE(stopButton, nullptr);
    QMenu* tray = frame_->TrayIcon()->Menu();
    ASSERT_TRUE(tray->actions().contains(start));
    ASSERT_TRUE(tray->actions().contains(stop));

    auto expectRunning = [&](bool running) {
        EXPECT_EQ(start->isEnabled(), !running);
        EXPECT_EQ(stop->isEnabled(), running);
        EXPECT_EQ(startButton->isEnabled(), !running);
        EXPECT_EQ(stopButton->isEnabled(), running);
        EXPECT_EQ(Engine().serviceStopped.load() == 0, running);
    };
    expectRunning(true);
    // Stopped from the tray menu: the menu bar and toolbar follow.
    stop->trigger();
    expectRunning(false);
    // A disabled command does nothing, wherever it is chosen.
    stop->trigger();
    expectRunning(false);
    QTest::mouseClick(startButton, Qt::LeftButton);
    expectRunning(true);
}

TEST_F(MainFrameTest, HelpButtonIsAlwaysDisabledAndTheToolbarHasNineImages)
{
    EXPECT_EQ(frame_->ToolBar()->ImageCount(), 9);
    QWidget* help = frame_->ToolBar()->widgetForAction(frame_->Action(kCmdHelp));
    ASSERT_NE(help, nullptr);
    EXPECT_FALSE(help->isEnabled());
    frame_->Action(kCmdStopService)->trigger();
    frame_->Action(kCmdStartService)->trigger();
    EXPECT_FALSE(help->isEnabled());
}

TEST_F(MainFrameTest, TrayMenuOrderWithOpenAsDefault)
{
    QMenu* tray = frame_->TrayIcon()->Menu();
    const QList<QAction*> a = tray->actions();
    ASSERT_EQ(a.size(), 7);
    EXPECT_EQ(a[0], frame_->Action(kCmdOpen));
    EXPECT_EQ(a[1], frame_->Action(kCmdAbout));
    EXPECT_TRUE(a[2]->isSeparator());
    EXPECT_EQ(a[3], frame_->Action(kCmdStartService));
    EXPECT_EQ(a[4], frame_->Action(kCmdStopService));
    EXPECT_TRUE(a[5]->isSeparator());
    EXPECT_EQ(a[6]->text(), QStringLiteral("E&xit\tCtrl+X"));
    EXPECT_EQ(tray->defaultAction(), frame_->Action(kCmdOpen));
    EXPECT_EQ(frame_->TrayIcon()->Tip(), QStringLiteral("Varnell V1.01"));
    frame_->TrayIcon()->SetTip(QString(300, QLatin1Char('x')));
    EXPECT_EQ(frame_->TrayIcon()->Tip().size(), CTrayIcon::kMaxTipLength);
}

TEST_F(MainFrameTest, CloseMinimisesWithoutTrayAndOpenRestoresMaximised)
{
    // No test run has a tray: the icon is shown all the same, ready for a tray
    // that starts later, but closing must leave a way back, so it minimises.
    ASSERT_FALSE(frame_->TrayIcon()->Available());
    EXPECT_TRUE(frame_->TrayIcon()->Icon()->isVisible());
    EXPECT_FALSE(frame_->TrayIcon()->InTray());
    int finalCloses = 0;
    frame_->SetFinalCloseHandler([&] { ++finalCloses; });
    frame_->showMaximized();
    ProcessUntil([&] { return frame_->isVisible(); }, 1000);
    EXPECT_FALSE(frame_->close());
    QApplication::processEvents();
    EXPECT_TRUE(frame_->isMinimized());
    EXPECT_FALSE(frame_->isHidden());
    EXPECT_EQ(finalCloses, 0);
    // A double click on the tray icon is Open: back, and still maximised.
    frame_->TrayIcon()->OnActivated(QSystemTrayIcon::DoubleClick);
    QApplication::processEvents();
    EXPECT_FALSE(frame_->isMinimized());
    EXPECT_TRUE(frame_->windowState() & Qt::WindowMaximized);
    // A single click is Open too; the middle button does nothing.
    frame_->showMinimized();
    frame_->TrayIcon()->OnActivated(QSystemTrayIcon::MiddleClick);
    EXPECT_TRUE(frame_->isMinimized());
    frame_->TrayIcon()->OnActivated(QSystemTrayIcon::Trigger);
    QApplication::processEvents();
    EXPECT_FALSE(frame_->isMinimized());
    EXPECT_TRUE(frame_->windowState() & Qt::WindowMaximized);
}

TEST_F(MainFrameTest, ExitFromAHiddenWindowIsOneFinalClose)
{
    int finalCloses = 0;
    frame_->SetFinalCloseHandler([&] { ++finalCloses; });
    frame_->hide();
    frame_->Action(kCmdExit)->trigger();
    EXPECT_TRUE(frame_->Exiting());
    ProcessUntil([&] { return finalCloses > 0; }, 2000);
    EXPECT_EQ(finalCloses, 1);
    // A close request during or after the final close runs nothing again.
    frame_->close();
    QApplication::processEvents();
    EXPECT_EQ(finalCloses, 1);
}

TEST_F(MainFrameTest, PanesFollowTheInitialLayout)
{
    // Laid out from the client area the window has when it is first shown.
    frame_->resize(1200, 1600);
    frame_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(frame_.get()));
    ProcessUntil([&] { return frame_->RowSplitter()->sizes().value(0) > 0; }, 1000);
    QApplication::processEvents();
    const QList<int> rows = frame_->RowSplitter()->sizes();
    const QList<int> cols = frame_->ColumnSplitter()->sizes();
    ASSERT_EQ(rows.size(), 2);
    ASSERT_EQ(cols.size(), 2);
    // The splitter shares out what it has; the proportions are what matter.
    EXPECT_NEAR(static_cast<double>(rows[0]) / (rows[0] + rows[1]), 0.8, 0.02);
    EXPECT_NEAR(static_cast<double>(cols[0]) / (cols[0] + cols[1]), 5.0 / 6.0, 0.02);
    // A window of ordinary height: a fifth would leave the history chart a
    // sliver, so the bottom row gives it a readable height and still shows
    // lines of the reply text below it.
    for (const QSize size : {QSize(1200, 1600), QSize(1280, 800), QSize(1024, 600)}) {
        auto frame = std::make_unique<CMainFrame>();
        frame->Create();
        frame->resize(size);
        frame->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(frame.get()));
        ProcessUntil([&] { return frame->HistoryPane()->Chart()->height() > 0; }, 1000);
        QApplication::processEvents();
        const int lines = frame->ItemDetail()->viewport()->height() / frame->ItemDetail()->fontMetrics().lineSpacing();
        EXPECT_GE(frame->HistoryPane()->Chart()->height(), 120) << size.height();
        EXPECT_GE(lines, 4) << size.height();
        EXPECT_GE(frame->RowSplitter()->sizes().value(0), frame->RowSplitter()->sizes().value(1)) << size.height();
    }
    EXPECT_TRUE(frame_->ItemDetail()->isReadOnly());
    EXPECT_TRUE(frame_->EventDetail()->isReadOnly());
    EXPECT_EQ(frame_->ItemDetail()->font(), frame_->ItemView()->ListFont());
    EXPECT_EQ(frame_->EventDetail()->font(), frame_->ItemView()->ListFont());
}

TEST_F(MainFrameTest, StatusBarShowsPromptsAndReadyWhenIdle)
{
    QStatusTipEvent prompt(frame_->Action(kCmdAdd)->statusTip());
    QApplication::sendEvent(frame_.get(), &prompt);
    EXPECT_EQ(frame_->statusBar()->currentMessage(), QStringLiteral("Add a domain name to monitor"));
    QStatusTipEvent idle{QString()};
    QApplication::sendEvent(frame_.get(), &idle);
    EXPECT_EQ(frame_->statusBar()->currentMessage(), QStringLiteral("Ready"));
    EXPECT_EQ(frame_->Indicator(0)->text(), QStringLiteral("CAP"));
    EXPECT_EQ(frame_->Indicator(1)->text(), QStringLiteral("NUM"));
    EXPECT_EQ(frame_->Indicator(2)->text(), QStringLiteral("SCRL"));
}

TEST_F(MainFrameTest, ToolbarAndStatusBarTogglesKeepTheirCheckMarks)
{
    ShowActive();
    QAction* toolbar = frame_->Action(kCmdToolbar);
    toolbar->trigger();
    EXPECT_FALSE(toolbar->isChecked());
    EXPECT_FALSE(frame_->ToolBar()->isVisible());
    toolbar->trigger();
    EXPECT_TRUE(frame_->ToolBar()->isVisible());
    // Hidden through the toolbar's own means, the menu follows.
    frame_->ToolBar()->hide();
    EXPECT_FALSE(toolbar->isChecked());
    QAction* status = frame_->Action(kCmdStatusBar);
    status->trigger();
    EXPECT_FALSE(frame_->statusBar()->isVisible());
    status->trigger();
    EXPECT_TRUE(frame_->statusBar()->isVisible());
}
