// The engine's clock: milliseconds of a monotonic clock as a wrapping 32-bit
// count, and the one way to compare two of them.
#pragma once

#include <cstdint>

namespace varnell {

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

// Nanoseconds of the monotonic clock, for round trips finer than the tick:
// never offset, never replaced by a test's source, so two readings always
// subtract to the time between them.
std::uint64_t MonotonicNs();

// How far the monotonic clock stands from the wall clock now, in ns: added to a
// kernel receive stamp (SO_TIMESTAMPNS, which is wall-clock time) it gives the
// stamp's monotonic reading, to within a microsecond for a stamp taken moments
// ago. Read it once per batch of stamps.
std::int64_t MonotonicMinusWallNs();

} // namespace varnell
