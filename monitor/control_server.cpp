#include "monitor/control_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
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

#include "base/net/line_buffer.h"
#include "base/wake_event.h"
#include "monitor/control_commands.h"
#include "monitor/instance.h"
#include "monitor/item_status.h"

namespace varnell {

namespace {

using Clock = std::chrono::steady_clock;

// Queued output above which a client is not read (nor a follower given more
// events) until it has taken some. One reply may go past it: an export of a full table is bigger.
constexpr std::size_t kOutputLimit = std::size_t{1} << 20;
constexpr int kPollMs = 250; // how often followers are given new events
// A client in the status slot sends its request as it connects.
constexpr std::chrono::milliseconds kStatusSlotWait{2000};
// At shutdown, how long queued output may take to go out.
constexpr std::chrono::milliseconds kFlushLimit{1000};
constexpr const char* kBusy = "busy: too many clients";

struct Exchange {
    std::string request;
    std::string reply;
};

struct Client {
    int fd = -1;
    LineBuffer in{"\n", kControlLineLimit};
    std::string out;
    bool follow = false;
    bool statusOnly = false;  // in the slot kept for one status request
    bool inputEnded = false;  // the client half-closed: answer what came, then close
    bool closing = false;     // close once out is sent
    std::uint64_t seen = 0;   // last event sequence sent to a follower
    Clock::time_point active; // when a byte last moved either way
};

struct Server {
    std::mutex mutex; // guards exchanges and nextExchange
    std::map<std::uintptr_t, std::shared_ptr<Exchange>> exchanges;
    std::uintptr_t nextExchange = 1;

