// The probe scheduler: one thread that, about once a second, expires pending
// requests whose time is up and sends the primary query of every item that is
// due. It never waits for replies (the receiver handles them) and delivers the
// results it detects itself by posting WM_DNS_RESULT: 16 timed out, 17 send
// failed, and, when a probe's last follow-up query timed out, the code of its
// primary reply.
#pragma once

#include <cstdint>

namespace varnell {

inline constexpr std::uint32_t kSchedulerPeriod = 1000;

// Starts the scheduler thread into Engine().scheduler.
void StartScheduler();

// The thread body; returns 0 once the exit flag is set.
int SchedulerLoop();

// The wait before the next pass, from the pass's start and end ticks: what is left
// of the period, 500 when the pass overran it, at least 200 when little is left.
std::uint32_t NextWait(std::uint32_t passStart, std::uint32_t passEnd);

// Expires the pending requests whose expiry is not later than now. Takes the
// engine lock.
void ScanTimeouts(std::uint32_t now);

// Sends the primary query of every due item; returns how many were due (sent or
// failed). Takes the engine lock per group of items.
std::uint32_t ProbePass(std::uint32_t now);

} // namespace varnell
