#include "alerts/workers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/recording_ui_channel.h"

using namespace varnell;
using namespace std::chrono_literals;

namespace {

struct TestEntry {
    WindowId reply = kNoWindow;
    std::string text;
};

// A worker that records what it handles and can be held inside an entry.
class RecordingWorker : public cnotifythread {
public:
    explicit RecordingWorker(bool honourStop = true) : honourStop_(honourStop) {}
    ~RecordingWorker() override
    {
        RequestStop();
        StopAndJoin();
    }

    int Post(WindowId reply, const std::string& text) { return Enqueue(ring_, TestEntry{reply, text}); }

    void Process() override
    {
        Drain(ring_, honourStop_, [this](TestEntry& e, std::uint32_t next) {
            {
                std::unique_lock lock(mutex_);
                handled_.push_back(e.text);
                entered_ = true;
                cv_.wait(lock, [this] { return !hold_; });
            }
            return ActionDone(next, static_cast<int>(e.text.size()));
        });
    }

    void Hold(bool hold)
    {
        {
            std::lock_guard lock(mutex_);
            hold_ = hold;
        }
        cv_.notify_all();
    }
    bool Entered()
    {
        std::lock_guard lock(mutex_);
        return entered_;
    }
    std::vector<std::string> Handled()
    {
        std::lock_guard lock(mutex_);
        return handled_;
    }

private:
    NotifyRing<TestEntry> ring_;
    bool honourStop_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool hold_ = false;
    bool entered_ = false;
    std::vector<std::string> handled_;
};

class PeriodicWorker : public ceventthread {
public:
    explicit PeriodicWorker(std::uint32_t ms) { interval_ = ms; }
    ~PeriodicWorker() override
    {
        RequestStop();
        StopAndJoin();
    }
    void Process() override { ++runs; }
    std::atomic<int> runs{0};
};

struct Collector {
    std::mutex mutex;
    std::vector<WindowMessage> messages;
    std::vector<WindowMessage> Take()
    {
        std::lock_guard lock(mutex);
        return messages;
    }
};

class WorkersTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetUiChannel(&desktop_);
        window_ = desktop_.RegisterWindow([this](const WindowMessage& m) {
            std::lock_guard lock(collector_.mutex);
            collector_.messages.push_back(m);
        });
    }
    void TearDown() override { desktop_.UnregisterWindow(window_); }

    RecordingUiChannel desktop_;
    WindowId window_ = kNoWindow;
    Collector collector_;
};

TEST_F(WorkersTest, FullRingDropsTheNewestAndKeepsOrder)
{
    auto worker = std::make_unique<RecordingWorker>();
    // Not resumed yet: nothing is consumed while the ring fills.
    for (std::uint32_t i = 0; i < kQueueSize - 1; ++i)
        ASSERT_EQ(worker->Post(kNoWindow, std::to_string(i)), 0) << i;
    EXPECT_EQ(worker->Pending(), kQueueSize - 1);
    EXPECT_EQ(worker->Post(kNoWindow, "dropped"), -1);

    worker->Resume();
    ASSERT_TRUE(test::WaitFor([&] { return worker->Pending() == 0; }, 10s));
    auto handled = worker->Handled();
    ASSERT_EQ(handled.size(), kQueueSize - 1);
    for (std::uint32_t i = 0; i < kQueueSize - 1; ++i)
        ASSERT_EQ(handled[i], std::to_string(i));

    // Once drained the ring wraps and accepts again.
    EXPECT_EQ(worker->Post(kNoWindow, "after"), 0);
    ASSERT_TRUE(test::WaitFor([&] { return worker->Handled().size() == kQueueSize; }, 5s));
    EXPECT_EQ(worker->Handled().back(), "after");
}

