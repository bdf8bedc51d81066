// User-interface responsiveness: the real program (start-up, engine threads,
// result evaluation, item and event lists, shutdown) monitors N items at a short
// interval against a local unbound, with the main window shown on the offscreen
// platform, while a 10 ms timer measures how long the event loop ever goes
// without turning. Reports the longest stall over the whole run and after the
// start-up burst (every item is due at once at start), the stall percentiles,
// and the results evaluated per second. The first item is selected, so its
// round-trip history is drawn above its reply text as results arrive.
//
// usage: bench_ui_responsiveness [--items N] [--interval MS] [--seconds T] [--history on|off]
// --history off: no round-trip history kept or drawn (VARNELL_HISTORY=off).
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/bench_support.h"
#include "config/settings.h"
#include "config/settings_blob.h"
#include "config/settings_store.h"
#include "items/item_table.h"
#include "probe/engine.h"
#include "ui/items/dns_item_view.h"
#include "ui/main/app.h"
#include "ui/main/main_frame.h"

using namespace varnell;
using namespace varnell::bench;

namespace {

struct Options {
    std::uint32_t items = 2048;
    std::uint32_t interval = 500;
    std::uint32_t seconds = 30;
    bool history = true;
};

// Writes the store the program will load: N items on the local server, every
// alert channel but the log file off (the benchmark measures the window, not
// pop-ups, mail or programs started per event).
void SeedStore(const Options& o, std::uint16_t port, const std::string& dir)
{
    Settings settings = DefaultSettings(LookUpLocalAddress());
    settings.general.texts[kTextLogPath] = dir + "/varnell.log";
    settings.general.SetFlags(settings.general.Flags() &
                              ~(kGenExecute | kGenMail | kGenPopup | kGenNetMessage | kGenSound | kGenSyslog));
    CurrentSettings() = settings;
    InitItemTable();
    for (std::uint32_t i = 0; i < o.items; ++i) {
        ItemEdit e;
        e.interval = o.interval;
        e.timeout = 2000;
        e.serverBE = htonl(INADDR_LOOPBACK);
        e.name = "item " + std::to_string(i);
        e.domain = "h" + std::to_string(i) + ".test";
        const int slot = NewItemSlot();
        if (slot < 0 || !CommitNewItem(static_cast<std::uint32_t>(slot), e))
            break;
        LockItems()->items[static_cast<std::size_t>(slot)].server.portBE = htons(port);
    }
    std::vector<std::uint8_t> blob;
    BuildSettingsBlob(settings, *LockItems(), blob);
    WriteSettingsBlob(blob.data(), blob.size());
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::uint32_t { return i + 1 < argc ? static_cast<std::uint32_t>(std::atoi(argv[++i])) : 0; };
        if (a == "--items")
            o.items = std::min<std::uint32_t>(next(), kItemSlots);
        else if (a == "--interval")
            o.interval = next();
        else if (a == "--seconds")
            o.seconds = next();
        else if (a == "--history")
            o.history = i + 1 < argc && std::string(argv[++i]) != "off";
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);

    char dirTemplate[] = "/tmp/varnell-uibench-XXXXXX";
    const std::string dir = mkdtemp(dirTemplate);
    std::filesystem::create_directories(dir + "/dns");
    WriteTestZone(dir + "/dns/test.zone", o.items);
    const std::uint16_t port = FreeUdpPort();
    const pid_t unbound =
        Spawn({"bash", UnboundScript(), dir + "/dns", std::to_string(port), "127.0.0.1"}, dir + "/unbound.log");
    if (unbound <= 0 || !Answers("127.0.0.1", port, 50)) {
        std::fprintf(stderr, "unbound did not start; see %s/unbound.log\n", dir.c_str());
        if (unbound > 0)
            kill(unbound, SIGTERM);
        return 1;
    }
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    // The history file goes to the run's folder, never the user's own.
    setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
    setenv("VARNELL_HISTORY", o.history ? "on" : "off", 1);
    SeedStore(o, port, dir);

    QApplication application(argc, argv);
    AppOptions appOptions;
    appOptions.probePort = 0;
    CVarnellApp app(appOptions);
    app.InitInstance();
    // The offscreen platform still lays out and paints a shown window.
    app.MainFrame()->resize(1280, 800);
    app.MainFrame()->show();
    CDnsListCtrl* list = app.MainFrame()->ItemView()->List();
    list->setCurrentIndex(list->model()->index(0, 1));

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto last = start;
    const auto warmUp = std::chrono::seconds(3);
    double worstAll = 0, worstSteady = 0;
    std::vector<double> stalls;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        // The stall is how much later than its period the tick came.
        const double late = std::chrono::duration<double, std::milli>(now - last).count() - 10.0;
        last = now;
        worstAll = std::max(worstAll, late);
        if (now - start > warmUp) {
            worstSteady = std::max(worstSteady, late);
            stalls.push_back(late);
        }
    });
    QTimer::singleShot(static_cast<int>(o.seconds * 1000), [&] { app.MainFrame()->OnExit(); });
    ticker.start();
    QApplication::exec();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::uint64_t replies = 0, sent = 0;
    for (std::uint32_t i = 0; i < o.items; ++i) {
        replies += LockItems()->blocks[i].replies;
        sent += LockItems()->blocks[i].sent;
    }
    std::sort(stalls.begin(), stalls.end());
    auto pct = [&](double p) { return stalls.empty() ? 0.0 : stalls[static_cast<std::size_t>(p * static_cast<double>(stalls.size() - 1))]; };
    std::printf("items %u, interval %u ms, history %s, %.1f s\n", o.items, o.interval, o.history ? "on" : "off",
                seconds);
    std::printf("probes sent %llu, replies evaluated %llu (%.0f results/s)\n", static_cast<unsigned long long>(sent),
                static_cast<unsigned long long>(replies), static_cast<double>(replies) / seconds);
    std::printf("longest event-loop stall: %.1f ms over the whole run, %.1f ms after the first %lld s\n", worstAll,
                worstSteady, static_cast<long long>(warmUp.count()));
    std::printf("stall percentiles after start-up: p50 %.1f ms, p99 %.1f ms, p99.9 %.1f ms\n", pct(0.5), pct(0.99),
                pct(0.999));

    kill(unbound, SIGTERM);
    int status = 0;
    waitpid(unbound, &status, 0);
    std::filesystem::remove_all(dir);
    return 0;
}
