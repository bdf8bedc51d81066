// Dotted addresses written without inet_ntop, and the monotonic reading of a
// wall-clock stamp.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ctime>

#include "base/net/address_text.h"
#include "base/tick.h"

using namespace varnell;

TEST(AddressText, DottedAddressMatchesTheSystemsText)
{
    for (const char* text : {"0.0.0.0", "127.0.0.1", "192.0.2.10", "255.255.255.255", "10.200.3.99"}) {
        in_addr a{};
        ASSERT_EQ(inet_pton(AF_INET, text, &a), 1);
        EXPECT_EQ(DottedAddress(a.s_addr), text);
    }
}

TEST(Tick, AWallClockStampConvertsToTheMonotonicClock)
{
    // A stamp taken now reads now on the monotonic clock, to well within a
    // millisecond whatever the two clocks' distance.
    timespec wall{};
    const std::uint64_t before = MonotonicNs();
    clock_gettime(CLOCK_REALTIME, &wall);
    const std::int64_t offset = MonotonicMinusWallNs();
    const std::uint64_t after = MonotonicNs();
    const std::int64_t converted = static_cast<std::int64_t>(wall.tv_sec) * 1000000000 + wall.tv_nsec + offset;
    EXPECT_GE(converted, static_cast<std::int64_t>(before) - 1000000);
    EXPECT_LE(converted, static_cast<std::int64_t>(after) + 1000000);
}
