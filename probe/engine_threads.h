// Starting and stopping the engine threads (the reply receiver and the probe
// scheduler) with a bounded wait for each.
#pragma once

#include <cstdint>
#include <thread>

#include "base/thread_end.h"

namespace varnell {

enum EngineThreadId : int { kReceiverThread = 0, kSchedulerThread = 1, kEngineThreadCount = 2 };

// Runs body on a new thread and records when it returns, so the shutdown can
// wait for it with a time limit.
std::thread LaunchEngineThread(EngineThreadId which, int (*body)());

// Waits up to ms for the thread to end and joins it; a thread that does not end
// in time is detached (Linux cannot terminate one thread) and ends with the
// process. True when it ended.
bool FinishEngineThread(std::thread& thread, EngineThreadId which, std::uint32_t ms);

// Shutdown of the engine: sets the exit flag, wakes the scheduler, shuts the
// probe socket down so the receiver ends at once, waits up to kJoinWaitMs for each
// thread, then closes the socket. A Send the receiver is blocked in must have
// been released first (UiChannel::ReleaseWaiters). Returns how many threads ended.
int StopEngineThreads(std::uint32_t waitMs = kJoinWaitMs);

} // namespace varnell
