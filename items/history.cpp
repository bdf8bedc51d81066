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
    std::unique_ptr<ItemHistory>& h = Histories()[slot];
    if (!h) {
        auto fresh = std::make_unique<ItemHistory>(); // allocated outside the lock
        std::lock_guard lock(HistoryLock());
        h = std::move(fresh);
    }
    std::lock_guard lock(HistoryLock());
    const auto second = static_cast<std::uint32_t>(nowSeconds);
    const std::uint16_t rtt =
        rttMs < 0 ? kHistoryNoRtt : static_cast<std::uint16_t>(std::min<std::int32_t>(rttMs, kHistoryRttCap));

    h->probes[h->probeNext] = ProbeSample{second, rtt, static_cast<std::uint8_t>(code & 0xFF), flags};
    h->probeNext = (h->probeNext + 1) % kHistoryProbes;
    h->probeCount = std::min(h->probeCount + 1, kHistoryProbes);

    const std::uint32_t minute = second / 60;
    MinuteBucket& b = h->buckets[minute % kHistoryMinutes];
    if (b.minute > minute)
        return; // the clock went back: that slot already holds a later minute
    if (b.minute != minute)
        b = MinuteBucket{minute};
    b.probes = Saturated(b.probes);
    if (code != 0)
        b.failures = Saturated(b.failures);
    // A saturated counter would skew the average: stop adding once it is full.
    if (rtt != kHistoryNoRtt && b.timed != 0xFF) {
        b.timed = Saturated(b.timed);
        b.rttSum += rtt;
        b.rttMin = std::min(b.rttMin, rtt);
        b.rttMax = std::max(b.rttMax, rtt);
    }
    b.flags |= flags;
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
    for (const auto& h : Histories())
        total += h ? sizeof(ItemHistory) : 0;
    return total;
}

std::vector<MinuteBucket> BucketsBetween(const ItemHistory& h, std::uint32_t fromMinute, std::uint32_t toMinute)
{
    std::vector<MinuteBucket> out;
    if (toMinute < fromMinute)
        return out;
    // A range longer than the ring would visit slots twice.
    fromMinute = std::max(fromMinute, toMinute - std::min(toMinute, kHistoryMinutes - 1));
    out.reserve(toMinute - fromMinute + 1);
    for (std::uint32_t m = fromMinute;; ++m) {
        const MinuteBucket& b = h.buckets[m % kHistoryMinutes];
        if (b.minute == m && b.probes != 0)
            out.push_back(b);
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
        const ProbeSample& p = h.probes[(oldest + i) % kHistoryProbes];
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
        h->buckets[b.minute % kHistoryMinutes] = b;
    }
    std::uint16_t probeCount = 0;
    if (!r.ReadU16LE(probeCount) || probeCount > kHistoryProbes || r.Remaining() != probeCount * kProbeBytes)
        return nullptr;
    for (std::uint16_t i = 0; i < probeCount; ++i) {
        ProbeSample p;
        if (!r.ReadU32LE(p.second) || !r.ReadU16LE(p.rtt) || !r.ReadU8(p.code) || !r.ReadU8(p.flags))
            return nullptr;
        h->probes[i] = p;
    }
    h->probeCount = probeCount;
    h->probeNext = probeCount % kHistoryProbes;
    return h;
}

} // namespace varnell
