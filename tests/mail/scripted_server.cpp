#include "scripted_server.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace varnell::test {

namespace {

constexpr int kStepLimitMs = 5000;

bool WaitReadable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

} // namespace

ScriptedServer::ScriptedServer(std::vector<ScriptStep> script) : script_(std::move(script))
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listener_, 1) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (listener_ >= 0)
        ::close(listener_);
}

std::string ScriptedServer::Received()
{
    hurry_ = true;
    if (thread_.joinable())
        thread_.join();
    return received_;
}

// One line from the client (up to its CRLF); false when none came in time.
bool ScriptedServer::ReadLine(int fd)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStepLimitMs);
    for (;;) {
        const std::size_t end = received_.find("\r\n", consumed_);
        if (end != std::string::npos) {
            consumed_ = end + 2;
            return true;
        }
        if (stop_ || std::chrono::steady_clock::now() > deadline || !WaitReadable(fd, 50)) {
            if (stop_ || std::chrono::steady_clock::now() > deadline)
                return false;
            continue;
        }
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n <= 0)
            return false;
        received_.append(buf, static_cast<std::size_t>(n));
    }
}

void ScriptedServer::Run()
{
    if (!WaitReadable(listener_, kStepLimitMs))
        return;
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    for (const ScriptStep& step : script_) {
        if (stop_ || fd < 0)
            break;
        switch (step.kind) {
        case ScriptStep::kSend:
            ::send(fd, step.text.data(), step.text.size(), MSG_NOSIGNAL);
            break;
        case ScriptStep::kTrickle:
            for (char c : step.text) {
                ::send(fd, &c, 1, MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
            }
            break;
        case ScriptStep::kReadLine:
            ReadLine(fd);
            break;
        case ScriptStep::kPause: {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.ms);
            while (!hurry_ && !stop_ && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            break;
        }
        case ScriptStep::kClose:
            ::close(fd);
            fd = -1;
            break;
        }
    }
    // Record whatever else the client says until it closes.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStepLimitMs);
    while (fd >= 0 && !stop_ && std::chrono::steady_clock::now() < deadline) {
        if (!WaitReadable(fd, 50))
            continue;
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        received_.append(buf, static_cast<std::size_t>(n));
    }
    if (fd >= 0)
        ::close(fd);
}

} // namespace varnell::test
