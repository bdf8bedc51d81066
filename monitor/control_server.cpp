#include "monitor/control_server.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "monitor/control_commands.h"
#include "monitor/instance.h"
#include "monitor/item_status.h"

namespace varnell {

namespace {

// A client that does not read its replies is dropped once this much waits.
constexpr std::size_t kOutputLimit = std::size_t{32} << 20;
constexpr int kPollMs = 250; // how often followers are given new events

struct Exchange {
    std::string request;
    std::string reply;
};

struct Client {
    int fd = -1;
    std::string in;
    std::string out;
    bool follow = false;
    std::uint64_t seen = 0;  // last event sequence sent to a follower
    bool closing = false;    // close once out is sent
};

struct Server {
    std::mutex mutex; // guards exchanges and nextExchange
    std::map<std::uintptr_t, std::shared_ptr<Exchange>> exchanges;
    std::uintptr_t nextExchange = 1;

    // Set up and torn down on the owner thread, read by the socket thread in between.
    std::string path;
    struct stat bound {};
    int listenFd = -1;
    int wake[2] = {-1, -1};
    WindowId window = kNoWindow;
    std::atomic<bool> stop{false};
    std::thread thread;
};

Server& TheServer()
{
    static Server server;
    return server;
}

void OnControlMessage(const WindowMessage& message)
{
    if (message.id != WM_CONTROL_REQUEST)
        return;
    Server& s = TheServer();
    std::shared_ptr<Exchange> exchange;
    {
        std::lock_guard lock(s.mutex);
        const auto it = s.exchanges.find(message.wparam);
        if (it == s.exchanges.end())
            return;
        exchange = it->second;
    }
    ControlOutcome outcome = RunControlRequest(exchange->request, true);
    std::lock_guard lock(s.mutex);
    exchange->reply = std::move(outcome.reply);
}

std::string Failure(const std::string& error)
{
    return nlohmann::json{{"ok", false}, {"error", error}}.dump();
}

std::string EventsLine(const std::vector<RecordedEvent>& events)
{
    nlohmann::json list = nlohmann::json::array();
    for (const RecordedEvent& e : events)
        list.push_back(nlohmann::json{{"time", e.time}, {"text", e.text}, {"kind", e.kind}});
    return nlohmann::json{{"ok", true}, {"events", list}}.dump(-1, ' ', false,
                                                                nlohmann::json::error_handler_t::replace);
}

// Hands the request to the owner thread and waits for its reply.
std::string HandOver(std::string request)
{
    Server& s = TheServer();
    auto exchange = std::make_shared<Exchange>();
    exchange->request = std::move(request);
    std::uintptr_t number = 0;
    {
        std::lock_guard lock(s.mutex);
        number = s.nextExchange++;
        s.exchanges[number] = exchange;
    }
    const bool handled = GetDesktop().Send(s.window, MakeMessage(WM_CONTROL_REQUEST, number, 0));
    std::lock_guard lock(s.mutex);
    s.exchanges.erase(number);
    if (!handled || exchange->reply.empty())
        return Failure("the program is shutting down");
    return exchange->reply;
}

void Answer(Client& c, const std::string& line)
{
    const nlohmann::json request = ParseControlRequest(line);
    if (request.is_discarded() || RequestText(request, "cmd") != "events") {
        c.out += HandOver(line) + "\n";
        return;
    }
    std::vector<RecordedEvent> list = EventsAfter(0);
    c.seen = list.empty() ? c.seen : list.back().sequence;
    const auto follow = request.find("follow");
    c.follow = follow != request.end() && follow->is_boolean() && follow->get<bool>();
    c.out += EventsLine(list) + "\n";
}

void Refuse(int fd, const std::string& why)
{
    const std::string line = Failure(why) + "\n";
    [[maybe_unused]] ssize_t n = send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    close(fd);
}

void Accept(std::list<Client>& clients)
{
    Server& s = TheServer();
    for (;;) {
        const int fd = accept4(s.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        ucred peer{};
        socklen_t length = sizeof peer;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || length != sizeof peer ||
            peer.uid != geteuid()) {
            Refuse(fd, "refused: the control socket serves only the user who runs the program");
            continue;
        }
        if (clients.size() >= static_cast<std::size_t>(kControlClients)) {
            Refuse(fd, "busy: too many clients");
            continue;
        }
        clients.push_back(Client{fd, {}, {}, false, 0, false});
    }
}

// Reads what the client sent and answers each complete line. false: drop it.
bool Read(Client& c)
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n == 0)
            return false;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        c.in.append(buffer, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t end; !c.closing && (end = c.in.find('\n', start)) != std::string::npos; start = end + 1)
            Answer(c, c.in.substr(start, end - start));
        c.in.erase(0, start);
        if (c.in.size() > kControlLineLimit) {
            c.out += Failure("request line too long") + "\n";
            c.in.clear();
            c.closing = true;
        }
        if (c.closing)
            return true;
    }
}

