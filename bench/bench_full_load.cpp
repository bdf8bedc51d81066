// Full-load cost of the whole program: the real varnell (window on the offscreen
// platform) probes N items against a local unbound for T seconds with its probe
// socket's receive buffer held to what an unprivileged program commonly gets;
// its CPU is read from outside (/proc/<pid>/stat), its probes and replies from
// its own metrics endpoint. Then dnsperf, saturated, against the same server.
// Reports CPU per probe, dnsperf's CPU per query, their ratio, resident memory
// at 30 s and at the end, and lost replies (probes sent minus replies counted).
//
// usage: bench_full_load [--program PATH] [--items N] [--interval MS]
//                        [--seconds T] [--rcvbuf BYTES] [--dnsperf-seconds T]
//                        [--history on|off]
// PATH defaults to the varnell beside this benchmark's folder. --history off
// runs the program without its round-trip history (VARNELL_HISTORY=off).
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "bench/bench_support.h"
#include "config/settings.h"
#include "config/settings_blob.h"
#include "config/settings_store.h"
#include "items/item_table.h"
#include "probe/engine.h"

using namespace varnell;

namespace {

struct Options {
    std::string program;
    std::uint32_t items = 2048;
    std::uint32_t interval = 500;
    int seconds = 120;
    int rcvbuf = 212992;
    int dnsperfSeconds = 30;
    bool history = true;
};

double CpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold blanks.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i)
        if (i == 14 || i == 15)
            ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long ResidentKb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Sums of every item's requests and replies counters, from the metrics page.
struct Counters {
    double requests = 0, replies = 0;
    bool ok = false;
};

Counters Scrape(std::uint16_t port)
{
    Counters c;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return c;
    }
    const std::string get = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    send(fd, get.data(), get.size(), 0);
    std::string page;
    char buffer[65536];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        page.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);) {
        const auto value = [&] { return std::stod(line.substr(line.rfind(' ') + 1)); };
        if (line.rfind("varnell_item_requests_total{", 0) == 0)
            c.requests += value();
        else if (line.rfind("varnell_item_replies_total{", 0) == 0)
            c.replies += value();
    }
    c.ok = page.find("varnell_item_requests_total") != std::string::npos;
    return c;
}

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
    }
    return o;
}

} // namespace

int main(int argc, char** argv)
{
    const Options o = Parse(argc, argv);
    char dirTemplate[] = "/tmp/varnell-full-load-XXXXXX";
    const std::string dir = mkdtemp(dirTemplate);
    bench::WriteTestZone(dir + "/test.zone", o.items);
    const std::uint16_t dnsPort = bench::FreeUdpPort();
    const pid_t unbound = bench::Spawn({"bash", bench::UnboundScript(), dir, std::to_string(dnsPort), "127.0.0.1"},
                                       dir + "/unbound.log");
    if (unbound < 0 || !bench::Answers("127.0.0.1", dnsPort, 150)) {
        std::fprintf(stderr, "unbound did not start; see %s/unbound.log\n", dir.c_str());
        return 1;
    }

    // The store: N items, no alert channel, the metrics endpoint on. The
    // history file goes to the same folder, never the user's own.
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    setenv("XDG_STATE_HOME", dir.c_str(), 1);
    const std::uint16_t metricsPort = bench::FreeLoopbackPort(SOCK_STREAM);
    Settings s = DefaultSettings(LookUpLocalAddress());
    s.general.SetFlags(0);
    s.extra.metricsListen = "127.0.0.1:" + std::to_string(metricsPort);
    InitItemTable();
    for (std::uint32_t i = 0; i < o.items; ++i) {
        ItemEdit e;
        e.name = "h" + std::to_string(i);
        e.domain = e.name + ".test";
        e.interval = o.interval;
        e.timeout = 2000;
        e.serverBE = htonl(INADDR_LOOPBACK);
        CommitNewItem(static_cast<std::uint32_t>(NewItemSlot()), e);
        LockItems()->items[i].server.portBE = htons(dnsPort);
    }
    CurrentSettings() = s;
    SaveSettings();

    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("VARNELL_PROBE_RCVBUF", std::to_string(o.rcvbuf).c_str(), 1);
    setenv("VARNELL_HISTORY", o.history ? "on" : "off", 1);
    const pid_t program = bench::Spawn({o.program}, dir + "/varnell.out");
    if (program < 0) {
        std::fprintf(stderr, "could not start %s\n", o.program.c_str());
        return 1;
    }
    // Warm-up: the window is up and every item has had its first probes.
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const Counters before = Scrape(metricsPort);
    const double cpuBefore = CpuSeconds(program);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_until(start + std::chrono::seconds(20));
    const long rss30 = ResidentKb(program);
    std::this_thread::sleep_until(start + std::chrono::seconds(o.seconds));
    const Counters after = Scrape(metricsPort);
    const double cpu = CpuSeconds(program) - cpuBefore;
    const long rssEnd = ResidentKb(program);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    kill(program, SIGTERM);
    int status = 0;
    waitpid(program, &status, 0);
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
    const pid_t perf = bench::Spawn({"dnsperf", "-s", "127.0.0.1", "-p", std::to_string(dnsPort), "-d",
                                     dir + "/queries.txt", "-l", std::to_string(o.dnsperfSeconds)},
                                    dir + "/dnsperf.out");
    rusage usage{};
    wait4(perf, &status, 0, &usage);
    const double perfCpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    double perfQueries = 0;
    std::ifstream perfOut(dir + "/dnsperf.out");
    for (std::string line; std::getline(perfOut, line);)
        if (const auto at = line.find("Queries completed:"); at != std::string::npos)
            perfQueries = std::stod(line.substr(at + 18));
    kill(unbound, SIGTERM);
    waitpid(unbound, &status, 0);

    const double perProbe = probes > 0 ? cpu / probes * 1e6 : 0;
    const double perQuery = perfQueries > 0 ? perfCpu / perfQueries * 1e6 : 0;
    std::printf("items %u, interval %u ms, receive buffer %d, history %s, %.0f s measured after 10 s of warm-up\n",
                o.items, o.interval, o.rcvbuf, o.history ? "on" : "off", elapsed);
    std::printf("program: %.0f probes (%.0f/s), CPU %.2f s = %.1f %% of a core, %.1f us per probe\n", probes,
                probes / elapsed, cpu, cpu / elapsed * 100, perProbe);
    std::printf("program: lost replies %.0f, resident %ld kB at 30 s, %ld kB at the end\n", lost, rss30, rssEnd);
    std::printf("dnsperf: %.0f queries, CPU %.2f s, %.1f us per query\n", perfQueries, perfCpu, perQuery);
    std::printf("ratio: %.2f x dnsperf's CPU per query\n", perQuery > 0 ? perProbe / perQuery : 0);
    std::filesystem::remove_all(dir);
    return 0;
}
