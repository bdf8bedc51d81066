// Test support: child processes (real peers, the program itself), free loopback
// ports, temporary folders and waiting for a condition with a deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace varnell::test {

// A child started from argv (never through a shell). The destructor sends
// SIGTERM, waits up to two seconds, then SIGKILL.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // env entries "NAME=value" are added to (or replace in) the inherited environment;
    // an entry "NAME" alone leaves NAME out.
    // stdoutPath/stderrPath: files to write to, or empty for /dev/null.
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
               const std::string& stdoutPath = "", const std::string& stderrPath = "");
    // Sends sig and waits up to timeout for the exit; returns the wait status or -1.
    int Stop(int sig = 15, std::chrono::milliseconds timeout = std::chrono::seconds(2));
    // Waits for the child to end on its own; returns the wait status or -1 on time-out.
    int Wait(std::chrono::milliseconds timeout);
    bool Running();
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// Runs a program to its end (killed after timeout) with env added as in
// ChildProcess::Start. status is the exit status, or -1 when it did not exit.
struct FinishedProgram {
    int status = -1;
    std::string out, err;
};
FinishedProgram RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A port that was free on 127.0.0.1 for both UDP and TCP a moment ago, chosen
// below the kernel's range for outgoing connections (falls back to a port the
// kernel picks for the given protocol when there is no room below it).
std::uint16_t FreePort(bool udp);
// A UDP socket bound to 127.0.0.1 on a port the system chose (close-on-exec);
// portBE is that port in network byte order. -1 when it cannot be opened.
int OpenLoopbackUdp(std::uint16_t& portBE);
// A TCP socket listening on 127.0.0.1 with the given backlog, on a port the
// system chose (close-on-exec); port in host byte order. -1 when it cannot be opened.
int ListenOnLoopback(int backlog, std::uint16_t& port);
// Polls until pred() is true or the timeout passes.
bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
             std::chrono::milliseconds step = std::chrono::milliseconds(20));
// True once a TCP connect to 127.0.0.1:port (or addr) succeeds.
bool TcpPortOpen(std::uint16_t port, const std::string& addr = "127.0.0.1");
// A new empty folder under the system's temporary folder; removed by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
// Source and build folders of this checkout.
std::string SourceDir();
std::string BinaryDir();

} // namespace varnell::test
