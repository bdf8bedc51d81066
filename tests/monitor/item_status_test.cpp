// The status verdict and the bounded event record behind `varnellctl status`
// and `varnellctl events`.
#include <gtest/gtest.h>

#include <thread>

#include "monitor/item_status.h"

using namespace varnell;

namespace {

TEST(ItemStatus, VerdictIsTheWorstStateWithSuspendedItemsAside)
{
    const auto verdict = [](std::initializer_list<ItemHealth> states) {
        std::vector<ItemStatus> items;
        for (ItemHealth h : states) {
            items.emplace_back();
            items.back().health = h;
        }
        return StatusExitCode(items);
    };
    EXPECT_EQ(verdict({}), 0);
    EXPECT_EQ(verdict({ItemHealth::kUp, ItemHealth::kSuspended}), 0);
    EXPECT_EQ(verdict({ItemHealth::kUp, ItemHealth::kNotProbed}), 1);
    EXPECT_EQ(verdict({ItemHealth::kFailing, ItemHealth::kUp}), 1);
    EXPECT_EQ(verdict({ItemHealth::kFailing, ItemHealth::kDown, ItemHealth::kUp}), 2);
    EXPECT_STREQ(HealthText(ItemHealth::kNotProbed), "not yet probed");
}

TEST(ItemStatus, EventRecordKeepsTheLatestInOrderAndWakesFollowers)
{
    const std::uint64_t start = [] {
        const auto all = EventsAfter(0);
        return all.empty() ? 0 : all.back().sequence;
    }();
    for (std::size_t i = 0; i < kRecordedEvents + 6; ++i)
        RecordEvent("t", "event " + std::to_string(i), 1);
    const auto kept = EventsAfter(start);
    ASSERT_EQ(kept.size(), kRecordedEvents);
    EXPECT_EQ(kept.front().text, "event 6");
    EXPECT_EQ(kept.back().text, "event " + std::to_string(kRecordedEvents + 5));
    for (std::size_t i = 1; i < kept.size(); ++i)
        ASSERT_EQ(kept[i].sequence, kept[i - 1].sequence + 1);
    EXPECT_TRUE(EventsAfter(kept.back().sequence).empty());
    EXPECT_EQ(EventsAfter(kept.back().sequence - 1).size(), 1u);

    const std::uint64_t last = kept.back().sequence;
    EXPECT_FALSE(WaitForEventAfter(last, 10));
    std::thread later([] { RecordEvent("t", "late", 0); });
    EXPECT_TRUE(WaitForEventAfter(last, 5000));
    later.join();
    std::thread waker([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        WakeEventWaiters();
    });
    EXPECT_FALSE(WaitForEventAfter(last + 1, 5000)); // woken, nothing new
    waker.join();
}

} // namespace
