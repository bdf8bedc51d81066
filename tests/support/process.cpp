#include "tests/support/process.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace varnell::test {

ChildProcess::~ChildProcess()
{
    if (pid_ > 0 && Stop(SIGTERM) < 0)
        Stop(SIGKILL);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& stdoutPath, const std::string& stderrPath)
{
    std::vector<std::string> envs;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& add : env)
            if (add.substr(0, add.find('=')) == name)
                replaced = true;
        if (!replaced)
            envs.push_back(entry);
    }
    for (const auto& add : env)
        if (add.find('=') != std::string::npos)
            envs.push_back(add);
    std::vector<char*> cargv, cenv;
    std::vector<std::string> args = argv;
    for (auto& a : args)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (auto& e : envs)
        cenv.push_back(e.data());
    cenv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.empty() ? "/dev/null" : stdoutPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.empty() ? "/dev/null" : stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own process group, so a stop also reaches what it started.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    int rc = posix_spawnp(&pid_, cargv[0], &actions, &attr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        pid_ = -1;
    return rc == 0;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout)
{
    if (pid_ <= 0)
        return -1;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return status;
        }
        if (r < 0 && errno != EINTR) {
            pid_ = -1;
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int ChildProcess::Stop(int sig, std::chrono::milliseconds timeout)
{
    if (pid_ <= 0)
        return -1;
    ::kill(-pid_, sig);
    ::kill(pid_, sig);
    return Wait(timeout);
}

bool ChildProcess::Running()
{
    if (pid_ <= 0)
        return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

namespace {

// True when port can be bound on 127.0.0.1 for the protocol at this moment.
bool PortBindable(std::uint16_t port, int type)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(port);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
    ::close(fd);
    return ok;
}

// The lowest port of the kernel's range for outgoing connections' source ports.
unsigned EphemeralLow()
{
    unsigned low = 32768;
    std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
    in >> low;
    return low;
}

} // namespace

// A port the kernel picks for us comes from the ephemeral range, where any
// outgoing connection of a test running beside this one (a scrape, a mail, a
// DNS query over TCP) may take it before the peer binds it. So the port comes
// from below that range, free for both protocols because the peers bind both.
std::uint16_t FreePort(bool udp)
{
    const unsigned low = EphemeralLow();
    const unsigned first = low > 11024 ? low - 10000 : 1024;
    const unsigned span = low > first ? low - first : 0;
    if (span > 0) {
        std::random_device seed;
        std::mt19937 pick(seed() ^ static_cast<unsigned>(::getpid()));
        for (int attempt = 0; attempt < 200; ++attempt) {
            const auto port = static_cast<std::uint16_t>(first + pick() % span);
            if (PortBindable(port, SOCK_DGRAM) && PortBindable(port, SOCK_STREAM))
                return port;
        }
    }
    int fd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    socklen_t len = sizeof sin;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    ::close(fd);
    return ntohs(sin.sin_port);
}

int ListenOnLoopback(int backlog, std::uint16_t& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    port = ntohs(sin.sin_port);
    return fd;
}

int OpenLoopbackUdp(std::uint16_t& portBE)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    portBE = sin.sin_port;
    return fd;
}

FinishedProgram RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      std::chrono::milliseconds timeout)
{
    TempDir dir;
    FinishedProgram run;
    ChildProcess child;
    if (!child.Start(argv, env, dir.File("out"), dir.File("err")))
        return run;
    const int status = child.Wait(timeout);
    if (status >= 0 && WIFEXITED(status))
        run.status = WEXITSTATUS(status);
    run.out = ReadFile(dir.File("out"));
    run.err = ReadFile(dir.File("err"));
    return run;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout, std::chrono::milliseconds step)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

bool TcpPortOpen(std::uint16_t port, const std::string& addr)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    inet_pton(AF_INET, addr.c_str(), &sin.sin_addr);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
    ::close(fd);
    return ok;
}

TempDir::TempDir()
{
    std::string templ = (std::filesystem::temp_directory_path() / "varnell-test-XXXXXX").string();
    char* made = mkdtemp(templ.data());
    path_ = made != nullptr ? made : templ;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string SourceDir() { return VARNELL_SOURCE_DIR; }
std::string BinaryDir() { return VARNELL_BINARY_DIR; }

} // namespace varnell::test