    // Set up and torn down on the owner thread, read by the socket thread in between.
    std::string path;
    struct stat bound {};
    int listenFd = -1;
    WakeFd wake; // set to stop the socket thread
    WindowId window = kNoWindow;
    std::chrono::milliseconds idleLimit = kControlIdleLimit;
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

// missed: events that left the record before this follower got them.
std::string EventsLine(const std::vector<RecordedEvent>& events, std::uint64_t missed = 0)
{
    nlohmann::json list = nlohmann::json::array();
    for (const RecordedEvent& e : events)
        list.push_back(nlohmann::json{{"seq", e.sequence}, {"time", e.time}, {"text", e.text}, {"kind", e.kind}});
    nlohmann::json reply{{"ok", true}, {"events", list}};
    if (missed != 0)
        reply["missed"] = missed;
    return reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
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
    const bool handled = GetUiChannel().Send(s.window, MakeMessage(WM_CONTROL_REQUEST, number, 0));
    std::lock_guard lock(s.mutex);
    s.exchanges.erase(number);
    if (!handled || exchange->reply.empty())
        return Failure("the program is shutting down");
    return exchange->reply;
}

void Answer(Client& c, const std::string& line)
{
    const nlohmann::json request = ParseControlRequest(line);
    const std::string cmd = request.is_discarded() ? std::string() : RequestText(request, "cmd");
    if (c.statusOnly) {
        c.closing = true;
        if (cmd != "status") {
            c.out += Failure(kBusy) + "\n";
            return;
        }
    }
    if (cmd != "events") {
        c.out += HandOver(line) + "\n";
        c.active = Clock::now(); // the hand-over may have taken a while
        return;
    }
    std::vector<RecordedEvent> list = EventsAfter(0);
    c.seen = list.empty() ? c.seen : list.back().sequence;
    const auto follow = request.find("follow");
    c.follow = follow != request.end() && follow->is_boolean() && follow->get<bool>();
    c.out += EventsLine(list) + "\n";
}

// Answers the complete lines received while the client's output is within the
// limit; the rest wait in c.in.
void AnswerLines(Client& c)
{
    std::string line;
    while (!c.closing && c.out.size() <= kOutputLimit && c.in.Next(line))
        Answer(c, line);
    if (c.closing)
        return;
    if (c.in.Overlong()) {
        c.out += Failure("request line too long") + "\n";
        c.in.Clear();
        c.closing = true;
    } else if (c.inputEnded && !c.in.HasLine() && !c.in.Empty()) {
        // The end of the input ends the last line as well.
        Answer(c, c.in.TakeRest());
    }
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
        const auto inSlot = std::count_if(clients.begin(), clients.end(), [](const Client& c) { return c.statusOnly; });
        const auto others = static_cast<std::ptrdiff_t>(clients.size()) - inSlot;
        if (others >= kControlClients - 1 && inSlot > 0) {
            Refuse(fd, kBusy);
            continue;
        }
        Client c;
        c.fd = fd;
        c.statusOnly = others >= kControlClients - 1;
        c.active = Clock::now();
        clients.push_back(std::move(c));
    }
}

// Reads what the client sent while its queued output is within the limit, and
// answers each complete line. false: drop it.
bool Read(Client& c)
{
    char buffer[65536];
    while (!c.inputEnded && !c.closing && c.out.size() <= kOutputLimit) {
        const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (n == 0)
            c.inputEnded = true;
        c.in.Append(buffer, static_cast<std::size_t>(n));
        c.active = Clock::now();
        AnswerLines(c);
    }
    return true;
}

bool Write(Client& c)
{
    while (!c.out.empty()) {
        const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        c.out.erase(0, static_cast<std::size_t>(n));
        c.active = Clock::now();
    }
    return true;
}

// A follower is given the events recorded since its last, unless it has not
// taken what it was given; it learns how many left the record meanwhile.
void FollowUp(Client& c)
{
    if (!c.follow || c.out.size() > kOutputLimit)
        return;
    const std::vector<RecordedEvent> fresh = EventsAfter(c.seen);
    if (fresh.empty())
        return;
    const std::uint64_t missed = fresh.front().sequence - c.seen - 1;
    c.seen = fresh.back().sequence;
    if (c.out.empty())
        c.active = Clock::now(); // the idle limit counts from what it was given
    c.out += EventsLine(fresh, missed) + "\n";
}

// Whether the client stays after this round.
bool Keep(Client& c, short revents, Clock::time_point now)
{
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !Read(c))
        return false;
    AnswerLines(c); // lines that waited for the output to go out
    FollowUp(c);
    if (!Write(c))
        return false;
    if (c.out.empty() && (c.closing || (c.inputEnded && !c.follow)))
        return false;
    // A follower that closed is seen only here: it reads nothing more.
    if (c.follow && (revents & (POLLHUP | POLLERR)) != 0)
        return false;
    const auto limit = c.statusOnly ? std::min(TheServer().idleLimit, kStatusSlotWait) : TheServer().idleLimit;
    return (c.follow && c.out.empty()) || now - c.active <= limit;
}

// At shutdown: followers get their last events, and every client what is
// queued for it, for as long as kFlushLimit allows.
void Flush(std::list<Client>& clients)
{
    for (Client& c : clients)
        FollowUp(c);
    const auto deadline = Clock::now() + kFlushLimit;
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        for (Client& c : clients) {
            if (!Write(c))
                c.out.clear();
            if (!c.out.empty())
                fds.push_back(pollfd{c.fd, POLLOUT, 0});
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (fds.empty() || left <= 0 || poll(fds.data(), fds.size(), static_cast<int>(left)) < 0)
            return;
    }
}

void Serve()
{
    Server& s = TheServer();
    std::list<Client> clients;
    std::vector<pollfd> fds;
    while (!s.stop.load()) {
        fds.clear();
        fds.push_back(pollfd{s.wake.Fd(), POLLIN, 0});
        fds.push_back(pollfd{s.listenFd, POLLIN, 0});
        for (const Client& c : clients) {
            const bool reading = !c.closing && !c.inputEnded && c.out.size() <= kOutputLimit;
            fds.push_back(pollfd{c.fd, static_cast<short>((reading ? POLLIN : 0) | (c.out.empty() ? 0 : POLLOUT)), 0});
        }
        if (poll(fds.data(), fds.size(), kPollMs) < 0 && errno != EINTR)
            break;
        if (s.stop.load())
            break;
        if ((fds[1].revents & POLLIN) != 0)
            Accept(clients);
        const auto now = Clock::now();
        std::size_t i = 2;
        for (auto it = clients.begin(); it != clients.end(); ++i) {
            // Clients accepted in this round have no entry in fds yet.
            const short revents = i < fds.size() ? fds[i].revents : 0;
            if (Keep(*it, revents, now)) {
                ++it;
            } else {
                close(it->fd);
                it = clients.erase(it);
            }
        }
    }
    Flush(clients);
    for (Client& c : clients)
        close(c.fd);
}

} // namespace

bool StartControlServer(const std::string& path, std::string& error, std::chrono::milliseconds idleLimit)
{
    Server& s = TheServer();
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        error = "no usable path";
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
        listen(fd, kControlClients) != 0 || !s.wake.Open()) {
        error = std::strerror(errno);
        close(fd);
        return false;
    }
    s.path = path;
    lstat(path.c_str(), &s.bound);
    s.listenFd = fd;
    s.idleLimit = idleLimit;
    s.window = GetUiChannel().RegisterWindow(OnControlMessage);
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
    s.wake.Set();
    s.thread.join();
    GetUiChannel().UnregisterWindow(s.window);
    s.window = kNoWindow;
    close(s.listenFd);
    s.wake.Close();
    s.listenFd = -1;
    // Only our own socket goes: a later instance may already have made a new one.
    struct stat st {};
    if (lstat(s.path.c_str(), &st) == 0 && st.st_ino == s.bound.st_ino && st.st_dev == s.bound.st_dev)
        unlink(s.path.c_str());
    std::lock_guard lock(s.mutex);
    s.exchanges.clear();
}

} // namespace varnell
