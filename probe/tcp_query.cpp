// DNS over TCP after truncation (RFC 7766; RFC 1035 4.2.2 framing).
#include "probe/tcp_query.h"

#include "base/tick.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/ui_channel.h"
#include "base/wake_event.h"
#include "dns/dns_wire.h"
#include "probe/edns.h"
#include "probe/engine.h"
#include "probe/reply_parser.h"

namespace varnell {

namespace {

std::atomic<TcpQueryHook> g_hook{nullptr};

// Longest wait while connections are held: their deadlines are ticks, read
// afresh each round. An idle worker waits for its wake alone.
constexpr int kMaxPollMs = 250;
constexpr std::size_t kFrameBytes = 2 + kMaxQueryBytes;

enum class Phase { Waiting, Connecting, Sending, Reading, Done };

struct Connection {
    TcpQuery q;
    Phase phase = Phase::Waiting;
    int fd = -1;
    std::size_t done = 0;          // bytes of the question sent
    std::uint8_t frame[kFrameBytes] = {};
    std::size_t frameLength = 0;
    TcpFrame reply;
};

// Signed distance, so a deadline just past the tick counter's wrap still counts.
bool Past(std::uint32_t deadline, std::uint32_t now) { return static_cast<std::int32_t>(now - deadline) >= 0; }

struct Worker {
    std::mutex mutex; // guards inbox, running, stopping and thread
    std::vector<TcpQuery> inbox;
    bool running = false;
    bool stopping = false;
    std::thread thread;
    WakeFd wake; // a new question or a stop