bool Write(Client& c)
{
    while (!c.out.empty()) {
        const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        c.out.erase(0, static_cast<std::size_t>(n));
    }
    return !c.closing;
}

void Serve()
{
    Server& s = TheServer();
    std::list<Client> clients;
    std::vector<pollfd> fds;
    while (!s.stop.load()) {
        fds.clear();
        fds.push_back(pollfd{s.wake[0], POLLIN, 0});
        fds.push_back(pollfd{s.listenFd, POLLIN, 0});
        for (const Client& c : clients)
            fds.push_back(pollfd{c.fd, static_cast<short>((c.closing ? 0 : POLLIN) | (c.out.empty() ? 0 : POLLOUT)), 0});
        if (poll(fds.data(), fds.size(), kPollMs) < 0 && errno != EINTR)
            break;
        if (s.stop.load())
            break;
        if ((fds[1].revents & POLLIN) != 0)
            Accept(clients);
        std::size_t i = 2;
        for (auto it = clients.begin(); it != clients.end(); ++i) {
            Client& c = *it;
            // Clients accepted in this round have no entry in fds yet.
            const short revents = i < fds.size() ? fds[i].revents : 0;
            bool keep = true;
            if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !c.closing)
                keep = Read(c);
            if (keep && c.follow) {
                const std::vector<RecordedEvent> fresh = EventsAfter(c.seen);
                if (!fresh.empty()) {
                    c.seen = fresh.back().sequence;
                    c.out += EventsLine(fresh) + "\n";
                }
            }
            if (keep && !c.out.empty())
                keep = Write(c);
            else if (keep && c.closing)
                keep = false;
            if (keep && c.out.size() > kOutputLimit)
                keep = false;
            if (!keep) {
                close(c.fd);
                it = clients.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Client& c : clients)
        close(c.fd);
}

} // namespace

bool StartControlServer(const std::string& path, std::string& error)
{
    Server& s = TheServer();
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        error = "no usable path (is XDG_RUNTIME_DIR set?)";
        return false;
    }
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || !MakePrivateFolder(path.substr(0, slash), error))
        return false;
    // A socket left by an instance that died is replaced; one that answers is not.
    const int probe = ConnectControl(path);
    if (probe >= 0) {
        close(probe);
        error = "another instance serves it";
        return false;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        unlink(path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || chmod(path.c_str(), 0600) != 0 ||
        listen(fd, kControlClients) != 0 || pipe2(s.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::strerror(errno);
        close(fd);
        return false;
    }
    s.path = path;
    lstat(path.c_str(), &s.bound);
    s.listenFd = fd;
    s.window = GetDesktop().RegisterWindow(OnControlMessage);
    s.stop.store(false);
    s.thread = std::thread(Serve);
    return true;
}

void StopControlServer()
{
    Server& s = TheServer();
    if (!s.thread.joinable())
        return;
    s.stop.store(true);
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(s.wake[1], &byte, 1);
    s.thread.join();
    GetDesktop().UnregisterWindow(s.window);
    s.window = kNoWindow;
    close(s.listenFd);
    close(s.wake[0]);
    close(s.wake[1]);
    s.listenFd = s.wake[0] = s.wake[1] = -1;
    // Only our own socket goes: a later instance may already have made a new one.
    struct stat st {};
    if (lstat(s.path.c_str(), &st) == 0 && st.st_ino == s.bound.st_ino && st.st_dev == s.bound.st_dev)
        unlink(s.path.c_str());
    std::lock_guard lock(s.mutex);
    s.exchanges.clear();
}

} // namespace varnell
