// The two ways a thread is woken. A thread that waits on a condition waits on
// an AutoResetEvent; a thread blocked in poll() has a WakeFd among its
// descriptors. Nothing else wakes a thread: no self-pipe, no short poll that
// only looks at a stop flag.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace varnell {

// An auto-reset event: Set wakes one waiter (or the next one to wait), and the
// event resets itself as that waiter passes. Used as the scheduler's wake event
// and each alert worker's wake event.
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

// A wake for a thread blocked in poll(): the thread polls Fd() for POLLIN and
// calls Clear() when it is readable. Set() is one write(2) and keeps errno, so
// a signal handler may call it.
class WakeFd {
public:
    WakeFd() = default;
    ~WakeFd() { Close(); }
    WakeFd(const WakeFd&) = delete;
    WakeFd& operator=(const WakeFd&) = delete;

    // false when the system gave no descriptor. Opening one that is open keeps it.
    bool Open();
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    void Set() const;
    void Clear() const;

private:
    int fd_ = -1;
};

} // namespace varnell
