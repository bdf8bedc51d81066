#include "ui/app.h"

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "alerts/dispatch.h"
#include "alerts/log_file.h"
#include "alerts/syslog.h"
#include "config/fixed_texts.h"
#include "config/settings.h"
#include "config/settings_store.h"
#include "engine/edns.h"
#include "engine/engine.h"
#include "engine/item_table.h"
#include "engine/engine_threads.h"
#include "engine/probe_socket.h"
#include "engine/receiver.h"
#include "engine/scheduler.h"
#include "ui/main_frame.h"
#include "ui/qt_desktop.h"
#include "ui/result_bridge.h"

namespace varnell {

namespace {

// The self-pipe: the signal handler only writes one byte, which is safe in a
// handler; the event loop reads it and carries out Exit.
int g_signalPipe[2] = {-1, -1};

extern "C" void OnTerminationSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

std::string ApplicationTitle() { return FixedTextValue(FixedText::kAppTitle); }

CVarnellApp::CVarnellApp(AppOptions options) : options_(options) {}

CVarnellApp::~CVarnellApp()
{
    ExitInstance();
    delete frame_.data();
    if (signalNotifier_ != nullptr)
        signalNotifier_->setEnabled(false);
    SetDesktop(nullptr);
}

void CVarnellApp::InitInstance()
{
    desktop_ = std::make_unique<QtDesktop>();
    SetDesktop(desktop_.get());
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("varnell"));
    // No display name: Qt would append it to every window title under a window
    // manager, and the titles are the captions alone ("Add DNS", "Setup").
    // Every start begins with the service running and no exit requested.
    Engine().exitFlag.store(0);
    Engine().serviceStopped.store(0);

    // 1. The local address seeds the messenger receiver list of the defaults.
    Engine().localAddressBE = LookUpLocalAddress();
    CurrentSettings() = DefaultSettings(Engine().localAddressBE);
    // 2. The item table.
    InitItemTable();
    // 3. The main window object, not yet built or shown.
    frame_ = new CMainFrame();
    frame_->SetFinalCloseHandler([this] { ExitInstance(); });
    // 4. The stored settings; none stored means the first run on this account.
    if (LoadSettings() < 0)
        RegisterAutoStart(1);
    SetQueryEdnsSize(CurrentSettings().extra.queryEdns);
    // 5. The log file.
    OpenLogFile();
    // 6. The window and its views; the item list fills itself from the table and
    //    becomes the result window.
    frame_->Create();
    InstallResultBridge(frame_->ItemView());
    // 7, 8. The wake event and the probe socket (failures go to the event list).
    CreateWakeEvent();
    OpenProbeSocket(options_.probePort);
    // 9. The syslog socket.
    OpenSyslogSocket();
    if (options_.startThreads) {
        // 10-12. Receiver, alert workers, scheduler.
        StartReceiver();
        StartAlertWorkers();
        StartScheduler();
    }
    // 13. Shown maximised; without a window system the program is a monitor only.
    if (options_.show && QGuiApplication::platformName() != QLatin1String("offscreen")) {
        // Without a window manager (a bare X server) maximising is only a hint:
        // start from the whole work area so the window fills the screen anyway.
        if (const QScreen* screen = QGuiApplication::primaryScreen(); screen != nullptr)
            frame_->setGeometry(screen->availableGeometry());
        frame_->showMaximized();
    }

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
    // No engine or worker thread may stay blocked on the user-interface thread
    // while this thread joins it.
    if (desktop_ != nullptr)
        desktop_->ReleaseWaiters();
    StopEngineThreads();
    const int workersLeft = StopAlertWorkers();
    SaveSettings();
    if (workersLeft > 0) {
        // A worker that would not stop still runs on the desktop and the
        // settings that the rest of the exit destroys: with the settings safe,
        // end here rather than let it post into a desktop that is gone.
        FlushLogFile();
        std::_Exit(0);
    }
    RemoveResultBridge();
    if (frame_ != nullptr) {
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
    if (g_signalPipe[0] >= 0)
        return;
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    signalNotifier_ = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
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
    char buffer[64];
    while (read(g_signalPipe[0], buffer, sizeof buffer) > 0) {
    }
    if (frame_ != nullptr && !shuttingDown_)
        frame_->OnExit();
}

} // namespace varnell
