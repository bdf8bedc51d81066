// Pieces the benchmarks share: starting the local unbound from
// scripts/peers/unbound.sh on a free port, the zone of one name per item,
// waiting until the server answers, the store of N items, starting the real
// programs, and reading a running program from outside (/proc, its metrics page).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "config/settings_store.h"
#include "items/item_table.h"
#include "probe/engine.h"

extern char** environ;

namespace varnell::bench {

// Starts args (argv[0] looked up on PATH, never through a shell) with stdin
// from /dev/null and stdout and stderr into out (appended to when append is
// set, so a restarted server keeps its earlier log); -1 when it cannot start.
inline pid_t Spawn(const std::vector<std::string>& args, const std::string& out, bool append = false)
{
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Binds fd to a free port of 127.0.0.1; that port, 0 when it cannot.
inline std::uint16_t BindLoopback(int fd)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return 0;
    return ntohs(a.sin_port);
}

// A port on 127.0.0.1 that nothing holds for sockets of socketType.
inline std::uint16_t FreeLoopbackPort(int socketType)
{
    const int fd = socket(AF_INET, socketType, 0);
    const std::uint16_t port = BindLoopback(fd);
    close(fd);
    return port;
}

inline std::uint16_t FreeUdpPort() { return FreeLoopbackPort(SOCK_DGRAM); }

// Asks addr:port for h0.test up to `tries` times, 100 ms apart; true once a
// reply at least as long as a DNS header comes back.
inline bool Answers(const std::string& addr, std::uint16_t port, int tries)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    timeval tv{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, addr.c_str(), &to.sin_addr);
    const std::uint8_t q[] = {0x12, 0x34, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 2, 'h', '0', 4, 't', 'e', 's', 't', 0, 0, 1, 0, 1};
    bool ok = false;
    for (int i = 0; i < tries && !ok; ++i) {
        sendto(fd, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        std::uint8_t r[512];
        ok = recv(fd, r, sizeof r, 0) >= 12;
    }
    close(fd);
    return ok;
}

// The zone "test." with one name per item, h0 .. h(N-1), each with its own
// address, so every probe asks its own question.
inline void WriteTestZone(const std::string& path, std::uint32_t items)
{
    std::ofstream zone(path);
    zone << "$ORIGIN test.\n$TTL 300\n@ IN SOA ns.test. hostmaster.test. 1 3600 600 86400 300\n"
            "@ IN NS ns.test.\nns IN A 192.0.2.53\n";
    for (std::uint32_t i = 0; i < items; ++i)
        zone << "h" << i << " IN A 10.0." << (i >> 8) << "." << (i & 0xFF) << "\n";
}

// scripts/peers/unbound.sh of the source tree this benchmark was built from.
inline std::string UnboundScript()
{
    return std::filesystem::path(__FILE__).parent_path().parent_path() / "scripts/peers/unbound.sh";
}

// Writes the zone of `items` names into dir and starts unbound on a free port of
// 127.0.0.1 for it; the port in port. -1 (its log in dir/unbound.log) when it
// does not answer within 15 s.
inline pid_t StartUnbound(const std::string& dir, std::uint32_t items, std::uint16_t& port)
{
    WriteTestZone(dir + "/test.zone", items);
    port = FreeUdpPort();
    const pid_t pid = Spawn({"bash", UnboundScript(), dir, std::to_string(port), "127.0.0.1"}, dir + "/unbound.log");
    if (pid > 0 && !Answers("127.0.0.1", port, 150)) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

// Items prefix0 .. prefix(count-1) asking 127.0.0.1:port for <name>.test, added
// to the item table of this process (InitItemTable first).
inline void AddItems(const std::string& prefix, std::uint32_t count, std::uint32_t interval, std::uint16_t port)
{
    for (std::uint32_t i = 0; i < count; ++i) {
        ItemEdit e;
        e.name = prefix + std::to_string(i);
        e.domain = e.name + ".test";
        e.interval = interval;
        e.timeout = 2000;
        e.serverBE = htonl(INADDR_LOOPBACK);
        const int slot = NewItemSlot();
        if (slot < 0 || !CommitNewItem(static_cast<std::uint32_t>(slot), e))
            return;
        LockItems()->items[static_cast<std::size_t>(slot)].server.portBE = htons(port);
    }
}

// Saves the item table with no alert channel and the metrics endpoint on
// 127.0.0.1:metricsPort, into the store under $XDG_CONFIG_HOME.
inline void SaveBenchStore(std::uint16_t metricsPort)
{
    Settings s = DefaultSettings(LookUpLocalAddress());
    s.general.SetFlags(0);
    s.extra.metricsListen = "127.0.0.1:" + std::to_string(metricsPort);
    CurrentSettings() = s;
    SaveSettings();
}

// The programs run as root would bind the privileged DNS port for their probes
// and take it from the DNS servers of whatever else runs on the machine; without
// the right to bind it they probe from a port of their own.
inline std::vector<std::string> Unprivileged(std::vector<std::string> argv)
{
    if (geteuid() == 0)
        argv.insert(argv.begin(), {"setpriv", "--inh-caps=-net_bind_service", "--bounding-set=-net_bind_service", "--"});
    return argv;
}

// SIGTERM, then SIGKILL if pid has not ended within `grace`.
inline void Stop(pid_t pid, std::chrono::seconds grace = std::chrono::seconds(30))
{
    kill(pid, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + grace;
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

inline std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// utime + stime of a /proc stat file, a process's or one thread's, in seconds.
inline double StatCpuSeconds(const std::string& statPath)
{
    const std::string text = ReadText(statPath);
    const auto paren = text.rfind(')');
    if (paren == std::string::npos)
        return 0;
    // Fields after the command name, which is in parentheses and may hold blanks.
    std::istringstream rest(text.substr(paren + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i)
        if (i == 14 || i == 15)
            ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A numeric field ("VmRSS", "voluntary_ctxt_switches") of a /proc status file; -1 when absent.
inline long StatusField(const std::string& statusPath, const std::string& name)
{
    std::istringstream in(ReadText(statusPath));
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0)
            return std::stol(line.substr(name.size() + 1));
    return -1;
}

inline long ResidentKb(pid_t pid) { return StatusField("/proc/" + std::to_string(pid) + "/status", "VmRSS"); }

// One thread of a running program as /proc shows it.
struct ThreadSample {
    std::string name;
    double cpu = 0;     // seconds
    long switches = 0;  // voluntary and involuntary context switches
};

inline std::map<long, ThreadSample> Threads(pid_t pid)
{
    std::map<long, ThreadSample> threads;
    std::error_code error;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(dir, error)) {
        const std::string path = task.path().string();
        ThreadSample& t = threads[std::stol(task.path().filename().string())];
        t.name = ReadText(path + "/comm");
        if (!t.name.empty() && t.name.back() == '\n')
            t.name.pop_back();
        t.cpu = StatCpuSeconds(path + "/stat");
        t.switches = std::max(0L, StatusField(path + "/status", "voluntary_ctxt_switches")) +
                     std::max(0L, StatusField(path + "/status", "nonvoluntary_ctxt_switches"));
    }
    return threads;
}

// GET path from 127.0.0.1:port over HTTP/1.0; the whole response, empty when
// nothing answers within 5 s.
inline std::string HttpGet(std::uint16_t port, const std::string& path)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string page;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string get = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        send(fd, get.data(), get.size(), 0);
        char buffer[65536];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            page.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return page;
}

// Calls each(labels, value) for every sample of family on a metrics page.
template <typename Each>
void ForEachSample(const std::string& page, const std::string& family, Each each)
{
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(family + "{", 0) == 0)
            each(line.substr(family.size(), line.rfind(' ') - family.size()), std::stod(line.substr(line.rfind(' ') + 1)));
}

} // namespace varnell::bench
