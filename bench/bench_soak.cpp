// Soak: many items probed for a long time through the real scheduler, receiver
// and result evaluation against a local unbound that goes away and comes back
// at a fixed period, each time with a share of the items' addresses changed.
// Reports the resident set over time, whether every item kept being probed in
// every sampling window, and whether every outage gave each item exactly one
// down and one up event (and each address change exactly one change event).
//
// usage: bench_soak [--items N] [--seconds T] [--interval MS] [--timeout MS]
//                   [--lost N] [--period S] [--outage S] [--sample S]
// Defaults: 2048 items for an hour, interval 1000, timeout 1000, lost 2, an
// outage of 10 s every 120 s, a sample every 30 s. Exit status 0 when every
// check held.
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/headless_ui_channel.h"
#include "items/item_table.h"
#include "items/result_eval.h"
#include "items/result_hooks.h"
#include "monitor/monitor.h"
#include "probe/engine.h"

#include "bench/bench_support.h"


using namespace varnell;
using namespace varnell::bench;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kServer = "127.0.10.1";

struct Options {
    std::uint32_t items = 2048;
    std::uint32_t seconds = 3600;
    std::uint32_t interval = 1000;
    std::uint32_t timeout = 1000;
    std::uint32_t lost = 2;
    std::uint32_t period = 120;
    std::uint32_t outage = 10;
    std::uint32_t sample = 30;
};

// Per item: the events in order ('D', 'U', 'C') and the results of the current
// sampling window. Written on the dispatcher thread, read by main under the lock.
struct Record {
    std::string events;
    std::uint32_t windowResults = 0;
};
std::mutex gLock;
std::vector<Record> gRecords;

class SoakHooks : public ResultHooks {
public:
    void SetRowText(const DnsItem&, int, const std::string&) override {}
    void SetRowImage(const DnsItem&, int) override {}
    void AddEventRow(const DnsItem* item, const std::string&, std::int64_t, int kind, std::string& timeText) override
    {
        timeText = "2026-01-01 00:00:00";
        if (item == nullptr)
            return;
        const auto slot = static_cast<std::size_t>(item - LockItems()->items.data());
        std::lock_guard lock(gLock);
        if (slot < gRecords.size())
            gRecords[slot].events += kind == kEventDown ? 'D' : kind == kEventUp ? 'U' : 'C';
    }
    void DispatchEvent(const DnsItem&, const std::string&, const std::string&) override {}
};

