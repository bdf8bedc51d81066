// Process-wide engine state shared by start-up, the scheduler, the receiver and
// shutdown.
//
// Who touches what: exitFlag and serviceStopped are written by the user-interface
// thread and read by the engine threads (atomics, no lock). probeSocket and
// probeSocket6 are set at start-up before the threads start and closed at
// shutdown to end the receiver's wait. The windows are registered by the
// user-interface thread before the engine threads start.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "base/ui_channel.h"
#include "base/wake_event.h"

namespace varnell {

struct EngineState {
    std::atomic<std::uint32_t> exitFlag{0};
    std::atomic<std::uint8_t> serviceStopped{0};
    AutoResetEvent wake;
    std::atomic<int> probeSocket{-1};
    std::atomic<int> probeSocket6{-1};             // -1 also on a machine without IPv6
    std::atomic<WindowId> resultWindow{kNoWindow}; // receives WM_DNS_RESULT
    std::atomic<WindowId> eventWindow{kNoWindow};  // receives WM_EVENT_MESSAGE
    std::uint32_t localAddressBE = 0;              // first IPv4 address of this host
    std::thread receiver;
    std::thread scheduler;
};

EngineState& Engine();

// Milliseconds of a monotonic clock, 32-bit and wrapping about every 49.7 days.
// Never compare two ticks directly: a time just past the wrap is a small number.
// Ask TickReached, which looks at the signed difference.
std::uint32_t TickCount();

// True once now has reached t: (now - t) as a signed 32-bit difference is not
// negative. Holds across the wrap for times less than 2^31 ms (24.8 days) apart.
inline bool TickReached(std::uint32_t now, std::uint32_t t) { return static_cast<std::int32_t>(now - t) >= 0; }

// Where TickCount comes from: a source (nullptr: the monotonic clock) plus an
// offset. Tests set either to put the tick just before, at or after 2^32. The
// program itself reads a start offset once, at the first TickCount, from the
// environment variable VARNELL_TICK_OFFSET_MS (decimal ms; a test hook, so an
// end-to-end test can make the real program's tick wrap shortly after start).
using TickSource = std::uint32_t (*)();
void SetTickSource(TickSource source);
void SetTickOffset(std::uint32_t offset);

// The first IPv4 address (network byte order) of this host's own name, or
// 127.0.0.1 when the name cannot be looked up.
std::uint32_t LookUpLocalAddress();

// Adds a row to the event list (no item, kind 0, now) from any thread: it is
// posted to the event window and added there on the user-interface thread.
void ReportEngineMessage(std::string text);

// Signals the wake event; returns 1.
int WakeScheduler();

} // namespace varnell
