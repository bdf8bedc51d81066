#include "items/history.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string_view>

#include "base/byte_reader.h"

namespace varnell {

namespace {

constexpr std::uint8_t kHistoryVersion = 1;

std::array<std::unique_ptr<ItemHistory>, kItemSlots>& Histories()
{
    static std::array<std::unique_ptr<ItemHistory>, kItemSlots> histories;
    return histories;
}

std::mutex& HistoryLock()
{
    static std::mutex lock;
    return lock;
}

// VARNELL_HISTORY=off, a measurement hook read once, keeps no history: the
// full-load benchmarks run the program with and without it.
bool HistoryOff()
{
    static const bool off = [] {
        const char* value = std::getenv("VARNELL_HISTORY");
        return value != nullptr && std::string_view(value) == "off";
    }();
    return off;
}

std::uint8_t Saturated(std::uint8_t n) { return n == 0xFF ? n : static_cast<std::uint8_t>(n + 1); }

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t v)
{
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

constexpr std::size_t kBucketBytes = 16;
constexpr std::size_t kProbeBytes = 8;

// Allocates a missing piece outside the lock and installs it under the lock,
// so a reader under the lock never sees it half made. A new hour piece says
// hour 0 until CellFor claims it.
template <typename Piece>
void Grow(std::unique_ptr<Piece>& piece)
{
    if (!piece) {
        auto fresh = std::make_unique<Piece>();
        std::lock_guard lock(HistoryLock());
        piece = std::move(fresh);
    }
}

// Index below kHistoryProbes, its chunk grown.
ProbeSample& ProbeAt(ItemHistory& h, std::uint32_t index)
{
    return (*h.probes[index / kHistoryProbeChunk])[index % kHistoryProbeChunk];
}
const ProbeSample& ProbeAt(const ItemHistory& h, std::uint32_t index)
{
    return (*h.probes[index / kHistoryProbeChunk])[index % kHistoryProbeChunk];
}

// The cell of a minute, or nullptr when its hour is not held (never reached,
// or its piece holds another hour now).
const MinuteCell* CellOf(const ItemHistory& h, std::uint32_t minute)
{
    const HourBuckets* hour = h.hours[minute / 60 % kHistoryHours].get();
    return hour != nullptr && hour->hour == minute / 60 ? &hour->minutes[minute % 60] : nullptr;
}

// The cell a minute is written to, its hour's piece grown beforehand (and the
// lock held when others may read): a piece that held an older hour is emptied
// for this one; nullptr when it holds a later hour (the clock went back a day).
MinuteCell* CellFor(ItemHistory& h, std::uint32_t minute)
{
    HourBuckets& piece = *h.hours[minute / 60 % kHistoryHours];
    if (piece.hour > minute / 60)
        return nullptr;
    if (piece.hour < minute / 60) {
        piece = HourBuckets{};
        piece.hour = minute / 60;
    }
    return &piece.minutes[minute % 60];
}

MinuteBucket BucketOf(std::uint32_t minute, const MinuteCell& c)
{
    return MinuteBucket{minute, c.rttSum, c.rttMin, c.rttMax, c.probes, c.failures, c.timed, c.flags};
}

} // namespace

std::int64_t HistoryNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

const ItemHistory* HistoryOf(std::uint32_t slot) { return slot < kItemSlots ? Histories()[slot].get() : nullptr; }

void RecordResult(std::uint32_t slot, std::int64_t nowSeconds, int code, std::int32_t rttMs, std::uint8_t flags)
{
    // Before 1970 or past 2106 the 32-bit stamps cannot say when: keep nothing.
    if (slot >= kItemSlots || nowSeconds <= 0 || nowSeconds > 0xFFFFFFFFll || HistoryOff())
        return;
    std::unique_ptr<ItemHistory>& held = Histories()[slot];
    Grow(held);
    ItemHistory& h = *held;
    const auto second = static_cast<std::uint32_t>(nowSeconds);
    const std::uint32_t minute = second / 60;
    Grow(h.probes[h.probeNext / kHistoryProbeChunk]);
    Grow(h.hours[minute / 60 % kHistoryHours]);
    const std::uint16_t rtt =
        rttMs < 0 ? kHistoryNoRtt : static_cast<std::uint16_t>(std::min<std::int32_t>(rttMs, kHistoryRttCap));

    std::lock_guard lock(HistoryLock());
    ProbeAt(h, h.probeNext) = ProbeSample{second, rtt, static_cast<std::uint8_t>(code & 0xFF), flags};
    h.probeNext = (h.probeNext + 1) % kHistoryProbes;
    h.probeCount = std::min(h.probeCount + 1, kHistoryProbes);

    MinuteCell* b = CellFor(h, minute);
    if (b == nullptr)
        return;
    b->probes = Saturated(b->probes);
    if (code != 0)
        b->failures = Saturated(b->failures);
    // A saturated counter would skew the average: stop adding once it is full.
    if (rtt != kHistoryNoRtt && b->timed != 0xFF) {
        b->timed = Saturated(b->timed);
        b->rttSum += rtt;
        b->rttMin = std::min(b->rttMin, rtt);
        b->rttMax = std::max(b->rttMax, rtt);
    }
    b->flags |= flags;
}

void ClearHistory(std::uint32_t slot) { SetHistory(slot, nullptr); }

void ClearAllHistory()
{
    for (std::uint32_t slot = 0; slot < kItemSlots; ++slot)
        ClearHistory(slot);
}

void SetHistory(std::uint32_t slot, std::unique_ptr<ItemHistory> history)
{
    if (slot >= kItemSlots)
        return;
    {
        std::lock_guard lock(HistoryLock());
        Histories()[slot].swap(history);
    }
    // The old one is freed outside the lock.
}

std::vector<std::uint8_t> EncodeHistoryOf(std::uint32_t slot, std::int64_t nowSeconds)
{
    if (slot >= kItemSlots)
        return {};
    std::lock_guard lock(HistoryLock());
    const ItemHistory* h = Histories()[slot].get();
    return h ? EncodeHistory(*h, nowSeconds) : std::vector<std::uint8_t>{};
}

std::size_t HistoryBytes()
{
    std::size_t total = 0;
    for (const auto& h : Histories()) {
        if (!h)
            continue;
        total += sizeof(ItemHistory);
        for (const auto& hour : h->hours)
            total += hour ? sizeof(HourBuckets) : 0;
        for (const auto& chunk : h->probes)
            total += chunk ? sizeof(ProbeChunk) : 0;
    }
    return total;
}

std::vector<MinuteBucket> BucketsBetween(const ItemHistory& h, std::uint32_t fromMinute, std::uint32_t toMinute)
{
    std::vector<MinuteBucket> out;
    if (toMinute < fromMinute)
        return out;
    // The pieces hold up to a day and an hour; a wider range is cut to a day,
    // as a day is what the history promises.
    fromMinute = std::max(fromMinute, toMinute - std::min(toMinute, kHistoryMinutes - 1));
    for (std::uint32_t m = fromMinute;; ++m) {
        const MinuteCell* c = CellOf(h, m);
        if (c != nullptr && c->probes != 0)
            out.push_back(BucketOf(m, *c));
        if (m == toMinute)
            break;
    }
    return out;
}

std::vector<ProbeSample> ProbesSince(const ItemHistory& h, std::uint32_t fromSecond)
{
    std::vector<ProbeSample> out;
    out.reserve(h.probeCount);
    const std::uint32_t oldest = (h.probeNext + kHistoryProbes - h.probeCount) % kHistoryProbes;
    for (std::uint32_t i = 0; i < h.probeCount; ++i) {
        const ProbeSample& p = ProbeAt(h, (oldest + i) % kHistoryProbes);
        if (p.second >= fromSecond)
            out.push_back(p);
    }
    return out;
}

std::vector<std::uint8_t> EncodeHistory(const ItemHistory& h, std::int64_t nowSeconds)
{
    const auto now = static_cast<std::uint32_t>(std::clamp<std::int64_t>(nowSeconds, 0, 0xFFFFFFFFll));
    const std::uint32_t nowMinute = now / 60;
    const std::vector<MinuteBucket> buckets =
        BucketsBetween(h, nowMinute - std::min(nowMinute, kHistoryMinutes - 1), nowMinute);
    const std::vector<ProbeSample> probes = ProbesSince(h, 0);
    std::vector<std::uint8_t> out;
    out.reserve(5 + buckets.size() * kBucketBytes + probes.size() * kProbeBytes);
    out.push_back(kHistoryVersion);
    PutU16(out, static_cast<std::uint16_t>(buckets.size()));
    for (const MinuteBucket& b : buckets) {
        PutU32(out, b.minute);
        PutU32(out, b.rttSum);
        PutU16(out, b.rttMin);
        PutU16(out, b.rttMax);
        out.insert(out.end(), {b.probes, b.failures, b.timed, b.flags});
    }
    PutU16(out, static_cast<std::uint16_t>(probes.size()));
    for (const ProbeSample& p : probes) {
        PutU32(out, p.second);
        PutU16(out, p.rtt);
        out.insert(out.end(), {p.code, p.flags});
    }
    return out;
}

std::unique_ptr<ItemHistory> DecodeHistory(std::span<const std::uint8_t> bytes)
{
    ByteReader r(bytes);
    std::uint8_t version = 0;
    std::uint16_t bucketCount = 0;
    if (!r.ReadU8(version) || version != kHistoryVersion || !r.ReadU16LE(bucketCount) ||
        bucketCount > kHistoryMinutes || r.Remaining() / kBucketBytes < bucketCount)
        return nullptr;
    auto h = std::make_unique<ItemHistory>();
    for (std::uint16_t i = 0; i < bucketCount; ++i) {
        MinuteBucket b;
        if (!r.ReadU32LE(b.minute) || !r.ReadU32LE(b.rttSum) || !r.ReadU16LE(b.rttMin) || !r.ReadU16LE(b.rttMax) ||
            !r.ReadU8(b.probes) || !r.ReadU8(b.failures) || !r.ReadU8(b.timed) || !r.ReadU8(b.flags))
            return nullptr;
        // A bucket that claims more successes than probes, or an empty minute
        // stamp, is not one this program wrote.
        if (b.minute == 0 || b.timed > b.probes || b.failures > b.probes)
            return nullptr;
        Grow(h->hours[b.minute / 60 % kHistoryHours]);
        if (MinuteCell* c = CellFor(*h, b.minute))
            *c = MinuteCell{b.rttSum, b.rttMin, b.rttMax, b.probes, b.failures, b.timed, b.flags};
    }
    std::uint16_t probeCount = 0;
    if (!r.ReadU16LE(probeCount) || probeCount > kHistoryProbes || r.Remaining() != probeCount * kProbeBytes)
        return nullptr;
    for (std::uint16_t i = 0; i < probeCount; ++i) {
        ProbeSample p;
        if (!r.ReadU32LE(p.second) || !r.ReadU16LE(p.rtt) || !r.ReadU8(p.code) || !r.ReadU8(p.flags))
            return nullptr;
        Grow(h->probes[i / kHistoryProbeChunk]);
        ProbeAt(*h, i) = p;
    }
    h->probeCount = probeCount;
    h->probeNext = probeCount % kHistoryProbes;
    return h;
}

} // namespace varnell
