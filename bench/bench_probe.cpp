// Probe engine benchmark: N items probed against a local unbound (one address, or
// the items spread over several loopback addresses) for T seconds through the
// real scheduler, receiver and result evaluation, with a headless user-interface
// thread. Reports probes per second, the share of probes sent at the first pass
// after they were due, CPU per 1000 probes, peak RSS and lost replies (code 16
// while the server is up), then runs dnsperf against the same server at the same
// rate and compares CPU per query.
//
// usage: bench_probe [--items N] [--interval MS] [--timeout MS] [--seconds T]
//                    [--servers S] [--rcvbuf BYTES] [--edns SIZE] [--no-dnsperf]
//                    [--transport udp|tcp|tls|https]
// --rcvbuf sets the probe socket's receive buffer after it is opened (0: keep the
// 524288 the engine asks for); 212992 is what an unprivileged program gets with
// the common default net.core.rmem_max. --edns: the UDP size queries advertise
// in an OPT record (0, the default here: the plain query; the program's own
// default is 1232). --transport: how the items ask (the default UDP); over TLS
// and HTTPS unbound serves with a certificate of a CA made for the run
// (scripts/peers/make-ca.sh), and dnsperf is run in its matching mode (-m tcp,
// dot or doh).
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/headless_ui_channel.h"
#include "bench/bench_support.h"
#include "items/item_table.h"
#include "items/result_eval.h"
#include "items/result_hooks.h"
#include "monitor/monitor.h"
#include "probe/edns.h"
#include "probe/engine.h"
#include "probe/receiver.h"
#include "probe/transport_probe.h"
#include "items/transport_state.h"

using namespace varnell;
using namespace varnell::bench;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    std::uint32_t items = 2048;
    std::uint32_t interval = 500;
    std::uint32_t timeout = 2000;
    std::uint32_t seconds = 60;
    std::uint32_t servers = 1;
    int rcvbuf = 0;
    std::uint32_t edns = 0;
    bool dnsperf = true;
    Transport transport = Transport::kUdp;
};

// Counts what result evaluation hands on, as a user-interface thread would show it.
class CountingHooks : public ResultHooks {
public:
    void SetRowText(const DnsItem&, int, const std::string& text) override { bytes += text.size(); }
    void SetRowImage(const DnsItem&, int) override {}
    void AddEventRow(const DnsItem*, const std::string&, std::int64_t, int kind, std::string& timeText) override
    {
        timeText = "2026-01-01 00:00:00";
        ++events[kind];
    }
    void DispatchEvent(const DnsItem&, const std::string&, const std::string&) override {}
    std::size_t bytes = 0;
    std::map<int, std::uint64_t> events;
};

