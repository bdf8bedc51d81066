#include "ui/main/main_frame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTimer>
#include <QWindow>

#include <algorithm>

#include "config/fixed_texts.h"
#include "items/item_table.h"
#include "probe/engine.h"
#include "ui/items/dns_item_view.h"
#include "ui/items/history_chart.h"
#include "ui/items/item_csv_commands.h"
#include "ui/main/about_dlg.h"
#include "ui/main/app.h"
#include "ui/main/event_view.h"
#include "ui/main/toolbar.h"
#include "ui/main/tray_icon.h"
#include "ui/main/tray_state.h"
#include "ui/main/window_state.h"
#include "ui/pictures/drawn_picture.h"
#include "ui/pictures/icons.h"
#include "ui/platform/desktop_notifier.h"
#include "ui/setup/setup_dlg.h"

#include "alerts/beep_thread.h"
#include "alerts/box_thread.h"
#include "alerts/dispatch.h"
#include "alerts/log_file.h"

namespace varnell {

namespace {

// The ten shortcut keys. They belong to the window: a focused pane must not
// swallow Ctrl+A, Ctrl+V or Ctrl+X as its own select-all, paste or cut.
bool IsFrameShortcut(const QKeyEvent* key)
{
    if ((key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier | Qt::MetaModifier)) !=
        Qt::ControlModifier)
        return false;
    switch (key->key()) {
    case Qt::Key_A:
    case Qt::Key_D:
    case Qt::Key_E:
    case Qt::Key_L:
    case Qt::Key_O:
    case Qt::Key_P:
    case Qt::Key_S:
    case Qt::Key_T:
    case Qt::Key_V:
    case Qt::Key_X:
        return true;
    default:
        return false;
    }
}

// X11 modifier masks carried in a key event's native modifiers.
constexpr quint32 kX11LockMask = 0x02;
constexpr quint32 kX11NumMask = 0x10;

} // namespace

void OpenSetupDialog(QWidget* parent)
{
    CSetupDlg dialog(parent);
    dialog.exec();
}

CMainFrame::CMainFrame() : setupOpener_(OpenSetupDialog)
{
    setObjectName(QStringLiteral("mainFrame"));
    setAttribute(Qt::WA_DeleteOnClose, false);
}

CMainFrame::~CMainFrame()
{
    qApp->removeEventFilter(this);
}

QAction* CMainFrame::MakeAction(int command, const char* caption, const char* prompt, const char* tip)
{
    auto* action = new QAction(QString::fromUtf8(caption), this);
    action->setData(command);
    if (prompt != nullptr)
        action->setStatusTip(QString::fromUtf8(prompt));
    if (tip != nullptr)
        action->setToolTip(QString::fromUtf8(tip));
    connect(action, &QAction::triggered, this, [this, command] { OnCommand(command); });
    actions_.insert(command, action);
    return action;
}

