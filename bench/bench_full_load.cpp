// Full-load cost of the whole program: the real varnell (window on the offscreen
// platform) probes N items against a local unbound for T seconds with its probe
// socket's receive buffer held to what an unprivileged program commonly gets;
// its CPU is read from outside (/proc/<pid>/stat), its probes and replies from
// its own metrics endpoint. Then dnsperf, saturated, against the same server.
// Reports CPU per probe, dnsperf's CPU per query, their ratio, resident memory
// at 30 s and at the end, and lost replies (probes sent minus replies counted);
// then the CPU, system calls and context switches of each thread over the
// window, and the round-trip error of R more items whose server answers exactly
// 50 ms after each query arrives, as the metrics page shows it every 10 s.
//
// usage: bench_full_load [--program PATH] [--items N] [--interval MS]
//                        [--seconds T] [--rcvbuf BYTES] [--dnsperf-seconds T]
//                        [--history on|off] [--rtt-items R] [--syscalls on|off]
// PATH defaults to the varnell beside this benchmark's folder. --history off
// runs the program without its round-trip history (VARNELL_HISTORY=off).
// System calls are counted by perf over the window (--syscalls off leaves perf
// out, should its counting be suspected of weighing on the CPU figures).
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/bench_support.h"
#include "bench/delayed_responder.h"

using namespace varnell;

namespace {

constexpr double kResponderDelayMs = 50;

struct Options {
    std::string program;
    std::uint32_t items = 2048;
    std::uint32_t interval = 500;
    int seconds = 120;
    int rcvbuf = 212992;
    int dnsperfSeconds = 30;
    bool history = true;
    // Few, since the responder answers one after the other and the items all
    // fall due in the same pass: on a slow virtual machine each reply takes
    // some 40 us to send, so the sixteenth of a burst would leave 0.6 ms late.
    std::uint32_t rttItems = 4;
    bool syscalls = true;
};

// Sums of every item's requests and replies counters, from the metrics page.
struct Counters {
    double requests = 0, replies = 0;
    bool ok = false;
};

Counters CountersOf(const std::string& page)
{
    Counters c;
    bench::ForEachSample(page, "varnell_item_requests_total", [&](const std::string&, double v) { c.requests += v; });
    bench::ForEachSample(page, "varnell_item_replies_total", [&](const std::string&, double v) { c.replies += v; });
    c.ok = page.find("varnell_item_requests_total") != std::string::npos;
    return c;
}

// Each responder item's last round trip minus the responder's delay, in ms.
void AddRoundTripErrors(const std::string& page, std::vector<double>& errors)
{
    bench::ForEachSample(page, "varnell_item_rtt_seconds", [&](const std::string& labels, double seconds) {
        if (labels.rfind("{item=\"rtt", 0) == 0)
            errors.push_back(seconds * 1000 - kResponderDelayMs);
    });
}

// System calls per thread id from `perf stat --per-thread -x,` output, whose
// lines begin "<comm>-<tid>,<count>,"; empty when perf counted nothing.
std::map<long, double> SyscallsPerThread(const std::string& perfOutput)
{
    std::map<long, double> counts;
    std::istringstream lines(perfOutput);
    for (std::string line; std::getline(lines, line);) {
        const auto comma = line.find(',');
        const auto dash = line.rfind('-', comma);
        if (line.empty() || line[0] == '#' || comma == std::string::npos || dash == std::string::npos)
            continue;
        const std::string count = line.substr(comma + 1, line.find(',', comma + 1) - comma - 1);
        if (!count.empty() && std::isdigit(static_cast<unsigned char>(count[0])))
            counts[std::stol(line.substr(dash + 1, comma - dash - 1))] = std::stod(count);
    }
    return counts;
}

// The responder's items take their slots from the full load's when the table
// would not hold both.
Options Parse(int argc, char** argv)
{
    Options o;
    o.program = (std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "varnell").string();
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const std::string v = argv[i + 1];
        if (a == "--program")
            o.program = v;
        else if (a == "--items")
            o.items = static_cast<std::uint32_t>(std::stoul(v));
        else if (a == "--interval")
            o.interval = static_cast<std::uint32_t>(std::stoul(v));
        else if (a == "--seconds")
            o.seconds = std::stoi(v);
        else if (a == "--rcvbuf")
            o.rcvbuf = std::stoi(v);
        else if (a == "--dnsperf-seconds")
            o.dnsperfSeconds = std::stoi(v);
        else if (a == "--history")
            o.history = v != "off";
        else if (a == "--rtt-items")
            o.rttItems = static_cast<std::uint32_t>(std::stoul(v));
        else if (a == "--syscalls")
            o.syscalls = v != "off";
    }
    o.rttItems = std::min(o.rttItems, kItemSlots);
    o.items = std::min(o.items, kItemSlots - o.rttItems);
    return o;
}

} // namespace

