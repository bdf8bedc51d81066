#include "probe/receiver.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "base/tick.h"
#include "base/ui_channel.h"
#include "base/wake_event.h"
#include "probe/engine.h"
#include "probe/engine_threads.h"
#include "probe/reply_parser.h"
#include "probe/request_table.h"

namespace varnell {

namespace {

// Who touches what: the reader thread fills the queue and raises the waiting
// count of a datagram's identifier before publishing it; the receiver lowers it
// after processing; the scheduler's timeout scan only reads it.
ReplyQueue& Queue()
{
    static ReplyQueue* queue = new ReplyQueue();
    return *queue;
}

std::array<std::atomic<std::uint32_t>, 65536>& Waiting()
{
    static auto* waiting = new std::array<std::atomic<std::uint32_t>, 65536>();
    return *waiting;
}

// Set at exit: the reader waits for datagrams and for it in one poll.
WakeFd& ReaderWake()
{
    static auto* wake = new WakeFd();
    return *wake;
}

std::atomic<ReceiveHook> g_receiveHook{nullptr};
std::atomic<std::uint64_t> g_datagrams{0};
std::atomic<std::uint64_t> g_delivered{0};
std::atomic<std::uint64_t> g_handOvers{0};
std::atomic<std::uint64_t> g_errors{0};

constexpr int kPollMs = 250;        // the longest wait for room in the queue, or for a datagram without a wake
constexpr int kNapMs = 20;          // the reader's pause after a turn that took datagrams
constexpr int kHandOverMs = 100;     // results go to the user-interface thread this often, in one batch
constexpr int kErrorPauseMs = 20;   // between two failed receives in a row

int IdOf(std::span<const std::uint8_t> datagram)
{
    if (datagram.size() < 2)
        return -1;
    return datagram[0] | (datagram[1] << 8); // the identifier goes out low byte first
}

// The item a reply is for, by its identifier's request slot; kItemSlots when
// none.
std::uint32_t ItemOfReply(std::span<const std::uint8_t> datagram)
{
    const int id = IdOf(datagram);
    if (id < 0)
        return kItemSlots;
    const LockedRequests requests = LockRequests();
    const int s = SlotOfIdentifier(static_cast<std::uint16_t>(id));
    if (s < 0)
        return kItemSlots;
    const RequestSlot& slot = requests[static_cast<std::uint32_t>(s)];
    return slot.sendTime != 0 ? slot.itemSlot : kItemSlots;
}

void ReportReceiveError(int error)
{
    char text[64];
    std::snprintf(text, sizeof text, "WSA IO error code is %d", error);
    ReportEngineMessage(text);
}

// One probe socket as the reader serves it.
struct ReadSocket {
    int fd = -1;
    bool open = false;
    int streak = 0; // failed receives in a row
};

enum class Drained {
    Empty,  // nothing more there for now
    Full,   // the ring has no room
    More,   // a turn's worth taken, or a receive failed: served again before any wait
    Gone,   // never opened, or closed: nothing more will arrive
};

// Datagrams taken from one socket per turn, so a flood on one family cannot
// keep the other's replies waiting in their socket; one recvmmsg takes them.
constexpr unsigned kTurn = 32;

// Where one recvmmsg puts a turn's datagrams, their senders and their kernel
// stamps, before each is copied into the ring (which cannot lend a turn's worth
// of records of unknown lengths at once). Only the pages a datagram reaches are
// ever touched.
struct Staging {
    static constexpr std::size_t kControl = CMSG_SPACE(sizeof(timespec));
    std::array<std::array<std::uint8_t, ReplyQueue::kMaxDatagram>, kTurn> bytes;
    std::array<PeerAddress, kTurn> from;
    std::array<iovec, kTurn> vectors;
    std::array<mmsghdr, kTurn> headers;
    alignas(cmsghdr) std::array<std::array<std::uint8_t, kControl>, kTurn> control;
};

// The kernel's receive stamp of one received message, on the monotonic clock;
// 0 when it carries none.
std::uint64_t StampOf(msghdr& message, std::int64_t monotonicMinusWall)
{
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS || c->cmsg_len < CMSG_LEN(sizeof(timespec)))
            continue;
        timespec wall{};
        std::memcpy(&wall, CMSG_DATA(c), sizeof wall);
        const std::int64_t ns = static_cast<std::int64_t>(wall.tv_sec) * 1000000000 + wall.tv_nsec + monotonicMinusWall;
        return ns > 0 ? static_cast<std::uint64_t>(ns) : 0;
    }
    return 0;
}

