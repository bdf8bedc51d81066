// The alert worker framework: a thread with a stop and a pause flag
// (cbasethread), a timing loop driven by an auto-reset wake event
// (ceventthread), and a bounded ring queue of 2048 entries fed by the
// user-interface thread (cnotifythread). Each alert worker derives from
// cnotifythread, keeps its own NotifyRing<Entry> and drains it in Process.
//
// Who touches what:
//  - stop_, paused_: written by the owner (user-interface thread), read by the
//    worker; single-byte atomics, no lock.
//  - lastRun_: written by the worker after each Process, cleared by Wake from
//    any producer; atomic.
//  - writeIndex_: advanced only by producers under queueLock_; the worker
//    reads it without the lock (acquire) and so sees each entry complete.
//  - readIndex_: advanced only by the worker, after it has freed the entry;
//    producers read it (acquire) under queueLock_ to test for a full ring.
//  - ring entries: slot [writeIndex_] belongs to the producer holding the lock,
//    slots from readIndex_ up to writeIndex_ belong to the worker.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "base/thread_end.h"
#include "base/ui_channel.h"
#include "base/wake_event.h"

namespace varnell {

// Second parameter of the exit notification.
inline constexpr std::intptr_t kThreadExitMagic = 0x12345678;

class cbasethread {
public:
    cbasethread();
    cbasethread(const cbasethread&) = delete;
    cbasethread& operator=(const cbasethread&) = delete;
    // Stop the worker with StopAndJoin first. A worker whose thread could not be
    // joined (StopAndJoin returned 2) must never be destroyed: its thread still
    // runs on the object until the process ends.
    virtual ~cbasethread();

    virtual int Run();
    virtual int OnExit();
    virtual int OnInit();
    virtual void Process();
    virtual void Wake();
    virtual void RequestStop();
    virtual void SetPaused(bool paused);

    // Starts the thread (it is created "suspended": nothing runs before this).
    // Returns 1 when started, 0 when it already was.
    int Resume();
    // Waits up to kJoinWaitMs for the thread. 0: there was no thread; 1: it
    // ended and was joined; 2: it did not end and was left to end with the
    // process (a thread cannot be killed safely here).
    int StopAndJoin();

    bool StopRequested() const { return stop_.load(std::memory_order_acquire) != 0; }
    bool Paused() const { return paused_.load(std::memory_order_acquire) != 0; }
    // The value the thread routine returned (OnExit), once it has ended.
    int ExitCode() const { return exitCode_.load(std::memory_order_acquire); }

    // Posted when Run ends, if both are set: w = this object, l = kThreadExitMagic.
    void SetNotify(WindowId window, std::uint32_t message)
    {
        notifyWindow_ = window;
        notifyMessage_ = message;
    }

protected:
    void PostExitNotification();

    WindowId notifyWindow_ = kNoWindow;
    std::uint32_t notifyMessage_ = 0;
    std::atomic<std::uint8_t> stop_{0};
    std::atomic<std::uint8_t> paused_{0};
    std::uint32_t interval_ = 0; // milliseconds; 0 = no periodic work

private:
    void ThreadMain();

    std::thread thread_;
    std::thread::id threadId_;
    ThreadEndMark end_;
    std::atomic<int> exitCode_{0};
};

class ceventthread : public cbasethread {
public:
    ceventthread();
    ~ceventthread() override;

    int Run() override;
    void Wake() override;
    void RequestStop() override;
    void SetPaused(bool paused) override;

protected:
    // How long a worker without an interval sleeps when nobody wakes it:
    // without timed work of its own (the mail worker's retries), for ever.
    virtual std::uint32_t IdleWaitMs() { return UINT32_MAX; }

    AutoResetEvent wakeEvent_{true}; // created signalled: the first loop runs at once
    std::atomic<std::uint32_t> lastRun_{0}; // tick of the last Process; 0 = never
};

inline constexpr std::uint32_t kQueueSize = 2048;

// The ring a worker keeps; Entry must have a `WindowId reply` member and be
// default-constructible (a default entry owns nothing).
template <class Entry>
using NotifyRing = std::array<Entry, kQueueSize>;

class cnotifythread : public ceventthread {
public:
    cnotifythread();
    ~cnotifythread() override;

    // Entries waiting in the ring (for tests and diagnostics).
    std::uint32_t Pending() const
    {
        std::uint32_t w = writeIndex_.load(std::memory_order_acquire);
        std::uint32_t r = readIndex_.load(std::memory_order_acquire);
        return (w + kQueueSize - r) % kQueueSize;
    }

protected:
    // The queue protocol of every worker's Post: under the queue lock, a full
    // ring (write + 1 == read) drops the entry and returns -1; otherwise the
    // entry is moved into slot [write], write advances, the worker is woken and
    // 0 is returned. At most kQueueSize - 1 entries are ever queued.
    template <class Entry>
    int Enqueue(NotifyRing<Entry>& ring, Entry&& entry)
    {
        std::lock_guard lock(queueLock_);
        std::uint32_t w = writeIndex_.load(std::memory_order_relaxed);
        std::uint32_t next = (w + 1) % kQueueSize;
        if (next == readIndex_.load(std::memory_order_acquire))
            return -1;
        ring[w] = std::move(entry);
        writeIndex_.store(next, std::memory_order_release);
        Wake();
        return 0;
    }

    // The common shape of Process: while entries wait (and, if honourStop,
    // while no stop was requested) call handle(entry, nextReadIndex), which
    // returns the completion message; free the entry, advance the read index,
    // and post the completion message to the entry's reply window if it has
    // one. The completion's id 0 means "post nothing".
    template <class Entry, class Handler>
    void Drain(NotifyRing<Entry>& ring, bool honourStop, Handler&& handle)
    {
        for (;;) {
            if (honourStop && StopRequested())
                return;
            std::uint32_t r = readIndex_.load(std::memory_order_relaxed);
            if (r == writeIndex_.load(std::memory_order_acquire))
                return;
            std::uint32_t next = (r + 1) % kQueueSize;
            WindowMessage done = handle(ring[r], next);
            WindowId reply = ring[r].reply;
            ring[r] = Entry{};
            readIndex_.store(next, std::memory_order_release);
            if (reply != kNoWindow && done.id != 0)
                GetUiChannel().Post(reply, std::move(done));
        }
    }

    // WM_ACTION_DONE for the entry whose successor is nextReadIndex.
    static WindowMessage ActionDone(std::uint32_t nextReadIndex, int result)
    {
        return MakeMessage(WM_ACTION_DONE, nextReadIndex, result);
    }

    std::recursive_mutex queueLock_; // taken only by producers
    std::atomic<std::uint32_t> writeIndex_{0};
    std::atomic<std::uint32_t> readIndex_{0};
};

} // namespace varnell
