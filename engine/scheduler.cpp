#include "engine/scheduler.h"

#include <arpa/inet.h>
#include <mutex>
#include <pthread.h>

#include "engine/desktop.h"
#include "engine/engine.h"
#include "engine/engine_threads.h"
#include "engine/receiver.h"
#include "engine/reply_parser.h"
#include "engine/request_table.h"
#include "engine/result_eval.h"

namespace varnell {

namespace {

void PostResult(std::uint32_t itemSlot, int code)
{
    WindowMessage m;
    m.id = WM_DNS_RESULT;
    m.wparam = itemSlot;
    m.lparam = code;
    GetDesktop().Post(Engine().resultWindow.load(), std::move(m));
}

// Ends one request whose time is up (lock held).
void ExpireSlot(RequestSlot& slot, std::uint32_t now)
{
    if (slot.itemSlot >= kItemSlots) {
        slot.expiry = 0;
        return;
    }
    DnsItem& item = Items().items[slot.itemSlot];
    ItemBlock& block = Items().blocks[slot.itemSlot];

    // Never taken with the limit of 1 every item has, but kept for the send limit
    // the record carries.
    if (++slot.transmissions < slot.limit && slot.query != nullptr &&
        SendQueryBytes(slot.query, slot.queryLength, slot.destination) > 0) {
        ++slot.transmissions;
        ArmRequestSlot(slot, now, item.timeout);
        return;
    }

    // The send time stays: a late reply is still taken until the slot is reused.
    slot.expiry = 0;
    LowerOutstanding(item);
    if (Outstanding(item) != 0)
        return; // the item's other requests decide
    // Gather again from the records the item's replies left; for a timed-out
    // primary query these are still the previous probe's. This may send
    // follow-up queries for names left unresolved.
    block.answerCount = 0;
    std::uint32_t records = block.answerRecords + block.authorityRecords + block.additionalRecords +
                            block.externalRecords;
    if (records > kReplyRecords)
        records = kReplyRecords;
    CollectAnswers(item, block, records, block.domain.c_str(), RecordQueryType(item.typeIndex), now);
    PostResult(slot.itemSlot, (slot.flags & kSlotPrimary) != 0 ? kResultTimeout : kResultPartReply);
}

// One item of the probe pass (lock held). False when no request slot is free.
bool ProbeItem(std::uint32_t i, std::uint32_t now, bool& due)
{
    DnsItem& item = Items().items[i];
    due = false;
    // Unsigned "not later than now", as the tick counter compares everywhere.
    if ((item.flags & kFlagProbeBlockMask) != 0 || item.nextDue > now)
        return true;
    const int s = AllocRequestSlot();
    if (s < 0)
        return false;
    due = true;
    ItemBlock& block = Items().blocks[i];
    RequestSlot& slot = RequestTable()[static_cast<std::uint32_t>(s)];
    slot.destination = EndpointAddress(item.server);
    slot.limit = item.flags & kFlagSendLimitMask;
    slot.queryTypeBE = htons(RecordQueryType(item.typeIndex));
    slot.itemSlot = i;
    item.requestId = static_cast<std::uint32_t>(s);
    const std::uint32_t length = BuildAndSendQuery(static_cast<std::uint32_t>(s), item, false, true);
    if (length != 0) {
        slot.queryLength = length;
        RaiseOutstanding(item);
        ArmRequestSlot(slot, now, item.timeout);
    } else {
        ++block.failed;
        PostResult(i, kResultSendFailed); // the slot stays free
    }
    ++block.sent;
    item.nextDue = now + item.interval;
    return true;
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
    std::lock_guard lock(EngineLock());
    auto& table = RequestTable();
    for (std::uint32_t id = 0; id < kRequestSlots; ++id) {
        RequestSlot& slot = table[id];
        if (slot.expiry == 0 || slot.expiry > now)
            continue;
        // A reply already read from the socket but still queued behind others is
        // not a timeout: the receiver will process it.
        if (ReplyWaiting(id))
            continue;
        ExpireSlot(slot, now);
    }
}

std::uint32_t ProbePass(std::uint32_t now)
{
    // The lock is taken per item, not for the whole pass: the receiver stores
    // replies and the user-interface thread evaluates results between two sends,
    // so a pass over thousands of items stalls neither. An item and its slot are
    // still only changed under the lock, by one thread at a time.
    std::uint32_t due = 0;
    for (std::uint32_t i = 0;; ++i) {
        std::lock_guard lock(EngineLock());
        if (i >= Items().highWater || i >= kItemSlots)
            break;
        bool itemDue = false;
        if (!ProbeItem(i, now, itemDue))
            break; // no free request slot: the rest wait for the next pass
        due += itemDue ? 1 : 0;
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