long RssKiB()
{
    std::ifstream in("/proc/self/statm");
    long pages = 0, resident = 0;
    in >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Version v of the zone: item i's address moves whenever v passes a multiple
// of 4 offset by i, so a quarter of the items change at each comeback.
std::uint32_t AddressVersion(std::uint32_t item, std::uint32_t v) { return (v + 3 - item % 4) / 4; }

void WriteZone(const std::string& dir, std::uint32_t items, std::uint32_t v)
{
    std::ofstream zone(dir + "/soak.zone", std::ios::trunc);
    zone << "$ORIGIN soak.\n$TTL 300\n@ IN SOA ns.soak. hostmaster.soak. " << v + 1
         << " 3600 600 86400 300\n@ IN NS ns.soak.\nns IN A 192.0.2.53\n";
    for (std::uint32_t i = 0; i < items; ++i)
        zone << "h" << i << " IN A 10." << AddressVersion(i, v) % 250 << "." << (i >> 8) << "." << (i & 0xFF) << "\n";
}

pid_t StartServer(const std::string& dir, std::uint16_t port)
{
    const pid_t pid = Spawn({"bash", UnboundScript(), dir, std::to_string(port), kServer}, dir + "/unbound.log", true);
    if (pid > 0 && !Answers(kServer, port, 150)) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

void StopServer(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        std::uint32_t* field = a == "--items"      ? &o.items
                               : a == "--seconds"  ? &o.seconds
                               : a == "--interval" ? &o.interval
                               : a == "--timeout"  ? &o.timeout
                               : a == "--lost"     ? &o.lost
                               : a == "--period"   ? &o.period
                               : a == "--outage"   ? &o.outage
                               : a == "--sample"   ? &o.sample
                                                   : nullptr;
        if (field == nullptr || i + 1 >= argc) {
            std::fprintf(stderr, "unknown option or missing value: %s\n", a.c_str());
            return 2;
        }
        *field = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    }
    o.items = std::max(1u, std::min(o.items, kItemSlots));
    o.sample = std::max(1u, o.sample);
    o.lost = std::min(o.lost, 63u);
    if (o.outage * 1000 < (o.lost + 2) * (o.interval + o.timeout) || o.period <= o.outage * 2) {
        std::fprintf(stderr, "the outage must outlast %u lost probes and fit twice in the period\n", o.lost + 1);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);

    char dirTemplate[] = "/tmp/varnell-soak-XXXXXX";
    const std::string dir = mkdtemp(dirTemplate);
    std::uint32_t version = 0;
    WriteZone(dir, o.items, version);
    const std::uint16_t port = FreeUdpPort();
    pid_t server = StartServer(dir, port);
    if (server <= 0) {
        std::fprintf(stderr, "unbound did not start; see %s/unbound.log\n", dir.c_str());
        return 1;
    }

    HeadlessUiChannel desktop;
    SetUiChannel(&desktop);
    SoakHooks hooks;
    gRecords.assign(o.items, Record{});
    MonitorLayer layer;
    layer.createWindows = [&] {
        InstallResultWindows(&hooks, {[](std::uint32_t slot, int) {
                                          std::lock_guard lock(gLock);
                                          if (slot < gRecords.size())
                                              ++gRecords[slot].windowResults;
                                      },
                                      [](const std::string&) {}});
    };
    StartMonitor(EngineOnlyOptions(), layer, false);
    for (std::uint32_t i = 0; i < o.items; ++i) {
        ItemEdit e;
        e.interval = o.interval;
        e.timeout = o.timeout;
        e.lostCount = o.lost;
        in_addr a{};
        inet_pton(AF_INET, kServer, &a);
        e.serverBE = a.s_addr;
        e.name = "h" + std::to_string(i);
        e.domain = e.name + ".soak";
        CommitNewItem(static_cast<std::uint32_t>(NewItemSlot()), e);
        LockItems()->items[i].server.portBE = htons(port);
    }

    std::printf("soak: %u items, interval %u ms, timeout %u ms, lost %u, outage %u s every %u s, %u s\n", o.items,
                o.interval, o.timeout, o.lost, o.outage, o.period, o.seconds);
    std::printf("%8s %10s %8s %12s %14s\n", "time s", "RSS KiB", "server", "results", "items unprobed");
    std::fflush(stdout);

    const auto start = Clock::now();
    StartMonitorThreads();
    std::uint32_t outages = 0, windowsMissed = 0;
    long rssFirst = 0, rssPeak = 0, rssLast = 0;
    bool serverUp = true, windowAllUp = true;
    auto nextSample = start + std::chrono::seconds(o.sample);
    // The first window also holds the start-up burst; the resident set settles after it.
    bool firstWindow = true;
    while (true) {
        const auto now = Clock::now();
        const auto elapsed = static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(now - start).count());
        if (elapsed >= o.seconds)
            break;
        // The server is away during the last `outage` seconds of each period.
        const bool wantUp = elapsed % o.period < o.period - o.outage || o.seconds - elapsed < o.outage * 2;
        if (wantUp != serverUp) {
            if (!wantUp) {
                StopServer(server);
                server = -1;
                ++outages;
            } else {
                WriteZone(dir, o.items, ++version);
                server = StartServer(dir, port);
                if (server <= 0) {
                    std::fprintf(stderr, "unbound did not come back; see %s/unbound.log\n", dir.c_str());
                    break;
                }
            }
            serverUp = wantUp;
            windowAllUp = false;
        }
        if (now >= nextSample) {
            std::uint64_t results = 0;
            std::uint32_t unprobed = 0;
            {
                std::lock_guard lock(gLock);
                for (auto& r : gRecords) {
                    results += r.windowResults;
                    unprobed += r.windowResults == 0 ? 1u : 0u;
                    r.windowResults = 0;
                }
            }
            rssLast = RssKiB();
            if (firstWindow)
                rssFirst = rssLast;
            rssPeak = std::max(rssPeak, rssLast);
            // A timed-out probe is a result too, so even an outage window counts.
            if (unprobed != 0)
                ++windowsMissed;
            std::printf("%8u %10ld %8s %12llu %14u\n", elapsed, rssLast, windowAllUp ? "up" : "outage",
                        static_cast<unsigned long long>(results), unprobed);
            std::fflush(stdout);
            windowAllUp = serverUp;
            firstWindow = false;
            nextSample += std::chrono::seconds(o.sample);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // Let the last comeback's results in.
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * (o.interval + o.timeout)));
    StopMonitor();
    desktop.Drain();
    StopServer(server);

    // Each item: its first change event, then per outage one down, a change when
    // its address moved at that comeback (reported with the first answer) and
    // one up (after a run of answers).
    std::uint32_t wrong = 0, downs = 0, ups = 0, changes = 0;
    std::string firstWrong;
    for (std::uint32_t i = 0; i < o.items; ++i) {
        std::string expected = "C";
        for (std::uint32_t v = 1; v <= outages; ++v) {
            expected += 'D';
            if (v <= version && AddressVersion(i, v) != AddressVersion(i, v - 1))
                expected += 'C';
            expected += 'U';
        }
        const std::string& got = gRecords[i].events;
        downs += static_cast<std::uint32_t>(std::count(got.begin(), got.end(), 'D'));
        ups += static_cast<std::uint32_t>(std::count(got.begin(), got.end(), 'U'));
        changes += static_cast<std::uint32_t>(std::count(got.begin(), got.end(), 'C'));
        if (got != expected) {
            if (wrong++ == 0)
                firstWrong = "h" + std::to_string(i) + ": expected " + expected + ", got " + got;
        }
    }
    std::printf("outages %u: down events %u, up events %u (%u items each), change events %u\n", outages, downs, ups,
                o.items, changes);
    std::printf("RSS: %ld KiB after the first window, %ld KiB peak, %ld KiB at the end\n", rssFirst, rssPeak, rssLast);
    std::printf("windows with an item not probed: %u\n", windowsMissed);
    std::printf("items whose events differ from one down and one up per outage: %u%s%s\n", wrong,
                wrong != 0 ? "; first: " : "", firstWrong.c_str());
    std::filesystem::remove_all(dir);
    return wrong == 0 && windowsMissed == 0 ? 0 : 1;
}