    std::atomic<std::uint64_t> queued{0}, answered{0}, failed{0}, dropped{0};
    std::atomic<std::size_t> held{0}; // questions in the worker's table, for the bound at intake
};

Worker& TheWorker()
{
    static auto* worker = new Worker();
    return *worker;
}

void Close(Connection& c)
{
    if (c.fd >= 0)
        close(c.fd);
    c.fd = -1;
    c.phase = Phase::Done;
}

void Fail(Connection& c)
{
    Close(c);
    TheWorker().failed.fetch_add(1, std::memory_order_relaxed);
}

void Open(Connection& c)
{
    c.fd = socket(c.q.peer.Family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.fd < 0) {
        Fail(c);
        return;
    }
    c.frame[0] = static_cast<std::uint8_t>(c.q.length >> 8);
    c.frame[1] = static_cast<std::uint8_t>(c.q.length);
    std::memcpy(c.frame + 2, c.q.query, c.q.length);
    c.frameLength = std::size_t{2} + c.q.length;
    c.done = 0;
    if (connect(c.fd, c.q.peer.Address(), c.q.peer.Length()) == 0)
        c.phase = Phase::Sending;
    else if (errno == EINPROGRESS)
        c.phase = Phase::Connecting;
    else
        Fail(c);
}

void Deliver(Connection& c)
{
    PeerAddress from{};
    socklen_t len = sizeof from;
    if (getpeername(c.fd, from.Address(), &len) != 0)
        from = c.q.peer;
    const ReplyOutcome outcome = ProcessTcpReply(c.q, c.reply.body, from);
    if (outcome.verdict == ReplyVerdict::NoRequest)
        return;
    TheWorker().answered.fetch_add(1, std::memory_order_relaxed);
    if (!outcome.deliver)
        return;
    GetUiChannel().Send(Engine().resultWindow.load(), DnsResultMessage(outcome.itemSlot, outcome.code));
}

// Moves the connection on as far as the socket allows without waiting.
void Advance(Connection& c, short revents)
{
    if (c.phase == Phase::Connecting) {
        int error = 0;
        socklen_t len = sizeof error;
        if (getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
            return Fail(c);
        if ((revents & POLLOUT) == 0)
            return;
        c.phase = Phase::Sending;
    }
    if (c.phase == Phase::Sending) {
        while (c.done < c.frameLength) {
            const ssize_t n = send(c.fd, c.frame + c.done, c.frameLength - c.done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0)
                return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? void() : Fail(c);
            c.done += static_cast<std::size_t>(n);
        }
        c.phase = Phase::Reading;
    }
    std::uint8_t chunk[4096];
    while (c.phase == Phase::Reading) {
        const ssize_t n = recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0)
            return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? void() : Fail(c);
        if (n == 0)
            return Fail(c); // closed before the whole message came
        std::size_t used = 0;
        switch (FeedFrame(c.reply, std::span<const std::uint8_t>(chunk, static_cast<std::size_t>(n)), used)) {
        case FrameStatus::Partial:
            break;
        case FrameStatus::Invalid:
            return Fail(c);
        case FrameStatus::Complete:
            // One question per connection: whatever follows the message is not read.
            Deliver(c);
            Close(c);
            return;
        }
    }
}

short Interest(const Connection& c)
{
    switch (c.phase) {
    case Phase::Connecting:
    case Phase::Sending:
        return POLLOUT;
    case Phase::Reading:
        return POLLIN;
    default:
        return 0;
    }
}

bool IsOpen(const Connection& c) { return c.phase != Phase::Waiting && c.phase != Phase::Done; }

// Opens waiting questions, oldest first, while the bounds allow.
void Admit(std::vector<Connection>& table)
{
    std::size_t open = static_cast<std::size_t>(std::count_if(table.begin(), table.end(),
                                                              [](const Connection& c) { return IsOpen(c); }));
    for (Connection& c : table) {
        if (open >= kMaxTcpConnections)
            return;
        if (c.phase != Phase::Waiting)
            continue;
        const auto toServer = std::count_if(table.begin(), table.end(), [&](const Connection& o) {
            return IsOpen(o) && o.q.peer == c.q.peer;
        });
        if (static_cast<std::size_t>(toServer) >= kMaxTcpPerServer)
            continue;
        Open(c);
        if (IsOpen(c))
            ++open;
    }
}

void WorkerLoop()
{
    Worker& w = TheWorker();
    std::vector<Connection> table;
    table.reserve(kMaxTcpQuestions);
    std::vector<pollfd> fds;
    std::vector<std::size_t> owner;
    for (;;) {
        {
            std::lock_guard lock(w.mutex);
            if (w.stopping)
                break;
            for (const TcpQuery& q : w.inbox) {
                table.emplace_back();
                table.back().q = q;
            }
            w.inbox.clear();
        }
        const std::uint32_t now = TickCount();
        for (Connection& c : table)
            if (c.phase != Phase::Done && Past(c.q.deadline, now))
                Fail(c); // the request is timed out by the scheduler at the same moment
        table.erase(std::remove_if(table.begin(), table.end(), [](const Connection& c) { return c.phase == Phase::Done; }),
                    table.end());
        w.held.store(table.size());
        Admit(table);

        fds.assign(1, pollfd{w.wake.Fd(), POLLIN, 0});
        owner.assign(1, 0);
        int wait = table.empty() ? -1 : kMaxPollMs;
        for (std::size_t i = 0; i < table.size(); ++i) {
            const Connection& c = table[i];
            if (c.phase == Phase::Done)
                continue;
            const auto left = static_cast<std::int32_t>(c.q.deadline - now);
            wait = std::clamp(left, 1, wait);
            if (IsOpen(c)) {
                fds.push_back(pollfd{c.fd, Interest(c), 0});
                owner.push_back(i);
            }
        }
        if (poll(fds.data(), fds.size(), wait) < 0 && errno != EINTR)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if ((fds[0].revents & POLLIN) != 0)
            w.wake.Clear();
        for (std::size_t k = 1; k < fds.size(); ++k)
            if (fds[k].revents != 0)
                Advance(table[owner[k]], fds[k].revents);
    }
    for (Connection& c : table)
        Close(c);
    w.held.store(0);
}

} // namespace

FrameStatus FeedFrame(TcpFrame& frame, std::span<const std::uint8_t> bytes, std::size_t& used)
{
    used = 0;
    while (frame.got < 2) {
        if (used == bytes.size())
            return FrameStatus::Partial;
        frame.prefix[frame.got++] = bytes[used++];
        if (frame.got == 2) {
            const std::size_t length = (std::size_t{frame.prefix[0]} << 8) | frame.prefix[1];
            if (length < kDnsHeaderSize)
                return FrameStatus::Invalid; // not even a header
            frame.body.clear();
            frame.body.reserve(length);
            frame.expected = length;
        }
    }
    const std::size_t take = std::min(frame.expected - frame.body.size(), bytes.size() - used);
    frame.body.insert(frame.body.end(), bytes.begin() + static_cast<std::ptrdiff_t>(used),
                      bytes.begin() + static_cast<std::ptrdiff_t>(used + take));
    used += take;
    return frame.body.size() == frame.expected ? FrameStatus::Complete : FrameStatus::Partial;
}

ReplyOutcome ProcessTcpReply(const TcpQuery& query, std::span<const std::uint8_t> message, const PeerAddress& from)
{
    const LockedRequests requests = LockRequests();
    if (query.slot >= kRequestSlots) {
        ReplyOutcome none;
        none.verdict = ReplyVerdict::NoRequest;
        return none;
    }
    const RequestSlot& slot = requests[query.slot];
    if (slot.sendTime != query.sendTime || slot.expiry == 0 || slot.itemSlot != query.itemSlot) {
        ReplyOutcome none;
        none.verdict = ReplyVerdict::NoRequest;
        return none;
    }
    return ProcessReply(message, from, TickCount(), true, MonotonicNs());
}

bool AskOverTcp(std::uint32_t slot)
{
    if (slot >= kRequestSlots)
        return false;
    const RequestSlot& s = LockRequests()[slot];
    const std::span<const std::uint8_t> bytes = PreparedQuery(slot);
    if (bytes.size() < kDnsHeaderSize || bytes.size() > kMaxQueryBytes)
        return false;
    TcpQuery q;
    q.slot = slot;
    q.itemSlot = s.itemSlot;
    q.sendTime = s.sendTime;
    q.deadline = s.expiry;
    q.peer = s.destination;
    q.length = static_cast<std::uint16_t>(bytes.size());
    std::memcpy(q.query, bytes.data(), bytes.size());
    return StartTcpQuery(q);
}

void SetTcpQueryHook(TcpQueryHook hook) { g_hook.store(hook); }

bool StartTcpQuery(const TcpQuery& query)
{
    if (TcpQueryHook hook = g_hook.load())
        return hook(query);
    Worker& w = TheWorker();
    std::lock_guard lock(w.mutex);
    if (Engine().exitFlag.load() != 0 || w.stopping)
        return false;
    if (w.inbox.size() + w.held.load() >= kMaxTcpQuestions || query.length > kMaxQueryBytes) {
        w.dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (!w.running) {
        if (!w.wake.Open())
            return false;
        w.thread = std::thread([] {
            pthread_setname_np(pthread_self(), "tcp queries");
            WorkerLoop();
        });
        w.running = true;
    }
    w.inbox.push_back(query);
    w.queued.fetch_add(1, std::memory_order_relaxed);
    w.wake.Set();
    return true;
}

void StopTcpQueries()
{
    Worker& w = TheWorker();
    std::thread thread;
    {
        std::lock_guard lock(w.mutex);
        if (!w.running)
            return;
        w.stopping = true;
        thread = std::move(w.thread);
        w.wake.Set();
    }
    thread.join();
    std::lock_guard lock(w.mutex);
    w.inbox.clear();
    w.running = false;
    w.stopping = false;
}

TcpCounters GetTcpCounters()
{
    Worker& w = TheWorker();
    TcpCounters c;
    c.queued = w.queued.load();
    c.answered = w.answered.load();
    c.failed = w.failed.load();
    c.dropped = w.dropped.load();
    return c;
}

} // namespace varnell