// Takes up to count datagrams (recvmmsg, or the test hook one at a time) into
// staging; the result is recvmmsg's: how many, or -1 with errno.
int ReceiveTurn(int fd, Staging& staging, unsigned count)
{
    if (ReceiveHook hook = g_receiveHook.load()) {
        const ssize_t n = hook(fd, staging.bytes[0].data(), ReplyQueue::kMaxDatagram, staging.from[0]);
        if (n < 0)
            return -1;
        staging.headers[0].msg_len = static_cast<unsigned>(n);
        staging.headers[0].msg_hdr.msg_controllen = 0;
        return 1;
    }
    for (unsigned i = 0; i < count; ++i) {
        staging.vectors[i] = iovec{staging.bytes[i].data(), ReplyQueue::kMaxDatagram};
        msghdr& m = staging.headers[i].msg_hdr;
        m = msghdr{};
        m.msg_name = staging.from[i].Address();
        m.msg_namelen = sizeof(PeerAddress);
        m.msg_iov = &staging.vectors[i];
        m.msg_iovlen = 1;
        m.msg_control = staging.control[i].data();
        m.msg_controllen = Staging::kControl;
    }
    return recvmmsg(fd, staging.headers.data(), count, MSG_DONTWAIT, nullptr);
}

// Moves what one socket holds into the ring, up to a turn's worth.
//
// A failed receive does not end the socket's service: the refused-port report
// of an earlier query, a signal or a short-lived lack of kernel memory says
// nothing about the replies still to come, and a receiver that stopped would
// turn every later probe into a timeout without a word. Such errors are
// reported (paced) and receiving goes on.
Drained DrainSocket(ReadSocket& socket, ReplyQueue& queue, ErrorPacer& pacer, Staging& staging)
{
    if (Engine().exitFlag.load() != 0)
        return Drained::More;
    // Room first: what recvmmsg takes off the socket must fit in the ring.
    if (!queue.HasRoomFor(kTurn))
        return Drained::Full;
    const int n = ReceiveTurn(socket.fd, staging, kTurn);
    if (n < 0) {
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK)
            return Drained::Empty;
        g_errors.fetch_add(1, std::memory_order_relaxed);
        if (error == EBADF || error == ENOTSOCK) {
            if (Engine().exitFlag.load() == 0)
                ReportReceiveError(error);
            return Drained::Gone;
        }
        if (pacer.ShouldReport(error, TickCount()))
            ReportReceiveError(error);
        if (++socket.streak > 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(kErrorPauseMs));
        return Drained::More;
    }
    socket.streak = 0;
    // One reading of the clocks serves the turn: its datagrams' stamps are
    // moments old. The tick of a datagram is when the kernel took it in, so a
    // reply read late is judged by when it came, like its round trip.
    const std::int64_t offset = MonotonicMinusWallNs();
    const std::uint64_t nowNs = MonotonicNs();
    const std::uint32_t nowTick = TickCount();
    for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
        mmsghdr& received = staging.headers[i];
        std::uint8_t* space = queue.WriteSpace(); // never nullptr: the room was there and only this thread writes
        const auto length = std::min<std::size_t>(received.msg_len, ReplyQueue::kMaxDatagram);
        std::memcpy(space, staging.bytes[i].data(), length);
        const std::uint64_t stamp = StampOf(received.msg_hdr, offset);
        const std::uint32_t age = stamp != 0 && stamp < nowNs ? static_cast<std::uint32_t>((nowNs - stamp) / 1000000) : 0;
        const int id = IdOf(std::span<const std::uint8_t>(space, length));
        if (id >= 0)
            Waiting()[static_cast<std::size_t>(id)].fetch_add(1);
        queue.Commit(length, staging.from[i], nowTick - age, stamp);
        g_datagrams.fetch_add(1, std::memory_order_relaxed);
    }
    // The test hook hands over one datagram a call: ask again until it has none.
    return static_cast<unsigned>(n) == kTurn || g_receiveHook.load() != nullptr ? Drained::More : Drained::Empty;
}

// Waits until one of the open sockets is readable or the exit wake is set; a
// socket shut down at exit (hang-up) or closed under us (invalid) is no longer
// open afterwards.
void WaitReadable(std::array<ReadSocket, 2>& sockets)
{
    const WakeFd& wake = ReaderWake();
    pollfd polled[3] = {pollfd{wake.Fd(), POLLIN, 0}};
    ReadSocket* of[3] = {};
    nfds_t n = 1;
    for (ReadSocket& s : sockets) {
        if (s.open) {
            polled[n] = pollfd{s.fd, POLLIN, 0};
            of[n++] = &s;
        }
    }
    if (poll(polled, n, wake.IsOpen() ? -1 : kPollMs) <= 0)
        return;
    if ((polled[0].revents & POLLIN) != 0)
        wake.Clear();
    for (nfds_t i = 1; i < n; ++i)
        if ((polled[i].revents & (POLLHUP | POLLNVAL)) != 0)
            of[i]->open = false;
}