void CMainFrame::BuildMenus()
{
    // Captions carry their own shortcut hint after the tab, so the menus show
    // exactly these texts whatever the key sequences are.
    QAction* exit = MakeAction(kCmdExit, "E&xit\tCtrl+X", nullptr, nullptr);
    exit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_X));
    QAction* toolbar = MakeAction(kCmdToolbar, "&Toolbar", "Show or hide the toolbar", "Toggle ToolBar");
    toolbar->setCheckable(true);
    toolbar->setChecked(true);
    QAction* status = MakeAction(kCmdStatusBar, "&Status Bar", "Show or hide the status bar", "Toggle StatusBar");
    status->setCheckable(true);
    status->setChecked(true);
    QAction* setting = MakeAction(kCmdSetting, "&Setting...\tCtrl+S", "Setup", "Setup");
    setting->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_S), QKeySequence(Qt::CTRL | Qt::Key_E)});
    QAction* add = MakeAction(kCmdAdd, "&Add Dns...\tCtrl+A", "Add a domain name to monitor", "Add DNS");
    add->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    QAction* del = MakeAction(kCmdDelete, "&Del Dns...\tCtrl+D", "Delete the selected items", "Delete the selected items");
    del->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
    QAction* start = MakeAction(kCmdStartService, "S&tart Service\tCtrl+T", "Start Service", "Start Service");
    start->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    QAction* stop = MakeAction(kCmdStopService, "Sto&p Service\tCtrl+P", "Stop Service", "Stop Service");
    stop->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    QAction* sound = MakeAction(kCmdStopSound, "St&op Sound\tCtrl+O", "Stop Sound", "Stop Sound");
    sound->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    QAction* log = MakeAction(kCmdViewLog, "View &Log File\tCtrl+L", "View log file", "View log file");
    log->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    QAction* clear = MakeAction(kCmdClearEvents, "Clear E&vent List \tCtrl+V", nullptr, nullptr);
    clear->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_V));
    QAction* about = MakeAction(kCmdAbout, "&About Varnell...",
                                "Display program information, version number and copyright", "About");
    QAction* help = MakeAction(kCmdHelp, "Help", "Open help document", "Help");
    help->setEnabled(false); // no help document: the button stays disabled
    MakeAction(kCmdOpen, "&Open", nullptr, nullptr);

    QAction* importItems = MakeAction(kCmdImportItems, "&Import Items...", "Add the items of a CSV file", nullptr);
    QAction* exportItems = MakeAction(kCmdExportItems, "&Export Items...", "Write every item to a CSV file", nullptr);

    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(importItems);
    file->addAction(exportItems);
    file->addSeparator();
    file->addAction(exit);
    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    view->addAction(toolbar);
    view->addAction(status);
    QMenu* option = menuBar()->addMenu(QStringLiteral("&Option"));
    option->addAction(setting);
    option->addSeparator();
    option->addAction(add);
    option->addAction(del);
    QMenu* service = menuBar()->addMenu(QStringLiteral("&Service"));
    service->addAction(start);
    service->addAction(stop);
    service->addSeparator();
    service->addAction(sound);
    service->addAction(log);
    service->addAction(clear);
    QMenu* helpMenu = menuBar()->addMenu(QStringLiteral("&Help"));
    helpMenu->addAction(about);
    connect(service, &QMenu::aboutToShow, this, &CMainFrame::UpdateServiceCommands);
}

void CMainFrame::BuildToolBar()
{
    toolBar_ = new CTrueColorToolBar(QStringLiteral("Toolbar"), this);
    const QImage normal = ToolbarStrip(false);
    toolBar_->LoadTrueColorToolBar(kToolbarButtonSize, normal, normal, ToolbarStrip(true));
    for (qreal ratio : PictureRatios()) {
        if (ratio == 1.0)
            continue;
        const QImage sharper = ToolbarStrip(false, ratio);
        toolBar_->AddSharperImages(sharper, sharper, ToolbarStrip(true, ratio));
    }
    toolBar_->AddButtons({Action(kCmdAdd), Action(kCmdDelete), Action(kCmdSetting), nullptr,
                          Action(kCmdStartService), Action(kCmdStopService), nullptr, Action(kCmdStopSound), nullptr,
                          Action(kCmdViewLog), nullptr, Action(kCmdHelp), Action(kCmdAbout)});
    addToolBar(Qt::TopToolBarArea, toolBar_);
    // The toolbar can also be closed from its own context menu: keep the check mark true.
    connect(toolBar_, &QToolBar::visibilityChanged, this, [this](bool shown) {
        if (!isHidden() || shown)
            Action(kCmdToolbar)->setChecked(toolBar_->isVisibleTo(this));
    });
}