double CpuSeconds(const rusage& u)
{
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::string Address(std::uint32_t server) { return "127.0.0." + std::to_string(1 + server); }

} // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&] { return i + 1 < argc ? static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10)) : 0u; };
        if (a == "--items")
            o.items = std::min(next(), kItemSlots);
        else if (a == "--interval")
            o.interval = next();
        else if (a == "--timeout")
            o.timeout = next();
        else if (a == "--seconds")
            o.seconds = next();
        else if (a == "--servers")
            o.servers = std::max(1u, std::min(next(), 200u));
        else if (a == "--rcvbuf")
            o.rcvbuf = static_cast<int>(next());
        else if (a == "--edns")
            o.edns = next();
        else if (a == "--no-dnsperf")
            o.dnsperf = false;
        else if (a == "--transport" && i + 1 < argc && ParseTransport(argv[i + 1], o.transport))
            ++i;
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);

    // The zone: one name per item, so every probe asks its own question.
    char dirTemplate[] = "/tmp/varnell-bench-XXXXXX";
    const std::string dir = mkdtemp(dirTemplate);
    WriteTestZone(dir + "/test.zone", o.items);
    {
        std::ofstream queries(dir + "/queries.txt");
        for (std::uint32_t i = 0; i < o.items; ++i)
            queries << "h" << i << ".test A\n";
    }
    const std::uint16_t port = FreeUdpPort();
    std::vector<std::string> args = {"bash", UnboundScript()};
    // The encrypted ports: free ones near the UDP port's, checked as unbound binds them.
    const std::uint16_t tlsPort = static_cast<std::uint16_t>(port + 1), httpsPort = static_cast<std::uint16_t>(port + 2);
    const bool encrypted = o.transport == Transport::kTls || o.transport == Transport::kHttps;
    if (encrypted) {
        const pid_t ca = Spawn({"bash", (std::filesystem::path(UnboundScript()).parent_path() / "make-ca.sh").string(), dir},
                               dir + "/make-ca.log");
        int caStatus = 0;
        while (ca > 0 && waitpid(ca, &caStatus, 0) < 0 && errno == EINTR) {
        }
        args.insert(args.end(), {"--tls", std::to_string(tlsPort), "--https", std::to_string(httpsPort), "--cert",
                                 dir + "/server.pem", dir + "/server.key"});
        SetTransportCaFile(dir + "/ca.pem");
    }
    args.insert(args.end(), {dir, std::to_string(port)});
    for (std::uint32_t s = 0; s < o.servers; ++s)
        args.push_back(Address(s));
    const pid_t unbound = Spawn(args, dir + "/unbound.log");
    bool up = unbound > 0;
    for (std::uint32_t s = 0; s < o.servers && up; ++s)
        up = Answers(Address(s), port, 150);
    if (!up) {
        std::fprintf(stderr, "unbound did not start; see %s/unbound.log\n", dir.c_str());
        if (unbound > 0)
            kill(unbound, SIGTERM);
        return 1;
    }

    HeadlessUiChannel desktop;
    SetUiChannel(&desktop);
    CountingHooks hooks;
    std::map<int, std::uint64_t> codes; // user-interface thread only until the end
    std::vector<std::string> engineMessages;
    MonitorLayer layer;
    layer.createWindows = [&] {
        InstallResultWindows(&hooks, {[&](std::uint32_t, int code) { ++codes[code]; },
                                      [&](const std::string& text) { engineMessages.push_back(text); }});
    };
    StartMonitor(EngineOnlyOptions(o.rcvbuf), layer, false);
    for (std::uint32_t i = 0; i < o.items; ++i) {
        ItemEdit e;
        e.interval = o.interval;
        e.timeout = o.timeout;
        in_addr a{};
        inet_pton(AF_INET, Address(i % o.servers).c_str(), &a);
        e.serverBE = a.s_addr;
        e.name = "h" + std::to_string(i);
        e.domain = e.name + ".test";
        CommitNewItem(static_cast<std::uint32_t>(NewItemSlot()), e);
        auto items = LockItems();
        items->items[i].server.portBE = htons(o.transport == Transport::kTls ? tlsPort : port);
        ItemTransport t;
        t.transport = o.transport;
        if (o.transport == Transport::kHttps)
            t.url = "https://127.0.0.1:" + std::to_string(httpsPort) + "/dns-query";
        SetItemTransport(items->items[i], t);
    }

    SetQueryEdnsSize(o.edns);
    const int fd = Engine().probeSocket.load();
    int granted = 0;
    socklen_t glen = sizeof granted;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &glen);

    // Which passes each item was probed at: a probe at pass P sets its next-due
    // time to P + interval, so sampling next-due times often enough sees them all.
    std::vector<std::uint32_t> lastDue(o.items, 0);
    std::vector<std::set<std::uint32_t>> probedAt(o.items);
    std::set<std::uint32_t> passes;
    auto sample = [&] {
        std::lock_guard lock(EngineLock());
        for (std::uint32_t i = 0; i < o.items; ++i) {
            const std::uint32_t due = LockItems()->items[i].nextDue;
            if (due != lastDue[i]) {
                lastDue[i] = due;
                probedAt[i].insert(due - o.interval);
                passes.insert(due - o.interval);
            }
        }
    };

    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = Clock::now();
    StartMonitorThreads();
    while (Clock::now() - start < std::chrono::seconds(o.seconds)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sample();
    }
    std::uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t infoLength = sizeof info;
    getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &infoLength); // drops: the kernel's own count
    StopMonitor();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    sample();
    desktop.Drain();

    std::uint64_t probes = 0, expected = 0;
    std::uint32_t minProbes = UINT32_MAX;
    for (std::uint32_t i = 0; i < o.items; ++i) {
        probes += probedAt[i].size();
        minProbes = std::min(minProbes, static_cast<std::uint32_t>(probedAt[i].size()));
        if (!probedAt[i].empty()) // every pass from its first on finds the item due
            expected += static_cast<std::uint64_t>(std::distance(passes.find(*probedAt[i].begin()), passes.end()));
    }
    // The last pass may have been cut short by the stop; its probes count, its
    // misses do not.
    std::uint64_t cut = 0;
    if (!passes.empty()) {
        const std::uint32_t last = *passes.rbegin();
        for (std::uint32_t i = 0; i < o.items; ++i)
            if (!probedAt[i].empty() && *probedAt[i].begin() <= last && probedAt[i].count(last) == 0)
                ++cut;
    }
    expected -= cut;
    const double cpu = CpuSeconds(after) - CpuSeconds(before);
    std::uint64_t results = 0;
    for (const auto& [code, n] : codes)
        results += n;
    const ReceiverCounters rc = GetReceiverCounters();

    std::printf("items %u, servers %u, interval %u ms, timeout %u ms, %.1f s, probe socket SO_RCVBUF granted %d\n",
                o.items, o.servers, o.interval, o.timeout, elapsed, granted);
    std::printf("passes %zu, probes %llu (%.1f/s), fewest probes of one item %u\n", passes.size(),
                static_cast<unsigned long long>(probes), static_cast<double>(probes) / elapsed, minProbes);
    std::printf("on time (sent at the first pass after due): %.4f %%\n",
                expected != 0 ? 100.0 * static_cast<double>(probes) / static_cast<double>(expected) : 0.0);
    std::printf("results %llu:", static_cast<unsigned long long>(results));
    for (const auto& [code, n] : codes)
        std::printf(" code %d x %llu", code, static_cast<unsigned long long>(n));
    std::printf("\nlost replies (code 16 while the server is up): %llu\n",
                static_cast<unsigned long long>(codes.count(16) != 0 ? codes[16] : 0));
    std::printf("events: down %llu, up %llu, changed %llu; engine messages %zu\n",
                static_cast<unsigned long long>(hooks.events[kEventDown]),
                static_cast<unsigned long long>(hooks.events[kEventUp]),
                static_cast<unsigned long long>(hooks.events[kEventChanged]), engineMessages.size());
    std::printf("receiver: %llu datagrams, ring peak %zu bytes, ring full %llu times; dropped by the socket %u\n",
                static_cast<unsigned long long>(rc.datagrams), rc.queue.peakBytes,
                static_cast<unsigned long long>(rc.queue.fullWaits), info[SK_MEMINFO_DROPS]);
    const double perProbe = probes != 0 ? cpu / static_cast<double>(probes) : 0.0;
    std::printf("CPU %.3f s, %.4f s per 1000 probes; peak RSS %ld KiB\n", cpu, perProbe * 1000.0, after.ru_maxrss);
    if (o.transport != Transport::kUdp) {
        const TransportCounters tc = TransportProbeCounters();
        std::printf("transport %s: %llu queries, %llu answered, %llu failed; connections opened: %llu stream, %llu "
                    "HTTPS\n",
                    std::string(TransportName(o.transport)).c_str(), static_cast<unsigned long long>(tc.submitted),
                    static_cast<unsigned long long>(tc.answered), static_cast<unsigned long long>(tc.failed),
                    static_cast<unsigned long long>(tc.streamConnections),
                    static_cast<unsigned long long>(tc.httpsConnections));
    }

    if (o.dnsperf && probes != 0) {
        const auto rate = static_cast<std::uint64_t>(static_cast<double>(probes) / elapsed + 0.5);
        rusage childBefore{};
        getrusage(RUSAGE_CHILDREN, &childBefore);
        // dnsperf in the same transport: -m tcp, dot or doh, to the matching port.
        const char* mode = o.transport == Transport::kTcp    ? "tcp"
                           : o.transport == Transport::kTls   ? "dot"
                           : o.transport == Transport::kHttps ? "doh"
                                                              : "udp";
        const std::uint16_t perfPort =
            o.transport == Transport::kTls ? tlsPort : o.transport == Transport::kHttps ? httpsPort : port;
        const pid_t perf = Spawn({"dnsperf", "-m", mode, "-s", "127.0.0.1", "-p", std::to_string(perfPort), "-d",
                                  dir + "/queries.txt", "-l", std::to_string(o.seconds), "-Q", std::to_string(rate),
                                  "-c", "1", "-q", std::to_string(o.items)},
                                 dir + "/dnsperf.txt");
        int status = 0;
        while (perf > 0 && waitpid(perf, &status, 0) < 0 && errno == EINTR) {
        }
        rusage childAfter{};
        getrusage(RUSAGE_CHILDREN, &childAfter);
        std::ifstream report(dir + "/dnsperf.txt");
        std::string line;
        std::uint64_t completed = 0;
        while (std::getline(report, line)) {
            const auto at = line.find("Queries completed:");
            if (at != std::string::npos)
                completed = std::strtoull(line.c_str() + at + 18, nullptr, 10);
        }
        const double perfCpu = CpuSeconds(childAfter) - CpuSeconds(childBefore);
        const double perQuery = completed != 0 ? perfCpu / static_cast<double>(completed) : 0.0;
        std::printf("dnsperf at %llu q/s: %llu queries, CPU %.3f s, %.4f s per 1000 queries; ratio %.2f\n",
                    static_cast<unsigned long long>(rate), static_cast<unsigned long long>(completed), perfCpu,
                    perQuery * 1000.0, perQuery != 0.0 ? perProbe / perQuery : 0.0);
    }

    kill(unbound, SIGTERM);
    int status = 0;
    waitpid(unbound, &status, 0);
    std::filesystem::remove_all(dir);
    RemoveResultWindows();
    SetUiChannel(nullptr);
    return 0;
}
