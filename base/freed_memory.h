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

} // namespace varnell
