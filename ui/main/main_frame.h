// The program's one top-level window: menus, toolbar, status bar, the four panes
// (item list, item detail, event list, event detail) and the tray icon. Every
// user command arrives here and goes on to the part that carries it out.
//
// Closing the window only hides it (or minimises it where the desktop has no
// tray, so there is always a way back); Exit is the only way out and leads to
// the application's shutdown.
#pragma once

#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <QSplitter>
#include <QTextEdit>

#include <functional>

namespace varnell {

class CDnsItemView;
class CEventView;
class CDesktopNotifier;
class CHistoryPane;
class CStateIndicator;
class CTrayIcon;
class CTrueColorToolBar;

// Command numbers of the menus, toolbar and tray menu.
enum FrameCommand : int {
    kCmdExit = 32774,
    kCmdOpen = 32775,
    kCmdToolbar = 59392,
    kCmdStatusBar = 59393,
    kCmdSetting = 32779,
    kCmdAdd = 32771,
    kCmdDelete = 32773,
    kCmdStartService = 32791,
    kCmdStopService = 32777,
    kCmdStopSound = 32780,
    kCmdViewLog = 32781,
    kCmdClearEvents = 32782,
    kCmdHelp = 32784,
    kCmdAbout = 57664,
    kCmdImportItems = 32850,
    kCmdExportItems = 32851,
};

// Opens the Setup dialog modally; OK applies and saves.
void OpenSetupDialog(QWidget* parent);

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    CMainFrame();
    ~CMainFrame() override;

    // Builds menus, toolbar, status bar, tray icon and the panes; creating the item
    // list fills it from the item table.
    void Create();

    QAction* Action(int command) const { return actions_.value(command, nullptr); }
    CTrueColorToolBar* ToolBar() const { return toolBar_; }
    CTrayIcon* TrayIcon() const { return tray_; }
    CDnsItemView* ItemView() const { return itemView_; }
    CEventView* EventView() const { return eventView_; }
    QTextEdit* ItemDetail() const { return itemDetail_; }
    CHistoryPane* HistoryPane() const { return historyPane_; }
    CStateIndicator* StateIndicator() const { return stateIndicator_; }
    CDesktopNotifier* Notifier() const { return notifier_; }
    QTextEdit* EventDetail() const { return eventDetail_; }
    QSplitter* RowSplitter() const { return rows_; }
    QSplitter* ColumnSplitter() const { return columns_; }
    QSplitter* EventSplitter() const { return eventRows_; }
    QLabel* Indicator(int index) const { return indicators_[index]; }
    bool Exiting() const { return exiting_; }

    // Carries out a command by number, as a menu entry or button would.
    void OnCommand(int command);
    // Sets the exiting flag and posts a close request.
    void OnExit();
    // Shows the window in the state it had and brings it to the front.
    void OnOpen();
    // Brings the Start and Stop Service entries in line with the service flag.
    void UpdateServiceCommands();
    // Lays the panes out for a client area of w by h pixels.
    void ApplyPaneSizes(int w, int h);
    // The first showing: as the window was left last time, or maximised over the
    // whole work area when it has never been closed.
    void ShowAtStart();
    // The layout of the last run (window.ini), and keeping it for the next one.
    void RestoreLayout();
    void SaveLayout() const;
    bool LayoutRestored() const { return layoutRestored_; }

    // Called by the final close, before the window goes: the shutdown.
    void SetFinalCloseHandler(std::function<void()> handler) { onFinalClose_ = std::move(handler); }
    // The Setup command's target (tests replace it).
    void SetSetupOpener(std::function<void(QWidget*)> opener) { setupOpener_ = std::move(opener); }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QAction* MakeAction(int command, const char* caption, const char* prompt, const char* tip);
    void BuildMenus();
    void BuildToolBar();
    void BuildStatusBar();
    void BuildPanes();
    void UpdateIndicators(quint32 nativeModifiers, bool haveNative);

    QMap<int, QAction*> actions_;
    CTrueColorToolBar* toolBar_ = nullptr;
    CTrayIcon* tray_ = nullptr;
    QSplitter* rows_ = nullptr;
    QSplitter* columns_ = nullptr;
    QSplitter* eventRows_ = nullptr;
    CDnsItemView* itemView_ = nullptr;
    CEventView* eventView_ = nullptr;
    QTextEdit* itemDetail_ = nullptr;
    CHistoryPane* historyPane_ = nullptr;
    CStateIndicator* stateIndicator_ = nullptr;
    CDesktopNotifier* notifier_ = nullptr;
    bool layoutRestored_ = false;
    QTextEdit* eventDetail_ = nullptr;
    QLabel* indicators_[3] = {nullptr, nullptr, nullptr};
    bool scrollLock_ = false;
    bool exiting_ = false;
    bool finalClosing_ = false;
    bool panesSized_ = false;
    std::function<void()> onFinalClose_;
    std::function<void(QWidget*)> setupOpener_;
};

} // namespace varnell