int main(int argc, char** argv)
{
    const Options o = Parse(argc, argv);
    char dirTemplate[] = "/tmp/varnell-full-load-XXXXXX";
    const std::string dir = mkdtemp(dirTemplate);
    std::uint16_t dnsPort = 0;
    const pid_t unbound = bench::StartUnbound(dir, o.items, dnsPort);
    if (unbound < 0) {
        std::fprintf(stderr, "unbound did not start; see %s/unbound.log\n", dir.c_str());
        return 1;
    }
    bench::DelayedResponder responder(static_cast<std::int64_t>(kResponderDelayMs * 1e6));

    // The store: N items and the responder's, no alert channel, the metrics
    // endpoint on. The history file and the control socket go to the same
    // folder, never the user's own.
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    setenv("XDG_STATE_HOME", dir.c_str(), 1);
    mkdir((dir + "/run").c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
    const std::uint16_t metricsPort = bench::FreeLoopbackPort(SOCK_STREAM);
    InitItemTable();
    bench::AddItems("h", o.items, o.interval, dnsPort);
    bench::AddItems("rtt", o.rttItems, 1000, responder.Port());
    bench::SaveBenchStore(metricsPort);

    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("VARNELL_PROBE_RCVBUF", std::to_string(o.rcvbuf).c_str(), 1);
    setenv("VARNELL_HISTORY", o.history ? "on" : "off", 1);
    const pid_t program = bench::Spawn(bench::Unprivileged({o.program}), dir + "/varnell.out");
    if (program < 0) {
        std::fprintf(stderr, "could not start %s\n", o.program.c_str());
        return 1;
    }
    const std::string proc = "/proc/" + std::to_string(program);
    // Warm-up: the window is up and every item has had its first probes.
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const Counters before = CountersOf(bench::HttpGet(metricsPort, "/metrics"));
    const double cpuBefore = bench::StatCpuSeconds(proc + "/stat");
    const auto threadsBefore = bench::Threads(program);
    const auto start = std::chrono::steady_clock::now();
    const pid_t perf =
        o.syscalls ? bench::Spawn({"perf", "stat", "-e", "raw_syscalls:sys_enter", "-p", std::to_string(program),
                                   "--per-thread", "-x,", "-o", dir + "/perf.txt", "--", "sleep",
                                   std::to_string(o.seconds)},
                                  dir + "/perf.log")
                   : -1;
    // The round trips are read every 10 s over the window, and once at its end:
    // each read serves the whole metrics page, which the program's CPU pays for.
    std::vector<double> rttErrors;
    long rss30 = -1;
    for (int at = 10; at < o.seconds; at += 10) {
        std::this_thread::sleep_until(start + std::chrono::seconds(at));
        if (at == 20)
            rss30 = bench::ResidentKb(program);
        AddRoundTripErrors(bench::HttpGet(metricsPort, "/metrics"), rttErrors);
    }
    std::this_thread::sleep_until(start + std::chrono::seconds(o.seconds));
    const std::string endPage = bench::HttpGet(metricsPort, "/metrics");
    const Counters after = CountersOf(endPage);
    AddRoundTripErrors(endPage, rttErrors);
    const double cpu = bench::StatCpuSeconds(proc + "/stat") - cpuBefore;
    const auto threadsAfter = bench::Threads(program);
    const long rssEnd = bench::ResidentKb(program);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int status = 0;
    if (perf > 0)
        waitpid(perf, &status, 0);
    bench::Stop(program);
    responder.Stop();
    if (!before.ok || !after.ok) {
        std::fprintf(stderr, "no metrics from the program; see %s/varnell.out\n", dir.c_str());
        return 1;
    }
    const double probes = after.requests - before.requests;
    // Replies still on their way at either scrape even out over the window.
    const double lost = probes - (after.replies - before.replies);

    // dnsperf, saturated: its own default of 100 queries outstanding, no rate limit.
    std::ofstream queries(dir + "/queries.txt");
    for (std::uint32_t i = 0; i < o.items; ++i)
        queries << "h" << i << ".test A\n";
    queries.close();
    const pid_t dnsperf = bench::Spawn({"dnsperf", "-s", "127.0.0.1", "-p", std::to_string(dnsPort), "-d",
                                        dir + "/queries.txt", "-l", std::to_string(o.dnsperfSeconds)},
                                       dir + "/dnsperf.out");
    rusage usage{};
    wait4(dnsperf, &status, 0, &usage);
    const double perfCpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    double perfQueries = 0;
    std::ifstream perfOut(dir + "/dnsperf.out");
    for (std::string line; std::getline(perfOut, line);)
        if (const auto at = line.find("Queries completed:"); at != std::string::npos)
            perfQueries = std::stod(line.substr(at + 18));
    bench::Stop(unbound);

    const double perProbe = probes > 0 ? cpu / probes * 1e6 : 0;
    const double perQuery = perfQueries > 0 ? perfCpu / perfQueries * 1e6 : 0;
    std::printf("items %u, interval %u ms, receive buffer %d, history %s, %.0f s measured after 10 s of warm-up\n",
                o.items, o.interval, o.rcvbuf, o.history ? "on" : "off", elapsed);
    std::printf("items at the %.0f ms responder: %u, interval 1000 ms, counted with the others above\n",
                kResponderDelayMs, o.rttItems);
    std::printf("program: %.0f probes (%.0f/s), CPU %.2f s = %.1f %% of a core, %.1f us per probe\n", probes,
                probes / elapsed, cpu, cpu / elapsed * 100, perProbe);
    std::printf("program: lost replies %.0f, resident %ld kB at 30 s, %ld kB at the end\n", lost, rss30, rssEnd);
    std::printf("dnsperf: %.0f queries, CPU %.2f s, %.1f us per query\n", perfQueries, perfCpu, perQuery);
    std::printf("ratio: %.2f x dnsperf's CPU per query\n", perQuery > 0 ? perProbe / perQuery : 0);

    // Per thread name (several threads may share one), over the window; a thread
    // that ended inside the window is not counted.
    const std::map<long, double> syscalls = SyscallsPerThread(bench::ReadText(dir + "/perf.txt"));
    struct Sum {
        int threads = 0;
        double cpu = 0, switches = 0, syscalls = 0;
    };
    std::map<std::string, Sum> byName;
    Sum all;
    for (const auto& [tid, t] : threadsAfter) {
        const auto was = threadsBefore.find(tid);
        const bool old = was != threadsBefore.end();
        Sum& sum = byName[t.name];
        sum.threads += 1;
        sum.cpu += t.cpu - (old ? was->second.cpu : 0);
        sum.switches += static_cast<double>(t.switches - (old ? was->second.switches : 0));
        const auto calls = syscalls.find(tid);
        sum.syscalls += calls != syscalls.end() ? calls->second : 0;
    }
    // perf counted over its own `sleep`, which began with the window.
    const auto syscallRate = [&](double count) {
        char text[32];
        std::snprintf(text, sizeof text, "%.0f", count / o.seconds);
        return syscalls.empty() ? std::string("n/a") : std::string(text);
    };
    for (const auto& [name, sum] : byName) {
        std::printf("thread %s (x%d): CPU %.2f s, %.2f us per probe, %s system calls/s, %.0f context switches/s\n",
                    name.c_str(), sum.threads, sum.cpu, probes > 0 ? sum.cpu / probes * 1e6 : 0,
                    syscallRate(sum.syscalls).c_str(), sum.switches / elapsed);
        all.syscalls += sum.syscalls;
        all.switches += sum.switches;
    }
    std::printf("program: %s system calls/s, %.0f context switches/s\n", syscallRate(all.syscalls).c_str(),
                all.switches / elapsed);

    if (rttErrors.empty()) {
        std::printf("round trip: no reading from the %u items of the %.0f ms responder\n", o.rttItems,
                    kResponderDelayMs);
    } else {
        double sum = 0;
        for (const double e : rttErrors)
            sum += e;
        const auto [least, most] = std::minmax_element(rttErrors.begin(), rttErrors.end());
        std::printf("round trip error (rtt - %.0f ms), %u items of the responder, %zu readings: mean %+.2f ms, "
                    "min %+.2f ms, max %+.2f ms\n",
                    kResponderDelayMs, o.rttItems, rttErrors.size(),
                    sum / static_cast<double>(rttErrors.size()), *least, *most);
    }
    // The responder's lateness is part of every round trip the program measures.
    if (responder.replies > 0)
        std::printf("responder: %ld replies, each late by mean %.3f ms, min %.3f ms, max %.3f ms\n", responder.replies,
                    responder.latenessSumMs / static_cast<double>(responder.replies), responder.latenessMinMs,
                    responder.latenessMaxMs);
    std::filesystem::remove_all(dir);
    return 0;
}