// Lets replies gather after a turn that took some: their kernel stamps keep
// every round trip exact, and one wake-up then takes what a whole nap brought
// instead of two or three. The exit wake ends the nap; a pass held back by its
// window does not wait for it (DrainProbeSockets).
void Nap()
{
    const WakeFd& wake = ReaderWake();
    if (!wake.IsOpen()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kNapMs));
        return;
    }
    pollfd p{wake.Fd(), POLLIN, 0};
    if (poll(&p, 1, kNapMs) > 0 && (p.revents & POLLIN) != 0)
        wake.Clear();
}

// The reader's side of the sockets, shared with a pass that drains them itself
// while it waits for room in its window (DrainProbeSockets): whoever holds the
// mutex is the ring's one producer. Static, like the ring: a pass may ask
// while the receiver stops or starts.
struct Draining {
    std::mutex mutex;
    std::array<ReadSocket, 2> sockets{};
    ErrorPacer pacer;
    std::unique_ptr<Staging> staging;
    bool running = false;
};

Draining& Drainer()
{
    static auto* draining = new Draining();
    return *draining;
}

struct Turn {
    bool full = false;  // the ring had no room
    bool quiet = true;  // every socket was found empty
    bool open = false;  // a socket is still served
};

// One turn on each open socket. Under the drain mutex.
Turn DrainTurnLocked(Draining& d, ReplyQueue& queue)
{
    Turn t;
    for (ReadSocket& s : d.sockets) {
        if (!s.open)
            continue;
        switch (DrainSocket(s, queue, d.pacer, *d.staging)) {
        case Drained::Empty: break;
        case Drained::Full: t.full = true; t.quiet = false; break;
        case Drained::More: t.quiet = false; break;
        case Drained::Gone: s.open = false; break;
        }
        t.open = t.open || s.open;
    }
    return t;
}

// Moves datagrams from the probe sockets into the queue until the exit flag is
// set or every socket is shut down or gone.
void ReaderLoop(int fd4, int fd6)
{
    EngineState& engine = Engine();
    ReplyQueue& queue = Queue();
    Draining& d = Drainer();
    {
        std::lock_guard lock(d.mutex);
        // The IPv4 socket is served even when missing, so that is reported; a
        // missing IPv6 socket is a machine without IPv6, which is no error.
        d.sockets = {ReadSocket{fd4, true, 0}, ReadSocket{fd6, fd6 >= 0, 0}};
        d.pacer = ErrorPacer{};
        if (!d.staging)
            d.staging = std::make_unique<Staging>();
        d.running = true;
    }
    bool tookSinceWait = false;
    while (engine.exitFlag.load() == 0) {
        Turn t;
        std::array<ReadSocket, 2> polled;
        const std::uint64_t before = g_datagrams.load();
        {
            std::lock_guard lock(d.mutex);
            t = DrainTurnLocked(d, queue);
            polled = d.sockets;
        }
        if (!t.open)
            break;
        // A pass that drained meanwhile counts too: what it left is what a nap gathers.
        tookSinceWait = tookSinceWait || g_datagrams.load() != before;
        if (t.full) {
            queue.WaitForSpace(kPollMs, kTurn); // the sockets' own buffers hold what comes meanwhile
        } else if (t.quiet && tookSinceWait) {
            tookSinceWait = false;
            Nap();
        } else if (t.quiet) {
            WaitReadable(polled);
            std::lock_guard lock(d.mutex);
            for (std::size_t i = 0; i < polled.size(); ++i)
                d.sockets[i].open = d.sockets[i].open && polled[i].open;
        }
    }
    {
        std::lock_guard lock(d.mutex);
        d.running = false;
    }
    queue.Stop();
}

} // namespace

bool ErrorPacer::ShouldReport(int errorCode, std::uint32_t now)
{
    int oldest = 0;
    for (int i = 0; i < kCodes; ++i) {
        if (used[i] && code[i] == errorCode) {
            if (now - last[i] < kInterval)
                return false;
            last[i] = now;
            return true;
        }
        if (!used[i] || (used[oldest] && now - last[i] > now - last[oldest]))
            oldest = i;
    }
    used[oldest] = true;
    code[oldest] = errorCode;
    last[oldest] = now;
    return true;
}

bool ReplyWaiting(std::uint32_t id)
{
    return id < Waiting().size() && Waiting()[id].load() != 0;
}

