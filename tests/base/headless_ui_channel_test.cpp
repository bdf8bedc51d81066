#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/headless_ui_channel.h"

using namespace varnell;

TEST(HeadlessUiChannel, PostsArriveInOrderAndSendWaitsForTheHandler)
{
    HeadlessUiChannel desktop;
    std::vector<std::uintptr_t> seen;
    WindowId w = desktop.RegisterWindow([&](const WindowMessage& m) { seen.push_back(m.wparam); });
    for (std::uintptr_t i = 0; i < 100; ++i)
        desktop.Post(w, WindowMessage{1, i, 0, {}});
    EXPECT_TRUE(desktop.Send(w, WindowMessage{1, 100, 0, {}}));
    ASSERT_EQ(seen.size(), 101u);
    for (std::uintptr_t i = 0; i <= 100; ++i)
        EXPECT_EQ(seen[i], i);
}

TEST(HeadlessUiChannel, ShutdownReleasesAWaitingSender)
{
    HeadlessUiChannel desktop;
    std::atomic<bool> inHandler{false};
    std::atomic<bool> leave{false};
    WindowId w = desktop.RegisterWindow([&](const WindowMessage&) {
        inHandler = true;
        while (!leave)
            std::this_thread::yield();
    });
    std::atomic<int> result{-1};
    std::thread blocker([&] { desktop.Send(w, WindowMessage{1, 0, 0, {}}); });
    while (!inHandler)
        std::this_thread::yield();
    // The "user-interface thread" is busy; a second sender waits until released.
    std::thread sender([&] { result = desktop.Send(w, WindowMessage{1, 1, 0, {}}) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result.load(), -1);
    desktop.ReleaseWaiters();
    sender.join();
    EXPECT_EQ(result.load(), 0);
    leave = true;
    blocker.join();
}

TEST(HeadlessUiChannel, MessagesForAGoneWindowAreDropped)
{
    HeadlessUiChannel desktop;
    int calls = 0;
    WindowId w = desktop.RegisterWindow([&](const WindowMessage&) { ++calls; });
    desktop.UnregisterWindow(w);
    EXPECT_FALSE(desktop.Send(w, WindowMessage{1, 0, 0, {}}));
    desktop.Post(w, WindowMessage{1, 0, 0, {}});
    desktop.Drain();
    EXPECT_EQ(calls, 0);
}
