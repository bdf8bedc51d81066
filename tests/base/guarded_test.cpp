#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <type_traits>

#include "base/guarded.h"

namespace varnell {
namespace {

bool LockedElsewhere(std::recursive_mutex& mutex)
{
    return std::async(std::launch::async, [&mutex] {
               const bool free = mutex.try_lock();
               if (free)
                   mutex.unlock();
               return !free;
           })
        .get();
}

// No way to the value but the accessor, and the accessor holds the one mutex
// that both values share, nested as deep as callers nest.
TEST(Guarded, ValuesSharingAMutexAreReachedOnlyWithItHeld)
{
    static_assert(!std::is_convertible_v<Guarded<int>&, int&>);
    std::recursive_mutex mutex;
    int first = 1;
    int second[2] = {2, 3};
    Guarded<int> a(mutex, first);
    Guarded<int[2]> b(mutex, second);
    EXPECT_FALSE(LockedElsewhere(mutex));
    {
        const auto one = a.Lock();
        const auto two = b.Lock();
        EXPECT_TRUE(LockedElsewhere(mutex));
        *one = 10;
        two[1] = 30;
    }
    EXPECT_FALSE(LockedElsewhere(mutex));
    EXPECT_EQ(first, 10);
    EXPECT_EQ(second[1], 30);
}

} // namespace
} // namespace varnell
