#include "probe/receiver.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

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
std::atomic<std::uint64_t> g_errors{0};

constexpr int kPollMs = 250;        // the longest wait for room in the queue, or for a datagram without a wake
constexpr std::size_t kMaxBatch = 64; // results handed to the user-interface thread at once
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

// A batch holds at most one result per item: evaluating a result reads the
// item's reply data, which a later reply of the same item would have replaced.
bool ItemInBatch(const std::vector<WindowMessage>& batch, std::uint32_t itemSlot)
{
    for (const WindowMessage& m : batch)
        if (m.wparam == itemSlot)
            return true;
    return false;
}

void ReportReceiveError(int error)
{
    char text[64];
    std::snprintf(text, sizeof text, "WSA IO error code is %d", error);
    ReportEngineMessage(text);
}

ssize_t Receive(int fd, std::uint8_t* buffer, std::size_t size, PeerAddress& from)
{
    if (ReceiveHook hook = g_receiveHook.load())
        return hook(fd, buffer, size, from);
    socklen_t length = sizeof from;
    return recvfrom(fd, buffer, size, MSG_DONTWAIT, from.Address(), &length);
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
// keep the other's replies waiting in their socket.
constexpr int kTurn = 64;

// Moves what one socket holds into the ring, up to a turn's worth.
//
// A failed receive does not end the socket's service: the refused-port report
// of an earlier query, a signal or a short-lived lack of kernel memory says
// nothing about the replies still to come, and a receiver that stopped would
// turn every later probe into a timeout without a word. Such errors are
// reported (paced) and receiving goes on.
Drained DrainSocket(ReadSocket& socket, ReplyQueue& queue, ErrorPacer& pacer)
{
    for (int taken = 0; taken < kTurn && Engine().exitFlag.load() == 0; ++taken) {
        std::uint8_t* space = queue.WriteSpace();
        if (space == nullptr)
            return Drained::Full;
        PeerAddress from{};
        const ssize_t n = Receive(socket.fd, space, ReplyQueue::kMaxDatagram, from);
        if (n >= 0) {
            socket.streak = 0;
            const auto length = static_cast<std::size_t>(n);
            const int id = IdOf(std::span<const std::uint8_t>(space, length));
            if (id >= 0)
                Waiting()[static_cast<std::size_t>(id)].fetch_add(1);
            queue.Commit(length, from, TickCount());
            g_datagrams.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
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
    return Drained::More;
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

// Moves datagrams from the probe sockets into the queue until the exit flag is
// set or every socket is shut down or gone. One thread serves both, so the ring
// keeps its single producer.
void ReaderLoop(int fd4, int fd6)
{
    EngineState& engine = Engine();
    ReplyQueue& queue = Queue();
    ErrorPacer pacer;
    // The IPv4 socket is served even when missing, so that is reported; a
    // missing IPv6 socket is a machine without IPv6, which is no error.
    std::array<ReadSocket, 2> sockets{ReadSocket{fd4, true, 0}, ReadSocket{fd6, fd6 >= 0, 0}};
    while (engine.exitFlag.load() == 0) {
        bool full = false, quiet = true, open = false;
        for (ReadSocket& s : sockets) {
            if (!s.open)
                continue;
            switch (DrainSocket(s, queue, pacer)) {
            case Drained::Empty: break;
            case Drained::Full: full = true; quiet = false; break;
            case Drained::More: quiet = false; break;
            case Drained::Gone: s.open = false; break;
            }
            open = open || s.open;
        }
        if (!open)
            break;
        if (full)
            queue.WaitForSpace(kPollMs); // the sockets' own buffers hold what comes meanwhile
        else if (quiet)
            WaitReadable(sockets);
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
    while (engine.exitFlag.load() == 0) {
        QueuedReply reply;
        if (!queue.WaitFront(reply, kPollMs)) {
            if (queue.Stopped())
                break;
            continue;
        }
        // What the queue holds is processed as one batch and its results handed
        // over in one go: a wake-up of the user-interface thread, and of this
        // one, per batch rather than per reply.
        batch.clear();
        do {
            if (!batch.empty() && ItemInBatch(batch, ItemOfReply(reply.bytes)))
                break; // stays queued: the next batch takes it
            ReplyOutcome outcome = ProcessReply(reply.bytes, reply.from, reply.received);
            const int id = IdOf(reply.bytes);
            if (!outcome.deliver && id >= 0)
                outcome = EndIfTimedOut(static_cast<std::uint16_t>(id), TickCount());
            queue.Pop();
            // Only now, with the request answered under the engine lock, may the
            // timeout scan look at this identifier again.
            if (id >= 0)
                Waiting()[static_cast<std::size_t>(id)].fetch_sub(1);
            if (!outcome.deliver)
                continue;
            batch.push_back(DnsResultMessage(outcome.itemSlot, outcome.code));
        } while (batch.size() < kMaxBatch && engine.exitFlag.load() == 0 && queue.WaitFront(reply, 0));
        if (batch.empty())
            continue;
        const auto results = batch.size();
        // Synchronous: the next batch is processed only after these results have
        // been evaluated, in arrival order.
        GetUiChannel().SendAll(engine.resultWindow.load(), batch);
        g_delivered.fetch_add(results, std::memory_order_relaxed);
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

ReceiverCounters GetReceiverCounters()
{
    ReceiverCounters c;
    c.datagrams = g_datagrams.load();
    c.delivered = g_delivered.load();
    c.errors = g_errors.load();
    c.queue = Queue().Counters();
    return c;
}

void SetReceiveHook(ReceiveHook hook) { g_receiveHook.store(hook); }

} // namespace varnell
