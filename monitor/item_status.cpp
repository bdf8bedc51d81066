#include "monitor/item_status.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "alerts/event_list.h"
#include "items/address6.h"
#include "items/answer_eval.h"
#include "items/result_eval.h"
#include "items/transport_state.h"

namespace varnell {

namespace {

// A fixed ring: entry (sequence - 1) % kRecordedEvents holds event `sequence`.
struct EventRecord {
    std::mutex mutex;
    std::condition_variable cv;
    std::array<RecordedEvent, kRecordedEvents> ring;
    std::uint64_t last = 0; // sequence of the newest event
    std::uint64_t wakeups = 0;
};

EventRecord& Record()
{
    static EventRecord record;
    return record;
}

} // namespace

std::vector<ItemStatus> CollectItemStatus()
{
    std::vector<ItemStatus> out;
    LockedItems locked = LockItems();
    ItemTable& t = *locked;
    out.reserve(t.rowCount);
    std::lock_guard lock(EngineLock());
    for (std::uint32_t row = 0; row < t.rowCount && row < kItemSlots; ++row) {
        const std::uint32_t slot = t.rowToSlot[row];
        const DnsItem& item = t.items[slot];
        const ItemBlock& block = t.blocks[slot];
        ItemStatus s;
        s.name = block.name;
        s.domain = block.domain;
        s.type = RecordTypeName(item.typeIndex);
        s.server = ServerAddressText(item);
        s.health = HealthOf((item.flags & kFlagSuspended) != 0, block.state, block.replies != 0);
        s.hasRtt = block.rttMin != 0xFFFFFFFFu; // set by the first accepted reply
        s.currentRtt = block.rttLast;
        s.averageRtt = block.rttAvg;
        if (block.lastEventTime != 0)
            s.lastEvent = FormatTimeText(block.lastEventTime);
        if (const TransportState& transport = TransportOf(slot); transport.lastCode >= 0)
            s.detail = transport.failure;
        else
            s.detail = FailureDetail(item);
        out.push_back(std::move(s));
    }
    return out;
}

int StatusExitCode(const std::vector<ItemStatus>& items)
{
    int code = 0;
    for (const ItemStatus& s : items) {
        if (s.health == ItemHealth::kDown)
            return 2;
        if (s.health == ItemHealth::kFailing || s.health == ItemHealth::kNotProbed)
            code = 1;
    }
    return code;
}

void RecordEvent(const std::string& time, const std::string& text, int kind)
{
    EventRecord& r = Record();
    {
        std::lock_guard lock(r.mutex);
        ++r.last;
        RecordedEvent& e = r.ring[(r.last - 1) % kRecordedEvents];
        e.sequence = r.last;
        e.time = time;
        e.text = text;
        e.kind = kind;
    }
    r.cv.notify_all();
}

std::vector<RecordedEvent> EventsAfter(std::uint64_t sequence)
{
    EventRecord& r = Record();
    std::lock_guard lock(r.mutex);
    std::vector<RecordedEvent> out;
    std::uint64_t first = sequence + 1;
    if (r.last >= kRecordedEvents && first <= r.last - kRecordedEvents)
        first = r.last - kRecordedEvents + 1;
    for (std::uint64_t s = first; s <= r.last; ++s)
        out.push_back(r.ring[(s - 1) % kRecordedEvents]);
    return out;
}

bool WaitForEventAfter(std::uint64_t sequence, std::uint32_t ms)
{
    EventRecord& r = Record();
    std::unique_lock lock(r.mutex);
    const std::uint64_t wakeups = r.wakeups;
    r.cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return r.last > sequence || r.wakeups != wakeups; });
    return r.last > sequence;
}

void WakeEventWaiters()
{
    EventRecord& r = Record();
    {
        std::lock_guard lock(r.mutex);
        ++r.wakeups;
    }
    r.cv.notify_all();
}

} // namespace varnell