void CMainFrame::BuildStatusBar()
{
    QStatusBar* bar = statusBar();
    static const char* const kTexts[3] = {"CAP", "NUM", "SCRL"};
    for (int i = 0; i < 3; ++i) {
        indicators_[i] = new QLabel(QString::fromLatin1(kTexts[i]), bar);
        indicators_[i]->setAlignment(Qt::AlignCenter);
        indicators_[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        indicators_[i]->setMinimumWidth(indicators_[i]->fontMetrics().horizontalAdvance(QStringLiteral("SCRL")) + 12);
        indicators_[i]->setEnabled(false);
        bar->addPermanentWidget(indicators_[i]);
    }
    bar->showMessage(QStringLiteral("Ready"));
}

void CMainFrame::BuildPanes()
{
    rows_ = new QSplitter(Qt::Vertical, this);
    rows_->setObjectName(QStringLiteral("rowSplitter"));
    itemDetail_ = new QTextEdit();
    itemDetail_->setReadOnly(true);
    itemDetail_->setObjectName(QStringLiteral("itemDetail"));
    eventDetail_ = new QTextEdit();
    eventDetail_->setReadOnly(true);
    eventDetail_->setObjectName(QStringLiteral("eventDetail"));

    itemView_ = new CDnsItemView(itemDetail_, rows_);
    rows_->addWidget(itemView_);
    columns_ = new QSplitter(Qt::Horizontal, rows_);
    columns_->setObjectName(QStringLiteral("columnSplitter"));
    rows_->addWidget(columns_);
    // The reply text sits below the focused item's round-trip history.
    historyPane_ = new CHistoryPane(itemDetail_, columns_);
    columns_->addWidget(historyPane_);
    connect(itemView_->List(), &CDnsListCtrl::ItemFocused, historyPane_->Chart(), &CHistoryChart::SetSlot);
    // The chart follows the focused item, so its slot names the reply shown.
    connect(historyPane_, &CHistoryPane::ReplyPaletteChanged, this, [this] {
        const int slot = historyPane_->Chart()->Slot();
        if (slot >= 0 && static_cast<std::uint32_t>(slot) < kItemSlots &&
            LockItems()->items[static_cast<std::size_t>(slot)].rowPosition != -1)
            itemView_->List()->ShowReplyDetail(LockItems()->items[static_cast<std::size_t>(slot)]);
    });
    eventRows_ = new QSplitter(Qt::Vertical, columns_);
    eventRows_->setObjectName(QStringLiteral("eventSplitter"));
    columns_->addWidget(eventRows_);
    eventView_ = new CEventView(eventDetail_, eventRows_);
    eventRows_->addWidget(eventView_);
    eventRows_->addWidget(eventDetail_);
    for (QSplitter* s : {rows_, columns_, eventRows_})
        s->setChildrenCollapsible(false);

    const QFont listFont = itemView_->ListFont();
    itemDetail_->setFont(listFont);
    eventDetail_->setFont(listFont);
    setCentralWidget(rows_);
}

void CMainFrame::ApplyPaneSizes(int w, int h)
{
    // Item list H - H/5 over a bottom row of H/5; the item detail takes 5W/6 of
    // the bottom row; the event detail starts as a 10-pixel strip. A fifth of
    // a window of ordinary height is too little for the history chart above a
    // few lines of reply text: the bottom row then takes what the two need,
    // up to half the window.
    const int bottom = std::max(h / 5, std::min(historyPane_->PreferredHeight(), h / 2));
    rows_->setSizes({h - bottom, bottom});
    columns_->setSizes({5 * w / 6, w - 5 * w / 6});
    eventRows_->setSizes({bottom, 10});
    historyPane_->ShareHeight(bottom);
}

void CMainFrame::Create()
{
    setWindowIcon(ProgramIcon());
    BuildMenus();
    BuildToolBar();
    BuildStatusBar();
    tray_ = new CTrayIcon(this);
    tray_->Show(ProgramIcon(), QString::fromLatin1(kVersionText));
    BuildPanes();
    setWindowTitle(QString::fromStdString(ApplicationTitle()));
    qApp->installEventFilter(this);
    UpdateServiceCommands();
    const QSize area = centralWidget()->size();
    ApplyPaneSizes(area.width(), area.height());
    // The tray icon, its tip and the window icon follow the items' states.
    stateIndicator_ = new CStateIndicator(
        itemView_->List()->Model(),
        [this](const QIcon& icon, const QString& tip, TrayState) {
            tray_->SetIcon(icon);
            tray_->SetTip(tip);
            setWindowIcon(icon);
        },
        this);
    // Events as desktop notifications when the operator chose them; a refused
    // notification still reaches the operator, as the box.
    notifier_ = new CDesktopNotifier(
        QDBusConnection::sessionBus(), [this] { OnOpen(); },
        [](const std::string& text) {
            if (cboxthread* box = BoxWorker(); box != nullptr)
                box->Post(kNoWindow, text, text, kBoxIconError);
        },
        this);
    notifier_->Install();
}

void CMainFrame::RestoreLayout() { layoutRestored_ = RestoreWindowState(*this, WindowStatePath()); }

void CMainFrame::SaveLayout() const { SaveWindowState(*this, WindowStatePath()); }

void CMainFrame::ShowAtStart()
{
    if (layoutRestored_) {
        show(); // maximised again if it was, by the restored geometry
        return;
    }
    // Without a window manager (a bare X server) maximising is only a hint:
    // start from the whole work area so the window fills the screen anyway.
    if (const QScreen* screen = QGuiApplication::primaryScreen(); screen != nullptr)
        setGeometry(screen->availableGeometry());
    showMaximized();
}

void CMainFrame::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (panesSized_ || layoutRestored_)
        return;
    panesSized_ = true;
    // The window is maximised as it is first shown; lay the panes out once the
    // client area has its real size.
    QTimer::singleShot(0, this, [this] {
        const QSize area = centralWidget()->size();
        ApplyPaneSizes(area.width(), area.height());
    });
}

