// An auto-reset event: Set wakes one waiter (or the next one to wait), and the
// event resets itself as that waiter passes. Used as the scheduler's wake event
// and each alert worker's wake event.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace varnell {

class AutoResetEvent {
public:
    explicit AutoResetEvent(bool signalled = false) : signalled_(signalled) {}

    void Set()
    {
        {
            std::lock_guard lock(mutex_);
            signalled_ = true;
        }
        cv_.notify_one();
    }
    // Waits up to ms milliseconds (UINT32_MAX: no limit). True when signalled.
    bool Wait(std::uint32_t ms)
    {
        std::unique_lock lock(mutex_);
        auto ready = [this] { return signalled_; };
        bool got = ms == UINT32_MAX ? (cv_.wait(lock, ready), true)
                                    : cv_.wait_for(lock, std::chrono::milliseconds(ms), ready);
        if (got)
            signalled_ = false;
        return got;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_;
};

} // namespace varnell
