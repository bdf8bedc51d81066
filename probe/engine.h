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

#include "base/tick.h"
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

// The first IPv4 address (network byte order) of this host's own name, or
// 127.0.0.1 when the name cannot be looked up.
std::uint32_t LookUpLocalAddress();

// Adds a row to the event list (no item, kind 0, now) from any thread: it is
// posted to the event window and added there on the user-interface thread.
void ReportEngineMessage(std::string text);

// Signals the wake event; returns 1.
int WakeScheduler();

} // namespace varnell