void CMainFrame::UpdateServiceCommands()
{
    const bool stopped = Engine().serviceStopped.load() != 0;
    Action(kCmdStartService)->setEnabled(stopped);
    Action(kCmdStopService)->setEnabled(!stopped);
}

void CMainFrame::OnCommand(int command)
{
    switch (command) {
    case kCmdExit:
        OnExit();
        break;
    case kCmdOpen:
        OnOpen();
        break;
    case kCmdToolbar:
        toolBar_->setVisible(Action(kCmdToolbar)->isChecked());
        break;
    case kCmdStatusBar:
        statusBar()->setVisible(Action(kCmdStatusBar)->isChecked());
        break;
    case kCmdSetting:
        if (setupOpener_)
            setupOpener_(this);
        break;
    case kCmdAdd:
        itemView_->OnAdd();
        break;
    case kCmdDelete:
        itemView_->OnDelete();
        break;
    case kCmdStartService:
        Engine().serviceStopped.store(0);
        UpdateServiceCommands();
        break;
    case kCmdStopService:
        Engine().serviceStopped.store(1);
        UpdateServiceCommands();
        break;
    case kCmdStopSound:
        if (cbeepthread* beep = BeepWorker(); beep != nullptr)
            beep->RequestStopSound();
        break;
    case kCmdViewLog:
        ViewLogFile();
        break;
    case kCmdClearEvents:
        eventView_->ClearEvents();
        break;
    case kCmdImportItems:
        ImportItemsFromFile(this, itemView_);
        break;
    case kCmdExportItems:
        ExportItemsToFile(this);
        break;
    case kCmdAbout: {
        CAboutDlg about(this);
        about.exec();
        break;
    }
    default:
        itemView_->OnCommand(command);
        break;
    }
}

void CMainFrame::OnExit()
{
    exiting_ = true;
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void CMainFrame::OnOpen()
{
    // Keep maximised or full-screen as it was; only leave the minimised state.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    if (!exiting_) {
        event->ignore();
        if (tray_ != nullptr && tray_->InTray())
            hide();
        else
            showMinimized();
        return;
    }
    if (finalClosing_) {
        event->ignore();
        return;
    }
    finalClosing_ = true;
    if (onFinalClose_)
        onFinalClose_();
    event->accept();
}

bool CMainFrame::event(QEvent* event)
{
    if (event->type() == QEvent::StatusTip) {
        // Idle shows "Ready", as a prompt disappears when the pointer leaves an entry.
        const QString tip = static_cast<QStatusTipEvent*>(event)->tip();
        statusBar()->showMessage(tip.isEmpty() ? QStringLiteral("Ready") : tip);
        return true;
    }
    return QMainWindow::event(event);
}

void CMainFrame::UpdateIndicators(quint32 nativeModifiers, bool haveNative)
{
    if (haveNative) {
        indicators_[0]->setEnabled((nativeModifiers & kX11LockMask) != 0);
        indicators_[1]->setEnabled((nativeModifiers & kX11NumMask) != 0);
    }
    indicators_[2]->setEnabled(scrollLock_);
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (type == QEvent::ShortcutOverride) {
        auto* w = qobject_cast<QWidget*>(watched);
        if (w != nullptr && w != this && isAncestorOf(w) && IsFrameShortcut(static_cast<QKeyEvent*>(event))) {
            event->ignore();
            return true;
        }
    } else if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) && indicators_[0] != nullptr) {
        auto* key = static_cast<QKeyEvent*>(event);
        // A key event reaches the filter once per widget it passes; count the
        // toggle once, at the window that receives it first.
        if (type == QEvent::KeyPress && key->key() == Qt::Key_ScrollLock && !key->isAutoRepeat() &&
            qobject_cast<QWindow*>(watched) != nullptr)
            scrollLock_ = !scrollLock_;
        // Only the X11 platform reports the lock state in the native modifiers.
        UpdateIndicators(key->nativeModifiers(), QGuiApplication::platformName() == QLatin1String("xcb"));
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace varnell