TEST_F(WorkersTest, CompletionGoesOnlyToEntriesWithAReplyWindow)
{
    RecordingWorker worker;
    worker.Resume();
    ASSERT_EQ(worker.Post(window_, "abc"), 0);
    ASSERT_EQ(worker.Post(kNoWindow, "silent"), 0);
    ASSERT_EQ(worker.Post(window_, "de"), 0);
    ASSERT_TRUE(test::WaitFor([&] { return worker.Handled().size() == 3; }, 5s));
    desktop_.Drain();
    auto got = collector_.Take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].id, WM_ACTION_DONE);
    EXPECT_EQ(got[0].wparam, 1u); // read index after the finished entry
    EXPECT_EQ(got[0].lparam, 3);
    EXPECT_EQ(got[1].wparam, 3u);
    EXPECT_EQ(got[1].lparam, 2);
}

TEST_F(WorkersTest, StopAndJoinResults)
{
    RecordingWorker never;
    EXPECT_EQ(never.StopAndJoin(), 0); // no thread was ever started

    RecordingWorker idle;
    idle.Resume();
    ASSERT_EQ(idle.Post(kNoWindow, "x"), 0);
    ASSERT_TRUE(test::WaitFor([&] { return idle.Handled().size() == 1; }, 5s));
    idle.RequestStop();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(idle.StopAndJoin(), 1);
    // An idle worker wakes on the stop request instead of running out the wait.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kJoinWaitMs));
    EXPECT_EQ(idle.StopAndJoin(), 0);
}

TEST_F(WorkersTest, StuckWorkerIsLeftBehindAndStopStopsTheQueue)
{
    // Deliberately never deleted (a detached thread keeps using the object);
    // kept reachable from a static so the leak checker knows it is meant.
    static RecordingWorker* stuck = new RecordingWorker(true);
    stuck->Hold(true);
    stuck->Resume();
    ASSERT_EQ(stuck->Post(kNoWindow, "first"), 0);
    ASSERT_EQ(stuck->Post(kNoWindow, "second"), 0);
    ASSERT_TRUE(test::WaitFor([&] { return stuck->Entered(); }, 5s));
    stuck->RequestStop();
    EXPECT_EQ(stuck->StopAndJoin(), 2);
    stuck->Hold(false);
    // The stop request is seen between entries: "second" is never handled.
    ASSERT_TRUE(test::WaitFor([&] { return stuck->Pending() == 1; }, 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(stuck->Handled(), std::vector<std::string>{"first"});
}

TEST_F(WorkersTest, WorkerThatIgnoresStopFinishesItsQueue)
{
    RecordingWorker worker(false);
    worker.Hold(true);
    worker.Resume();
    ASSERT_EQ(worker.Post(kNoWindow, "a"), 0);
    ASSERT_EQ(worker.Post(kNoWindow, "b"), 0);
    ASSERT_TRUE(test::WaitFor([&] { return worker.Entered(); }, 5s));
    worker.RequestStop();
    worker.Hold(false);
    EXPECT_EQ(worker.StopAndJoin(), 1);
    EXPECT_EQ(worker.Handled(), (std::vector<std::string>{"a", "b"}));
}

TEST_F(WorkersTest, ExitNotificationCarriesTheObject)
{
    RecordingWorker worker;
    worker.SetNotify(window_, 0x500);
    worker.Resume();
    worker.RequestStop();
    EXPECT_EQ(worker.StopAndJoin(), 1);
    desktop_.Drain();
    auto got = collector_.Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].id, 0x500u);
    EXPECT_EQ(got[0].wparam, reinterpret_cast<std::uintptr_t>(static_cast<cbasethread*>(&worker)));
    EXPECT_EQ(got[0].lparam, kThreadExitMagic);
}

TEST_F(WorkersTest, PeriodicWorkPausesAndResumes)
{
    PeriodicWorker worker(10);
    worker.Resume();
    ASSERT_TRUE(test::WaitFor([&] { return worker.runs.load() >= 5; }, 5s));
    worker.SetPaused(true);
    worker.Wake(); // one round after the pause is taken, then it sleeps
    std::this_thread::sleep_for(200ms); // room for that round on a busy machine
    int paused = worker.runs.load();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(worker.runs.load(), paused);
    worker.SetPaused(false);
    ASSERT_TRUE(test::WaitFor([&] { return worker.runs.load() >= paused + 3; }, 5s));
}

} // namespace
