#include "ui/main/app.h"

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QSocketNotifier>

#include <csignal>
#include <cstdlib>

#include "base/wake_event.h"
#include "monitor/monitor.h"
#include "ui/items/dns_item_view.h"
#include "ui/items/result_bridge.h"
#include "ui/main/main_frame.h"
#include "ui/pictures/palette_colours.h"
#include "ui/platform/qt_ui_channel.h"

namespace varnell {

namespace {

// The signal handler only sets the wake, which is safe in a handler; the event
// loop sees it and carries out Exit. Made before the handler is installed and
// never destroyed, so a late signal cannot write to a descriptor reused since.
WakeFd* g_signalWake = nullptr;

extern "C" void OnTerminationSignal(int) { g_signalWake->Set(); }

} // namespace

CVarnellApp::CVarnellApp(AppOptions options) : options_(options) {}

CVarnellApp::~CVarnellApp()
{
    ExitInstance();
    delete frame_.data();
    if (signalNotifier_ != nullptr)
        signalNotifier_->setEnabled(false);
    SetUiChannel(nullptr);
}

void CVarnellApp::InitInstance()
{
    desktop_ = std::make_unique<QtUiChannel>();
    SetUiChannel(desktop_.get());
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("varnell"));
    KeepPlaceholdersReadable(qApp);
    // No display name: Qt would append it to every window title under a window
    // manager, and the titles are the captions alone ("Add DNS", "Setup").

    // Steps 1-12 are the monitor core's; the window comes in at steps 3 and 6.
    MonitorOptions monitor;
    monitor.probePort = options_.probePort;
    monitor.registerAutoStart = true;
    monitor.exitIfWorkersStuck = true;
    monitor.controlSocket = options_.controlSocket;
    MonitorLayer layer;
    // 3. The main window object, not yet built or shown.
    layer.createWindowObject = [this] {
        frame_ = new CMainFrame();
        frame_->SetFinalCloseHandler([this] { ExitInstance(); });
    };
    // 6. The window and its views; the item list fills itself from the table and
    //    becomes the result window.
    layer.createWindows = [this] {
        frame_->Create();
        frame_->RestoreLayout();
        InstallResultBridge(frame_->ItemView());
    };
    // Item commands from the control socket keep the list on screen with the table.
    layer.rowAdded = [this](DnsItem& item) {
        if (frame_ != nullptr && frame_->ItemView() != nullptr)
            frame_->ItemView()->List()->InsertItemRow(item);
    };
    layer.rowChanged = [this](DnsItem& item) {
        if (frame_ != nullptr && frame_->ItemView() != nullptr)
            frame_->ItemView()->List()->RefreshItemRow(item);
    };
    layer.removeRow = [this](std::uint32_t row) {
        return frame_ != nullptr && frame_->ItemView() != nullptr &&
               frame_->ItemView()->List()->Model()->RemoveRow(static_cast<int>(row));
    };
    layer.showWindow = [this] {
        if (frame_ == nullptr || shuttingDown_)
            return false;
        frame_->OnOpen();
        return frame_->isVisible();
    };
    // An open dialog may hold an item (or the table's next slot) for editing.
    layer.itemsBusy = [] { return QApplication::activeModalWidget() != nullptr; };
    StartMonitor(monitor, std::move(layer), options_.startThreads);
    // 13. Shown maximised; without a window system the program is a monitor only.
    if (options_.show && QGuiApplication::platformName() != QLatin1String("offscreen"))
        frame_->ShowAtStart();

    // The end of the desktop session is Exit; a quit that bypasses the window
    // still shuts down in order.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this] {
        if (frame_ != nullptr)
            frame_->OnExit();
    });
    connect(qApp, &QCoreApplication::aboutToQuit, this, &CVarnellApp::OnAboutToQuit);
}

void CVarnellApp::ExitInstance()
{
    if (shuttingDown_)
        return;
    shuttingDown_ = true;
    // Releases every thread waiting on this one, stops the threads and workers
    // and saves; a worker that would not stop ends the process there.
    StopMonitor();
    RemoveResultBridge();
    if (frame_ != nullptr) {
        frame_->SaveLayout();
        frame_->hide();
        frame_->deleteLater();
    }
    shutDown_ = true;
    QCoreApplication::quit();
}

void CVarnellApp::OnAboutToQuit()
{
    // Quitting without the final close (the session manager, or a test's quit):
    // the same orderly shutdown, minus the window that Qt is taking down anyway.
    ExitInstance();
}

void CVarnellApp::InstallSignalHandlers()
{
    if (g_signalWake != nullptr)
        return;
    auto* wake = new WakeFd;
    if (!wake->Open()) {
        delete wake;
        return;
    }
    g_signalWake = wake;
    signalNotifier_ = new QSocketNotifier(wake->Fd(), QSocketNotifier::Read, this);
    connect(signalNotifier_, &QSocketNotifier::activated, this, &CVarnellApp::OnSignal);
    struct sigaction sa {};
    sa.sa_handler = OnTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

void CVarnellApp::OnSignal()
{
    g_signalWake->Clear();
    if (frame_ != nullptr && !shuttingDown_)
        frame_->OnExit();
}

} // namespace varnell
