// The round-trip history's two rings and its stored form.
#include <gtest/gtest.h>

#include <cstring>

#include "items/history.h"

namespace varnell {
namespace {

class HistoryTest : public ::testing::Test {
protected:
    void SetUp() override { ClearAllHistory(); }
    void TearDown() override { ClearAllHistory(); }
    // 2026-12-08 00:00:00 UTC, a minute boundary.
    static constexpr std::int64_t kT0 = 1796688000;
};

TEST_F(HistoryTest, MinuteBucketsSplitAtTheBoundaryAndKeepMinAvgMaxAndFailures)
{
    RecordResult(7, kT0 - 1, 0, 90, 0);          // last second of the minute before
    RecordResult(7, kT0, 0, 10, 0);              // first second of the minute
    RecordResult(7, kT0 + 30, 16, -1, 0);        // a timeout: counted, no round trip
    RecordResult(7, kT0 + 59, 0, 70000, kHistoryDown | kHistoryEvent); // clipped
    const ItemHistory* h = HistoryOf(7);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(HistoryOf(8), nullptr); // nothing allocated for an item never probed

    const std::uint32_t m = static_cast<std::uint32_t>(kT0 / 60);
    const auto buckets = BucketsBetween(*h, m - 5, m + 5);
    ASSERT_EQ(buckets.size(), 2u);
    EXPECT_EQ(buckets[0].minute, m - 1);
    EXPECT_EQ(buckets[0].probes, 1);
    const MinuteBucket& b = buckets[1];
    EXPECT_EQ(b.minute, m);
    EXPECT_EQ(b.probes, 3);
    EXPECT_EQ(b.failures, 1);
    EXPECT_EQ(b.timed, 2);
    EXPECT_EQ(b.rttMin, 10);
    EXPECT_EQ(b.rttMax, kHistoryRttCap);
    EXPECT_EQ(b.rttSum, 10u + kHistoryRttCap);
    EXPECT_EQ(b.flags, kHistoryDown | kHistoryEvent);

    // A bucket's counters stop at 255 instead of wrapping to a small count.
    for (int i = 0; i < 300; ++i)
        RecordResult(7, kT0 + 70, 2, -1, 0);
    const auto full = BucketsBetween(*HistoryOf(7), m + 1, m + 1);
    ASSERT_EQ(full.size(), 1u);
    EXPECT_EQ(full[0].probes, 255);
    EXPECT_EQ(full[0].failures, 255);
}

TEST_F(HistoryTest, RingsKeepTheLastDayAndTheNewestProbes)
{
    // 25 hours at one probe a minute: the first hour has been overwritten.
    for (std::int64_t minute = 0; minute < 25 * 60; ++minute)
        RecordResult(3, kT0 + minute * 60, 0, static_cast<std::int32_t>(minute % 500), 0);
    const ItemHistory& h = *HistoryOf(3);
    const std::uint32_t last = static_cast<std::uint32_t>(kT0 / 60) + 25 * 60 - 1;
    const auto day = BucketsBetween(h, 0, last); // a range wider than the ring
    ASSERT_EQ(day.size(), kHistoryMinutes);
    EXPECT_EQ(day.front().minute, last - kHistoryMinutes + 1);
    EXPECT_EQ(day.back().minute, last);

    // 700 probes a second apart: the ring holds the newest 640, oldest first.
    ClearHistory(3);
    for (std::int64_t s = 0; s < 700; ++s)
        RecordResult(3, kT0 + s, 0, static_cast<std::int32_t>(s), 0);
    const auto all = ProbesSince(*HistoryOf(3), 0);
    ASSERT_EQ(all.size(), kHistoryProbes);
    EXPECT_EQ(all.front().rtt, 700 - kHistoryProbes);
    EXPECT_EQ(all.back().rtt, 699);
    const auto tenMinutes = ProbesSince(*HistoryOf(3), static_cast<std::uint32_t>(kT0 + 699 - kHistoryProbeSeconds));
    EXPECT_EQ(tenMinutes.size(), static_cast<std::size_t>(kHistoryProbeSeconds) + 1);

    // A clock set back does not overwrite a later minute lying in the same slot.
    RecordResult(3, kT0 - 24 * 3600, 5, -1, 0);
    const auto slot = BucketsBetween(*HistoryOf(3), static_cast<std::uint32_t>(kT0 / 60),
                                     static_cast<std::uint32_t>(kT0 / 60));
    ASSERT_EQ(slot.size(), 1u);
    EXPECT_EQ(slot[0].failures, 0);
}

TEST_F(HistoryTest, StoredFormRoundTripsAndRejectsBytesItDidNotWrite)
{
    for (std::int64_t s = 0; s < 3 * 3600; s += 7)
        RecordResult(1, kT0 + s, s % 91 == 0 ? 16 : 0, static_cast<std::int32_t>(s % 300), s % 91 == 0 ? 1 : 0);
    const std::int64_t now = kT0 + 3 * 3600;
    const std::vector<std::uint8_t> bytes = EncodeHistory(*HistoryOf(1), now);
    const auto back = DecodeHistory(bytes);
    ASSERT_NE(back, nullptr);
    const std::uint32_t m = static_cast<std::uint32_t>(now / 60);
    const auto a = BucketsBetween(*HistoryOf(1), 0, m);
    const auto b = BucketsBetween(*back, 0, m);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(MinuteBucket)));
    const auto pa = ProbesSince(*HistoryOf(1), 0);
    const auto pb = ProbesSince(*back, 0);
    ASSERT_EQ(pa.size(), pb.size());
    EXPECT_EQ(0, std::memcmp(pa.data(), pb.data(), pa.size() * sizeof(ProbeSample)));

