#include "probe/scheduler.h"

#include <algorithm>
#include <array>
#include <arpa/inet.h>
#include <chrono>
#include <mutex>
#include <pthread.h>
#include <thread>

#include "base/ui_channel.h"
#include "items/address6.h"
#include "items/result_eval.h"
#include "probe/engine.h"
#include "probe/engine_threads.h"
#include "probe/probe_socket.h"
#include "probe/receiver.h"
#include "probe/reply_parser.h"
#include "probe/request_table.h"
#include "probe/transport_probe.h"
#include "items/transport_state.h"

namespace varnell {

namespace {

void PostResult(std::uint32_t itemSlot, int code)
{
    GetUiChannel().Post(Engine().resultWindow.load(), DnsResultMessage(itemSlot, code));
}

// Ends one request whose time is up (lock held).
void ExpireSlot(ItemTable& items, RequestSlot& slot, std::uint32_t now)
{
    if (slot.itemSlot >= kItemSlots) {
        ReleaseRequestSlot(slot);
        return;
    }
    // The transport answers its queries itself, at their time-out at the
    // latest; one it lost (stopped, its inbox full) ends here, a grace later.
    if (SentOverTransport(slot) && !TickReached(now, slot.expiry + kTransportGraceMs))
        return;
    const std::uint32_t itemSlot = slot.itemSlot;
    DnsItem& item = items.items[itemSlot];

    // Never taken with the limit of 1 every item has, but kept for the send limit
    // the record carries.
    if (++slot.transmissions < slot.limit && slot.query != nullptr &&
        SendQueryBytes(slot.query, slot.queryLength, slot.destination) > 0) {
        ++slot.transmissions;
        ArmRequestSlot(slot, now, item.timeout);
        return;
    }
    // The slot answers nothing from now on: a reply that comes after all is
    // dropped, never taken for the request that has the slot next.
    const int code = EndUnanswered(items, slot, now);
    if (code >= 0)
        PostResult(itemSlot, code);
}

// Flow control of a pass: a window of queries whose replies have not been read
// from the probe socket yet, sized to half of what the socket holds, and no send
// while the socket's backlog is over half of what it holds.
//
// Why: a pass over a few thousand items against a nearby server brings all the
// replies back within milliseconds, and an unprivileged socket holds only about
// 500 small datagrams (net.core.rmem_max, commonly 212992, doubled). On a busy
// machine the thread that drains the socket may not get a processor before that
// fills, and every datagram dropped there becomes a timeout: a healthy item shown
// down. Holding the pass back until the replies have been read (by the pass
// itself, while the reader pauses) costs a few short sleeps per pass. Replies that do not come must not stall the pass: queries of
// items in failing mode (their server did not answer last time) are not counted;
// when nothing at all arrives for kStall while the socket is nearly empty, half a
// window is written off (a server that has just gone silent, or one that has not
// had a processor for that long: writing off only half keeps the burst it may
// still send within what the socket holds).
//
// Pace is called only right before a group of sends and waits at most once per
// group, and all its waits in one pass add up to at most kPassBudget: a socket
// that stays crowded (a reader that has stopped, a ring that is full) must not
// hold the pass, and with it the timeout scan and the next pass, for more than
// that. A group is at most what the window has room for (Room), and at most
// kGroup, so the backlog is looked at before every kGroup sends at the latest.
class ReplyWindow {
public:
    static constexpr std::uint64_t kMaxWindow = 256;
    static constexpr std::uint64_t kMinWindow = 32;
    static constexpr std::uint32_t kChargePerReply = 1664; // what the kernel charges a small reply, doubled
    static constexpr auto kStall = std::chrono::milliseconds(50);
    static constexpr auto kPassBudget = std::chrono::milliseconds(1000);
    static constexpr std::uint64_t kGroup = 16;

