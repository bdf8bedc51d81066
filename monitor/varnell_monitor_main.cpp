// varnell-monitor: the monitor without a window. The engine and every alert
// channel that needs no window run as in the window program, on the same store;
// events and messages go to standard error (the journal under systemd).
// SIGTERM and SIGINT end it in order and save; SIGHUP reopens the log file.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <pthread.h>

#include "alerts/log_file.h"
#include "base/freed_memory.h"
#include "base/headless_ui_channel.h"
#include "metrics/metrics_server.h"
#include "monitor/instance.h"
#include "monitor/monitor.h"

namespace varnell {
namespace {

// The dispatcher thread of the headless channel is the thread that owns the
// item table; nothing here can show a box or open a document.
class MonitorUiChannel final : public HeadlessUiChannel {
public:
    void MessageBox(const std::string&, const std::string&, BoxIcon) override
    {
        if (!told_.exchange(true))
            std::fprintf(stderr, "varnell-monitor: the message box alert needs a window; it is skipped\n");
    }
    OpenResult ShellOpen(const std::string& path) override
    {
        std::fprintf(stderr, "varnell-monitor: no desktop to open %s with\n", path.c_str());
        return OpenResult::kNoApplication;
    }

private:
    std::atomic<bool> told_{false};
};

constexpr const char* kUsage =
    "Usage: varnell-monitor [--instance NAME | --store FOLDER]\n"
    "Watches the DNS items of the store without a window, with every alert but the\n"
    "message box. Manage it with varnellctl. SIGTERM or SIGINT end it and save;\n"
    "SIGHUP reopens the log file and reads the metrics web configuration again.\n"
    "  --instance NAME  as the system service varnell-monitor@NAME: the store in\n"
    "                   /var/lib/varnell/NAME, the control socket in /run/varnell/NAME\n"
    "  --store FOLDER   the store in FOLDER instead of ~/.config/varnell\n"
    "Exit status: 0 ended in order, 1 failed or another instance holds the store,\n"
    "2 bad arguments, 4 the window program holds the store.\n";

int Run()
{
    // Blocked before any thread starts, so every thread inherits the mask and
    // only sigwait below sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    StoreLock lock;
    std::string reply, error;
    const Claim claim = ClaimStore(lock, R"({"cmd":"ping"})", reply, error);
    if (claim != Claim::kOurs && claim != Claim::kFailed && !error.empty())
        std::fprintf(stderr, "varnell-monitor: %s\n", error.c_str());
    switch (claim) {
    case Claim::kOurs: break;
    case Claim::kOtherAnswered: {
        const nlohmann::json r = nlohmann::json::parse(reply, nullptr, false);
        const auto pid = r.is_object() ? r.find("pid") : r.end();
        const auto window = r.is_object() ? r.find("window") : r.end();
        const bool windowed = window != r.end() && window->is_boolean() && window->get<bool>();
        std::fprintf(stderr, "varnell-monitor: %s already runs on this store%s%s\n",
                     windowed ? "the window program" : "an instance",
                     pid != r.end() && pid->is_number() ? ", pid " : "",
                     pid != r.end() && pid->is_number() ? std::to_string(pid->get<long>()).c_str() : "");
        // The window is the operator's own choice; a service manager must not
        // keep starting the monitor against it.
        return windowed ? kExitWindowHoldsStore : 1;
    }
    case Claim::kOtherSilent:
    case Claim::kUnanswered:
        std::fprintf(stderr, "varnell-monitor: another process holds the store (%s) and does not answer\n",
                     StoreLockPath().c_str());
        return 1;
    case Claim::kFailed:
        std::fprintf(stderr, "varnell-monitor: %s\n", error.c_str());
        return 1;
    }

    MonitorUiChannel desktop;
    SetUiChannel(&desktop);
    MonitorOptions options;
    std::string skipped;
    options.controlSocket = ControlSocketPath(skipped);
    options.exitIfWorkersStuck = true;
    if (!skipped.empty())
        std::fprintf(stderr, "varnell-monitor: %s\n", skipped.c_str());
    if (options.controlSocket.empty())
        std::fprintf(stderr, "varnell-monitor: no place for the control socket; varnellctl cannot reach this instance\n");
    desktop.RunOnUiThread([&] { StartMonitor(options); });

    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0)
            continue;
        if (signal == SIGHUP) {
            desktop.RunOnUiThread([] {
                ReopenLogFile();
                ReloadMetricsServer();
            });
            continue;
        }
        break;
    }
    desktop.RunOnUiThread([] {
        StopMonitor();
        RemoveResultWindows();
        FlushLogFile();
    });
    UnlockStore(lock);
    SetUiChannel(nullptr);
    return 0;
}

} // namespace
} // namespace varnell

int main(int argc, char** argv)
{
    varnell::KeepLargeBlocksMapped();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(varnell::kUsage, stdout);
            return 0;
        }
        if ((std::strcmp(argv[i], "--instance") == 0 || std::strcmp(argv[i], "--store") == 0) && i + 1 < argc) {
            std::string error;
            if (!varnell::SelectInstance(argv[i + 1], argv[i][2] == 's', error)) {
                std::fprintf(stderr, "varnell-monitor: %s\n", error.c_str());
                return 2;
            }
            ++i;
            continue;
        }
        std::fprintf(stderr, "varnell-monitor: unknown argument %s\n%s", argv[i], varnell::kUsage);
        return 2;
    }
    return varnell::Run();
}