    // Every truncation, a trailing byte, a wrong version and counts beyond the
    // rings are refused.
    for (std::size_t n = 0; n < bytes.size(); n += 97)
        EXPECT_EQ(DecodeHistory(std::span(bytes).first(n)), nullptr) << n;
    auto longer = bytes;
    longer.push_back(0);
    EXPECT_EQ(DecodeHistory(longer), nullptr);
    auto wrongVersion = bytes;
    wrongVersion[0] = 2;
    EXPECT_EQ(DecodeHistory(wrongVersion), nullptr);
    const std::vector<std::uint8_t> tooManyBuckets = {1, 0xFF, 0xFF};
    EXPECT_EQ(DecodeHistory(tooManyBuckets), nullptr);
    auto moreTimedThanProbes = bytes;
    moreTimedThanProbes[3 + 14] = 0xFF; // first bucket's "timed"
    EXPECT_EQ(DecodeHistory(moreTimedThanProbes), nullptr);
}

TEST_F(HistoryTest, PiecesFollowTheTimeProbedUpToADay)
{
    EXPECT_EQ(HistoryBytes(), 0u);
    // Five chunks of probes a second apart, all in one hour.
    for (std::int64_t s = 0; s < 5 * kHistoryProbeChunk; ++s)
        RecordResult(2, kT0 + s, 0, 5, 0);
    EXPECT_EQ(HistoryBytes(), sizeof(ItemHistory) + sizeof(HourBuckets) + 5 * sizeof(ProbeChunk));
    // The next probe opens a chunk, and lies in the next hour.
    RecordResult(2, kT0 + 3600, 0, 6, 0);
    EXPECT_EQ(HistoryBytes(), sizeof(ItemHistory) + 2 * sizeof(HourBuckets) + 6 * sizeof(ProbeChunk));
    const auto both = BucketsBetween(*HistoryOf(2), 0, static_cast<std::uint32_t>(kT0 / 60 + 60));
    ASSERT_EQ(both.size(), 7u); // 320 seconds touch six minutes
    EXPECT_EQ(both.back().minute, kT0 / 60 + 60);
    EXPECT_EQ(both.back().rttSum, 6u);

    // Two days later and a day long: the pieces are reused, never more than a day's.
    for (std::int64_t minute = 0; minute < 26 * 60; ++minute)
        for (int i = 0; i < 2; ++i)
            RecordResult(2, kT0 + 2 * 86400 + minute * 60 + i * 20, 0, 7, 0);
    EXPECT_EQ(HistoryBytes(), kHistoryBytesPerItem);
    const auto day = BucketsBetween(*HistoryOf(2), 0, static_cast<std::uint32_t>((kT0 + 2 * 86400) / 60 + 26 * 60 - 1));
    ASSERT_EQ(day.size(), kHistoryMinutes);
    EXPECT_EQ(day.front().probes, 2);
}

TEST_F(HistoryTest, AStoredHistoryLoadsAndIsStoredAgainByteForByte)
{
    // As the file holds it: version 1, two minutes either side of an hour, one probe.
    const auto m = static_cast<std::uint32_t>(kT0 / 60);
    std::vector<std::uint8_t> stored = {1, 2, 0};
    auto put = [&stored](std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            stored.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    put(m - 1, 4), put(300, 4), put(100, 2), put(200, 2), put(0x03020202, 4); // 2 probes, 2 failures, 2 timed
    put(m, 4), put(40, 4), put(40, 2), put(40, 2), put(0x00010001, 4);
    put(1, 2), put(static_cast<std::uint32_t>(kT0 + 5), 4), put(40, 2), put(0x0000, 2);
    const auto h = DecodeHistory(stored);
    ASSERT_NE(h, nullptr);
    const auto buckets = BucketsBetween(*h, m - 1, m);
    ASSERT_EQ(buckets.size(), 2u);
    EXPECT_EQ(buckets[0].rttSum, 300u);
    EXPECT_EQ(buckets[0].flags, kHistoryDown | kHistoryEvent);
    EXPECT_EQ(buckets[1].timed, 1);
    ASSERT_EQ(ProbesSince(*h, 0).size(), 1u);
    EXPECT_EQ(EncodeHistory(*h, kT0 + 5), stored);
}

} // namespace
} // namespace varnell