int ReceiverLoop()
{
    EngineState& engine = Engine();
    ReplyQueue& queue = Queue();
    queue.Reset();
    for (auto& w : Waiting())
        w.store(0);
    const int fd4 = engine.probeSocket.load();
    const int fd6 = engine.probeSocket6.load();
    std::thread reader([fd4, fd6] {
        pthread_setname_np(pthread_self(), "reply reader");
        ReaderLoop(fd4, fd6);
    });

    std::vector<WindowMessage> batch;
    std::vector<bool> inBatch(kItemSlots, false);
    const auto handOver = [&] {
        if (batch.empty())
            return;
        const auto results = batch.size();
        for (const WindowMessage& m : batch) // before SendAll, which may take the messages
            if (m.wparam < kItemSlots)
                inBatch[m.wparam] = false;
        // Synchronous: the next batch is processed only after these results have
        // been evaluated, in arrival order.
        GetUiChannel().SendAll(engine.resultWindow.load(), batch);
        g_delivered.fetch_add(results, std::memory_order_relaxed);
        g_handOvers.fetch_add(1, std::memory_order_relaxed);
        batch.clear();
    };
    while (engine.exitFlag.load() == 0) {
        QueuedReply reply;
        if (!queue.WaitFront(reply, kPollMs)) {
            if (queue.Stopped())
                break;
            continue;
        }
        // Replies are processed as they come and their results handed over once
        // per kHandOverMs, in one go: the user-interface thread, and this one,
        // wake a few times a second whatever the rate of replies. The kernel
        // stamped each reply's arrival, so waiting here changes no round trip.
        const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHandOverMs);
        bool paused = false;
        while (engine.exitFlag.load() == 0) {
            const std::uint32_t item = ItemOfReply(reply.bytes);
            if (item < kItemSlots && inBatch[item])
                handOver(); // its reply data is about to be replaced: the result goes first
            ReplyOutcome outcome = ProcessReply(reply.bytes, reply.from, reply.received, false, reply.receivedNs);
            const int id = IdOf(reply.bytes);
            if (!outcome.deliver && id >= 0)
                outcome = EndIfTimedOut(static_cast<std::uint16_t>(id), TickCount());
            queue.Pop();
            // Only now, with the request answered under the engine lock, may the
            // timeout scan look at this identifier again.
            if (id >= 0)
                Waiting()[static_cast<std::size_t>(id)].fetch_sub(1);
            if (outcome.deliver) {
                if (outcome.itemSlot < kItemSlots && inBatch[outcome.itemSlot])
                    handOver();
                batch.push_back(DnsResultMessage(outcome.itemSlot, outcome.code));
                if (outcome.itemSlot < kItemSlots)
                    inBatch[outcome.itemSlot] = true;
            }
            const bool more = queue.WaitFront(reply, 0);
            const auto now = std::chrono::steady_clock::now();
            if (more) {
                // On time: what is still queued starts the next batch. After the
                // rest, what came during it joins this one, within a bound.
                if (now >= due + (paused ? std::chrono::milliseconds(kHandOverMs) : std::chrono::milliseconds(0)))
                    break;
                continue;
            }
            if (batch.empty() || paused || now >= due)
                break;
            // Nothing queued: rest until the hand-over without waking for each
            // datagram the reader publishes, then take what came meanwhile.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
            if (!queue.Pause(static_cast<std::uint32_t>(left)))
                break;
            paused = true;
            if (!queue.WaitFront(reply, 0))
                break;
        }
        handOver();
    }
    queue.Stop(); // a reader waiting for room ends too
    reader.join();
    return 0;
}

void WakeReceiver()
{
    if (ReaderWake().IsOpen())
        ReaderWake().Set();
}

void StartReceiver()
{
    // Opened here, before the thread, as the stopping thread reads it. Without
    // a wake the reader looks at the exit flag every kPollMs instead.
    if (ReaderWake().Open())
        ReaderWake().Clear(); // a wake left by an earlier stop
    Engine().receiver = LaunchEngineThread(kReceiverThread, [] {
        pthread_setname_np(pthread_self(), "receiver");
        return ReceiverLoop();
    });
}

std::uint64_t DatagramsRead() { return g_datagrams.load(std::memory_order_relaxed); }

std::size_t DrainProbeSockets(bool whole)
{
    Draining& d = Drainer();
    std::unique_lock lock(d.mutex, std::defer_lock);
    if (whole)
        lock.lock(); // a turn of the reader's in progress ends first: its datagrams are then queued
    else if (!lock.try_lock())
        return 0; // the reader is at it
    if (!d.running)
        return 0;
    const std::uint64_t before = g_datagrams.load();
    // A socket holds about 512 small datagrams: 16 turns of 32.
    for (int turn = 0; turn < (whole ? 16 : 1); ++turn) {
        const Turn t = DrainTurnLocked(d, Queue());
        if (t.quiet || t.full)
            break;
    }
    return static_cast<std::size_t>(g_datagrams.load() - before);
}

ReceiverCounters GetReceiverCounters()
{
    ReceiverCounters c;
    c.datagrams = g_datagrams.load();
    c.delivered = g_delivered.load();
    c.handOvers = g_handOvers.load();
    c.errors = g_errors.load();
    c.queue = Queue().Counters();
    return c;
}

void SetReceiveHook(ReceiveHook hook) { g_receiveHook.store(hook); }

} // namespace varnell
