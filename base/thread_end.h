// Waiting for a thread to end, with a time limit. A thread cannot be ended
// from outside without leaving whatever it holds locked, so one that does not
// end in time is detached and ends with the process: the mark it sets as it
// ends must outlive it (keep it for the life of the process, or never destroy
// the owner of a thread that was detached).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace varnell {

// How long a shutdown waits for each thread.
inline constexpr std::uint32_t kJoinWaitMs = 3000;

class ThreadEndMark {
public:
    // Before the thread starts.
    void Clear()
    {
        std::lock_guard lock(mutex_);
        ended_ = false;
    }
    // The thread's last act.
    void Set()
    {
        {
            std::lock_guard lock(mutex_);
            ended_ = true;
        }
        endedCv_.notify_all();
    }
    // Waits up to waitMs for Set, then joins the thread (true) or, when it has
    // not ended, detaches it (false). The thread must be joinable.
    bool JoinWithin(std::thread& thread, std::uint32_t waitMs = kJoinWaitMs)
    {
        bool ended = false;
        {
            std::unique_lock lock(mutex_);
            ended = endedCv_.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return ended_; });
        }
        if (ended)
            thread.join();
        else
            thread.detach();
        return ended;
    }

private:
    std::mutex mutex_;
    std::condition_variable endedCv_;
    bool ended_ = false;
};

} // namespace varnell
