// Round-trip history of every item: the last 24 hours in one-minute buckets and
// the last probes one by one. Both rings are held in pieces allocated as time
// passes (an hour of buckets, 64 probes), so an item probed for five minutes
// holds five minutes' worth, an item never probed holds nothing, and a full
// day costs at most kHistoryBytesPerItem whatever the probe rate.
//
// Who touches what: the user-interface thread (the thread that owns the item
// table) records, clears and installs histories and reads them without a lock:
// it is the only writer. The history file's writer thread reads one item at a
// time through EncodeHistoryOf, which takes the history lock; every write takes
// it too, for the few instructions it lasts, so a save never stalls recording.
// Pieces are allocated before the lock is taken.
//
// Times are wall-clock (seconds since the epoch), not the engine's tick counter:
// the history outlives the process.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

#include "items/item_table.h"

namespace varnell {

inline constexpr std::uint32_t kHistoryMinutes = 24 * 60;
// The probe ring holds ten minutes at one probe a second (the scheduler passes
// once a second), with room to spare; faster probing keeps the newest 640.
inline constexpr std::uint32_t kHistoryProbes = 640;
inline constexpr std::int64_t kHistoryProbeSeconds = 10 * 60;
// Round trips are kept in milliseconds up to this; anything longer is clipped.
inline constexpr std::uint16_t kHistoryRttCap = 0xFFFE;
inline constexpr std::uint16_t kHistoryNoRtt = 0xFFFF;

enum HistoryFlag : std::uint8_t {
    kHistoryDown = 0x01,  // the item stood reported down
    kHistoryEvent = 0x02, // a down, up or address-change event was raised
};

// One minute of one item as handed out and stored. Counters saturate at 255 (a
// minute holds 60 probes at the scheduler's pace). The average is rttSum / timed.
struct MinuteBucket {
    std::uint32_t minute = 0; // minutes since the epoch; 0 = empty
    std::uint32_t rttSum = 0;
    std::uint16_t rttMin = kHistoryNoRtt;
    std::uint16_t rttMax = 0;
    std::uint8_t probes = 0;
    std::uint8_t failures = 0;
    std::uint8_t timed = 0; // successes whose round trip went into the sum
    std::uint8_t flags = 0;
};
static_assert(sizeof(MinuteBucket) == 16);
static_assert(std::is_trivially_copyable_v<MinuteBucket>);

struct ProbeSample {
    std::uint32_t second = 0;            // seconds since the epoch
    std::uint16_t rtt = kHistoryNoRtt;   // ms, kHistoryNoRtt for a failure
    std::uint8_t code = 0;               // result code (0 = success)
    std::uint8_t flags = 0;
};
static_assert(sizeof(ProbeSample) == 8);

// One minute as held in memory: its minute is where it lies in its hour.
struct MinuteCell {
    std::uint32_t rttSum = 0;
    std::uint16_t rttMin = kHistoryNoRtt;
    std::uint16_t rttMax = 0;
    std::uint8_t probes = 0; // 0 = no probe in that minute
    std::uint8_t failures = 0;
    std::uint8_t timed = 0;
    std::uint8_t flags = 0;
};
static_assert(sizeof(MinuteCell) == 12);

struct HourBuckets {
    std::uint32_t hour = 0; // hours since the epoch
    std::array<MinuteCell, 60> minutes{};
};

inline constexpr std::uint32_t kHistoryProbeChunk = 64;
using ProbeChunk = std::array<ProbeSample, kHistoryProbeChunk>;
static_assert(kHistoryProbes % kHistoryProbeChunk == 0);

// A day of minutes starts inside one hour and ends inside another: 25 hours
// hold any 1440 consecutive minutes.
inline constexpr std::uint32_t kHistoryHours = kHistoryMinutes / 60 + 1;

struct ItemHistory {
    std::array<std::unique_ptr<HourBuckets>, kHistoryHours> hours; // hour % kHistoryHours
    std::array<std::unique_ptr<ProbeChunk>, kHistoryProbes / kHistoryProbeChunk> probes;
    std::uint32_t probeNext = 0;  // where the next probe goes
    std::uint32_t probeCount = 0; // up to kHistoryProbes
};
// What one item's history holds at most, all pieces allocated.
inline constexpr std::size_t kHistoryBytesPerItem =
    sizeof(ItemHistory) + kHistoryHours * sizeof(HourBuckets) + kHistoryProbes * sizeof(ProbeSample);

// The history of a slot, or nullptr when it has none yet. Owner thread only.
const ItemHistory* HistoryOf(std::uint32_t slot);
// EncodeHistory of a slot's history, empty when it has none. Any thread.
std::vector<std::uint8_t> EncodeHistoryOf(std::uint32_t slot, std::int64_t nowSeconds);
// Adds one evaluated result. rttMs < 0: no round trip (a failure, or the tick
// counter wrapped). Nothing with VARNELL_HISTORY=off in the environment (a
// measurement hook for the load benchmarks).
void RecordResult(std::uint32_t slot, std::int64_t nowSeconds, int code, std::int32_t rttMs, std::uint8_t flags);
// Wall-clock seconds, for callers that record "now".
std::int64_t HistoryNow();
// Forgets a slot's history (its item was deleted; a new item may take the slot).
void ClearHistory(std::uint32_t slot);
void ClearAllHistory();
// Installs a decoded history for a slot.
void SetHistory(std::uint32_t slot, std::unique_ptr<ItemHistory> history);
// Bytes held by all histories now, pieces included.
std::size_t HistoryBytes();

// The buckets of minutes [fromMinute, toMinute], oldest first, empty ones left out.
std::vector<MinuteBucket> BucketsBetween(const ItemHistory& h, std::uint32_t fromMinute, std::uint32_t toMinute);
// The probes at or after fromSecond, oldest first.
std::vector<ProbeSample> ProbesSince(const ItemHistory& h, std::uint32_t fromSecond);

// Stored form of one item's history (little-endian, version byte first): the
// buckets of the 24 hours before nowSeconds and the probe ring, oldest first.
std::vector<std::uint8_t> EncodeHistory(const ItemHistory& h, std::int64_t nowSeconds);
// Reads a stored history; nullptr when the bytes are not one (they come from a
// file anyone could have written).
std::unique_ptr<ItemHistory> DecodeHistory(std::span<const std::uint8_t> bytes);

} // namespace varnell
