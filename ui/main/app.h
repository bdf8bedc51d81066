// The application object: brings the whole system up in its fixed order and takes
// it down once, in order, at the final close. SIGTERM, SIGINT and the end of the
// desktop session are the Exit command, so every way out saves the settings.
#pragma once

#include <QObject>
#include <QPointer>

#include <cstdint>
#include <memory>
#include <string>

#include "ui/main/main_frame.h"

class QSocketNotifier;

namespace varnell {

class QtUiChannel;

// "Varnell V1.01": tray tool tip and the About box's first line.
inline constexpr const char* kVersionText = "Varnell V1.01";

struct AppOptions {
    std::uint16_t probePort = 53; // tests pass a free port, or 0 for any
    bool startThreads = true;     // tests of the window alone leave the engine off
    bool show = true;             // false: never shown (a monitor without a window)
    std::string controlSocket;    // served while running; empty: none (tests of the window alone)
};

class CVarnellApp : public QObject {
    Q_OBJECT
public:
    explicit CVarnellApp(AppOptions options = {});
    ~CVarnellApp() override;
    CVarnellApp(const CVarnellApp&) = delete;
    CVarnellApp& operator=(const CVarnellApp&) = delete;

    // Start-up, on the user-interface thread after the QApplication exists.
    void InitInstance();
    // The shutdown: runs once; later calls do nothing. The main window's final
    // close calls it; so do the signals and the session's end, through Exit.
    void ExitInstance();

    bool ShuttingDown() const { return shuttingDown_; }
    bool ShutDown() const { return shutDown_; }
    CMainFrame* MainFrame() const { return frame_; }
    QtUiChannel* Channel() const { return desktop_.get(); }

    // SIGTERM and SIGINT reach the event loop through a pipe and become Exit.
    // Safe to call once per process.
    void InstallSignalHandlers();

private:
    void OnSignal();
    void OnAboutToQuit();

    AppOptions options_;
    std::unique_ptr<QtUiChannel> desktop_;
    QPointer<CMainFrame> frame_;
    QSocketNotifier* signalNotifier_ = nullptr;
    bool shuttingDown_ = false;
    bool shutDown_ = false;
};

} // namespace varnell