    ReplyWindow() : mark_(DatagramsRead())
    {
        std::uint32_t queued = 0, capacity = 0;
        if (ProbeSocketBacklog(queued, capacity))
            window_ = std::clamp<std::uint64_t>(capacity / kChargePerReply, kMinWindow, kMaxWindow);
    }
    void Sent() { ++sent_; }
    // Called without the engine lock, right before a group of sends.
    void Pace()
    {
        if (pacedAtSend_ == sent_ || waited_ >= kPassBudget)
            return;
        if (InFlight() < window_ && !Crowded())
            return;
        pacedAtSend_ = sent_;
        std::uint64_t lastRead = DatagramsRead();
        const auto start = std::chrono::steady_clock::now();
        auto lastProgress = start;
        while ((InFlight() > window_ / 2 || Crowded()) && Engine().exitFlag.load() == 0) {
            // The reader may be pausing between turns: what has come is taken
            // here, and only when nothing has come is there a pause.
            if (DrainProbeSockets() == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            const std::uint64_t read = DatagramsRead();
            const auto now = std::chrono::steady_clock::now();
            if (read != lastRead) {
                lastRead = read;
                lastProgress = now;
            } else if (now - lastProgress >= kStall && !Crowded()) {
                writtenOff_ += window_ / 2;
                lastProgress = now;
            }
            if (waited_ + (now - start) >= kPassBudget) {
                writtenOff_ = sent_;
                mark_ = read;
                break;
            }
        }
        waited_ += std::chrono::steady_clock::now() - start;
    }

    // How many the group after Pace may send: what is left of the window.
    std::uint64_t Room() const
    {
        if (waited_ >= kPassBudget)
            return kGroup; // given up on pacing for this pass
        const std::uint64_t inFlight = InFlight();
        return inFlight < window_ ? std::min(window_ - inFlight, kGroup) : 1;
    }

private:
    std::uint64_t InFlight() const
    {
        const std::uint64_t answered = DatagramsRead() - mark_ + writtenOff_;
        return sent_ > answered ? sent_ - answered : 0;
    }
    static bool Crowded()
    {
        std::uint32_t queued = 0, capacity = 0;
        return ProbeSocketBacklog(queued, capacity) && queued > capacity / 2;
    }
    std::uint64_t window_ = kMaxWindow;
    std::uint64_t mark_;
    std::uint64_t sent_ = 0;
    std::uint64_t writtenOff_ = 0;
    std::uint64_t pacedAtSend_ = UINT64_MAX;
    std::chrono::steady_clock::duration waited_{};
};

// Due: its next-due time has been reached. A due time lies at most one interval
// ahead when it is set, so one further ahead than that is a time from before a
// long suspension (more than 24.8 days ago, the signed difference no longer
// tells): due as well.
bool ItemDue(const DnsItem& item, std::uint32_t now)
{
    return item.nextDue == 0 || TickReached(now, item.nextDue) || item.nextDue - now > item.interval;
}

bool Probeable(const DnsItem& item, std::uint32_t now)
{
    return (item.flags & kFlagProbeBlockMask) == 0 && ItemDue(item, now);
}

// The primary queries of one group of the pass, built under the engine lock and
// sent with one system call per socket.
struct ProbeGroup {
    std::array<OutgoingQuery, ReplyWindow::kGroup> queries;
    std::array<std::uint32_t, ReplyWindow::kGroup> items{};
    std::array<std::uint32_t, ReplyWindow::kGroup> slots{};
    std::size_t count = 0;
};

// Counts one probe of the item, sent or not, and sets its next due time (lock held).
void CountProbe(DnsItem& item, std::uint32_t now)
{
    ++BlockOf(item).sent;
    const std::uint32_t next = now + item.interval;
    item.nextDue = next != 0 ? next : 1; // 0 would mean "due now"
}

void SendFailed(ItemTable& items, std::uint32_t i)
{
    ++items.blocks[i].failed;
    // At shutdown the socket is shut down under a pass still running: that is
    // no failure to report.
    if (Engine().exitFlag.load() == 0)
        PostResult(i, kResultSendFailed); // the slot stays free
}

// Adds item i's primary query to the group (lock held). False when no request
// slot is free.
bool AddProbe(ItemTable& items, RequestSlots& requests, std::uint32_t i, std::uint32_t now, ProbeGroup& group)
{
    DnsItem& item = items.items[i];
    const int s = AllocRequestSlot();
    if (s < 0)
        return false;
    RequestSlot& slot = requests[static_cast<std::uint32_t>(s)];
    slot.destination = ServerPeer(item);
    slot.limit = item.flags & kFlagSendLimitMask;
    slot.queryTypeBE = htons(RecordQueryType(item.typeIndex));
    slot.itemSlot = i;
    item.requestId = static_cast<std::uint32_t>(s);
    const std::uint32_t length = BuildQuery(static_cast<std::uint32_t>(s), item, false, true);
    if (length == 0) {
        SendFailed(items, i);
        CountProbe(item, now);
        return true;
    }
    // Over TCP, TLS or HTTPS the query goes to the transport thread, which
    // answers it whatever becomes of it; it joins none of the datagrams.
    if (OverTransport(i)) {
        slot.flags |= kSlotTransport;
        if (SendOverTransport(item, static_cast<std::uint32_t>(s), slot, length)) {
            slot.transmissions = 1;
            slot.queryLength = length;
            RaiseOutstanding(item);
            ArmRequestSlot(slot, TickCount(), item.timeout, now);
        } else {
            ReleaseRequestSlot(slot);
            SendFailed(items, i);
        }
        CountProbe(item, now);
        return true;
    }
    // Held until the group is sent, so the next item gets a slot of its own;
    // nobody else sees it, the lock is held throughout.
    slot.expiry = 1;
    group.queries[group.count] = OutgoingQuery{slot.query, length, &slot.destination};
    group.items[group.count] = i;
    group.slots[group.count] = static_cast<std::uint32_t>(s);
    ++group.count;
    return true;
}

// Sends the group and arms the slots of what went out (lock held: a reply read
// meanwhile waits for its slot to be armed).
void SendGroup(ItemTable& items, RequestSlots& requests, ProbeGroup& group, std::uint32_t now,
               ReplyWindow& window)
{
    SendQueries(std::span<OutgoingQuery>(group.queries.data(), group.count));
    for (std::size_t k = 0; k < group.count; ++k) {
        const OutgoingQuery& q = group.queries[k];
        const std::uint32_t i = group.items[k];
        DnsItem& item = items.items[i];
        RequestSlot& slot = requests[group.slots[k]];
        slot.expiry = 0;
        if (q.sent == static_cast<ssize_t>(q.length)) {
            slot.transmissions = 1;
            slot.queryLength = static_cast<std::uint32_t>(q.length);
            RaiseOutstanding(item);
            // Stamped as the datagram left, not with the pass's start: a paced
            // pass lasts long enough to show in every round trip otherwise. Its
            // expiry is counted from the pass, so the pass one time-out later
            // ends it and probes the item again, as its interval allows.
            ArmRequestSlot(slot, q.sentTick, item.timeout, now, q.sentNs);
            if ((items.blocks[i].state & kStateFailing) == 0)
                window.Sent();
        } else {
            ReleaseRequestSlot(slot); // and its identifier
            SendFailed(items, i);
        }
        CountProbe(item, now);
    }
    group.count = 0;
}

} // namespace

std::uint32_t NextWait(std::uint32_t passStart, std::uint32_t passEnd)
{
    const std::uint32_t wait = passStart + kSchedulerPeriod - passEnd;
    if (wait > kSchedulerPeriod)
        return 500;
    if (wait < 100)
        return 200;
    return wait;
}

void ScanTimeouts(std::uint32_t now)
{
    // A reply that came in time may still lie in the socket while the reader
    // pauses between turns: taken into the ring first, it counts as waiting.
    DrainProbeSockets(true);
    const LockedItems items = LockItems();
    const LockedRequests requests = LockRequests();
    // Only the armed slots: a walk over all 65536 touches some 42 MB a second.
    ForEachArmedSlot(*requests, [now, &items](std::uint32_t, RequestSlot& slot) {
        if (!TickReached(now, slot.expiry))
            return;
        // A reply already read from the socket but still queued behind others is
        // not a timeout: the receiver will process it.
        if (ReplyWaiting(slot.identifier))
            return;
        ExpireSlot(*items, slot, now);
    });
}

std::uint32_t ProbePass(std::uint32_t now)
{
    // The lock is taken per group of items, not for the whole pass: the receiver
    // stores replies and the user-interface thread evaluates results between two
    // groups, so a pass over thousands of items stalls neither. An item and its
    // slot are still only changed under the lock, by one thread at a time.
    std::uint32_t due = 0;
    ReplyWindow window;
    ProbeGroup group;
    for (std::uint32_t i = 0; Engine().exitFlag.load() == 0;) {
        {
            const LockedItems items = LockItems();
            while (i < items->highWater && i < kItemSlots && !Probeable(items->items[i], now))
                ++i;
            if (i >= items->highWater || i >= kItemSlots)
                break;
        }
        // Only a send is paced: items that are not due never wait.
        window.Pace();
        const std::uint64_t room = window.Room();
        const LockedItems items = LockItems();
        const LockedRequests requests = LockRequests();
        bool slotsLeft = true;
        for (; group.count < room && i < items->highWater && i < kItemSlots; ++i) {
            if (!Probeable(items->items[i], now))
                continue;
            if (!(slotsLeft = AddProbe(*items, *requests, i, now, group)))
                break; // no free request slot: the rest wait for the next pass
            ++due;
        }
        SendGroup(*items, *requests, group, now, window);
        if (!slotsLeft)
            break;
    }
    return due;
}

int SchedulerLoop()
{
    EngineState& engine = Engine();
    std::uint32_t wait = kSchedulerPeriod;
    while (engine.exitFlag.load() == 0) {
        if (wait != 0)
            engine.wake.Wait(wait);
        if (engine.exitFlag.load() != 0)
            break;
        const std::uint32_t now = TickCount();
        ScanTimeouts(now);
        if (engine.serviceStopped.load() == 0)
            ProbePass(now);
        wait = NextWait(now, TickCount());
    }
    return 0;
}

void StartScheduler()
{
    Engine().scheduler = LaunchEngineThread(kSchedulerThread, [] {
        pthread_setname_np(pthread_self(), "scheduler");
        return SchedulerLoop();
    });
}

} // namespace varnell
