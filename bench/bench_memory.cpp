// Resident memory of the real program by the number of its items: for each
// count, varnell-monitor (with --window, the window program on the offscreen
// platform, its round-trip history on) starts on a store of its own whose items
// ask a local unbound, and T seconds later its VmRSS, RssAnon and RssFile are
// read from /proc/<pid>/status, with its peak (VmHWM) and the probes it had
// sent by then (from its metrics endpoint, which is on as for a monitor that
// Prometheus scrapes). Up to 100 items are probed every 1000 ms, more every 500.
//
// usage: bench_memory [--program PATH] [--counts 0,100,2048] [--seconds T] [--window]
// PATH defaults to varnell-monitor (varnell with --window) beside this
// benchmark's folder. The counts run one after the other, T seconds each.
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"

using namespace varnell;

namespace {

struct Options {
    std::string program;
    std::vector<std::uint32_t> counts{0, 100, 2048};
    int seconds = 60;
    bool window = false;
};

bool Parse(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--window") {
            o.window = true;
        } else if (a == "--program" && hasValue) {
            o.program = argv[++i];
        } else if (a == "--seconds" && hasValue) {
            o.seconds = std::atoi(argv[++i]);
        } else if (a == "--counts" && hasValue) {
            o.counts.clear();
            std::istringstream list(argv[++i]);
            for (std::string count; std::getline(list, count, ',');)
                o.counts.push_back(std::min<std::uint32_t>(static_cast<std::uint32_t>(std::stoul(count)), kItemSlots));
        } else {
            std::fprintf(stderr, "usage: bench_memory [--program PATH] [--counts 0,100,2048] [--seconds T] [--window]\n");
            return false;
        }
    }
    if (o.program.empty())
        o.program = (std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() /
                     (o.window ? "varnell" : "varnell-monitor"))
                        .string();
    return true;
}

// Runs the program on a store of `count` items in dir for the given time and
// prints its memory; false when it did not last that long.
bool Measure(const Options& o, std::uint32_t count, std::uint16_t dnsPort, const std::string& dir)
{
    for (const char* sub : {"/config", "/state", "/run"})
        mkdir((dir + sub).c_str(), 0700);
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
    const std::uint32_t interval = count > 100 ? 500 : 1000;
    const std::uint16_t metricsPort = bench::FreeLoopbackPort(SOCK_STREAM);
    InitItemTable();
    bench::AddItems("h", count, interval, dnsPort);
    bench::SaveBenchStore(metricsPort);

    const pid_t program = bench::Spawn(bench::Unprivileged({o.program}), dir + "/program.out");
    if (program < 0) {
        std::fprintf(stderr, "could not start %s\n", o.program.c_str());
        return false;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(o.seconds);
    bool ended = false;
    while (!ended && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ended = waitpid(program, nullptr, WNOHANG) != 0;
    }
    if (ended) {
        std::fprintf(stderr, "%s ended early with %u items; see %s/program.out\n", o.program.c_str(), count,
                     dir.c_str());
        return false;
    }
    const std::string status = "/proc/" + std::to_string(program) + "/status";
    const long rss = bench::StatusField(status, "VmRSS"), anon = bench::StatusField(status, "RssAnon");
    const long file = bench::StatusField(status, "RssFile"), peak = bench::StatusField(status, "VmHWM");
    double probes = 0;
    bench::ForEachSample(bench::HttpGet(metricsPort, "/metrics"), "varnell_item_requests_total",
                         [&](const std::string&, double v) { probes += v; });
    bench::Stop(program);
    std::printf("%s, %u items at %u ms, %d s after start: VmRSS %ld kB, RssAnon %ld kB, RssFile %ld kB, "
                "VmHWM %ld kB, %.0f probes sent\n",
                std::filesystem::path(o.program).filename().c_str(), count, interval, o.seconds, rss, anon, file,
                peak, probes);
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!Parse(argc, argv, o))
        return 2;
    if (o.window)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    char dirTemplate[] = "/tmp/varnell-memory-XXXXXX";
    const std::string dir = mkdtemp(dirTemplate);
    std::uint32_t most = 1;
    for (const std::uint32_t count : o.counts)
        most = std::max(most, count);
    std::uint16_t dnsPort = 0;
    const pid_t unbound = bench::StartUnbound(dir, most, dnsPort);
    if (unbound < 0) {
        std::fprintf(stderr, "unbound did not start; see %s/unbound.log\n", dir.c_str());
        return 1;
    }
    bool ok = true;
    for (const std::uint32_t count : o.counts) {
        const std::string run = dir + "/" + std::to_string(count);
        std::filesystem::create_directories(run);
        ok = Measure(o, count, dnsPort, run) && ok;
    }
    bench::Stop(unbound);
    if (ok)
        std::filesystem::remove_all(dir);
    return ok ? 0 : 1;
}
