#include <gtest/gtest.h>

#include <poll.h>
#include <thread>

#include "base/wake_event.h"

namespace varnell {
namespace {

bool Readable(const WakeFd& wake, int ms)
{
    pollfd p{wake.Fd(), POLLIN, 0};
    return poll(&p, 1, ms) == 1 && (p.revents & POLLIN) != 0;
}

// A wake set before the wait, or from another thread during it, ends the
// wait; several sets are one wake, and Clear takes it away.
TEST(WakeFd, EndsAPollUntilCleared)
{
    WakeFd wake;
    ASSERT_TRUE(wake.Open());
    EXPECT_FALSE(Readable(wake, 0));
    wake.Set();
    wake.Set();
    EXPECT_TRUE(Readable(wake, 0));
    wake.Clear();
    EXPECT_FALSE(Readable(wake, 0));

    std::thread setter([&wake] { wake.Set(); });
    EXPECT_TRUE(Readable(wake, 60000));
    setter.join();
    wake.Close();
    EXPECT_FALSE(wake.IsOpen());
}

} // namespace
} // namespace varnell
