// Giving freed memory back to the system. The allocator keeps what a burst of
// allocations freed resident for reuse, in the arena of the thread that made
// them; a thread that does its burst once (the store's load at start-up) or
// now and then (the history file's writer, which lives for one save) would
// hold those pages for the rest of the run.
#pragma once

namespace varnell {

// Returns the free pages of every arena. Takes each arena's lock in turn, for
// about a millisecond in all: call it after a burst, never per result.
void ReturnFreedMemory();

// Has every block of kLargeBlock bytes or more mapped on its own and unmapped
// when freed, from now on. The allocator otherwise raises that bound to the
// largest block freed so far and serves the next such blocks from the arena,
// where they stay resident: a metrics page of a full table (megabytes, built
// on every scrape) would keep its pages in the server thread's arena for good.
// Call once, first thing in main.
inline constexpr int kLargeBlock = 256 * 1024;
void KeepLargeBlocksMapped();

} // namespace varnell
