// What the monitor can say about its items and its recent events, for the
// control socket: each live item's state and round trips, and a bounded record
// of the latest events that a client can follow.
//
// Who touches what: CollectItemStatus runs on the thread that owns the item
// table and reads the blocks under the engine lock. The event record is written
// by that thread and read by the control socket's thread under its own lock; it
// never touches the item table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "items/item_health.h"
#include "items/item_table.h"

namespace varnell {

struct ItemStatus {
    std::string name, domain, type, server;
    ItemHealth health = ItemHealth::kNotProbed;
    bool hasRtt = false;            // a reply has been accepted since the item was added
    std::uint32_t currentRtt = 0;   // ms, the latest accepted reply
    std::uint32_t averageRtt = 0;   // ms
    std::string lastEvent;          // local "%Y-%m-%d %H:%M:%S"; empty before the first
    std::string detail;             // why the latest probe failed; empty when it did not
};

// Every live item in list order. Owner thread.
std::vector<ItemStatus> CollectItemStatus();
// As monitoring plugins read it: 2 when one is down, else 1 when one is failing
// or not yet probed, else 0. Suspended items do not count.
int StatusExitCode(const std::vector<ItemStatus>& items);

struct RecordedEvent {
    std::uint64_t sequence = 0; // 1 for the first event of the run
    std::string time;
    std::string text;
    int kind = 0;               // 0 up (and engine messages), 1 down, 2 changed
};
// Twice the item table: an outage that takes every item down at once, and its
// recovery, fit whole between two reads of a follower.
inline constexpr std::size_t kRecordedEvents = 4096;

// Any thread.
void RecordEvent(const std::string& time, const std::string& text, int kind);
// Events after sequence, oldest first (at most the last kRecordedEvents).
std::vector<RecordedEvent> EventsAfter(std::uint64_t sequence);
// Waits up to ms for an event after sequence; true when one is there.
bool WaitForEventAfter(std::uint64_t sequence, std::uint32_t ms);
// Ends every wait at once (shutdown).
void WakeEventWaiters();

} // namespace varnell
