// Socket waits that a stop request can cut short. The mail session and the
// network message client block their worker thread on one socket at a time;
// without this, a server that accepts the connection and then says nothing
// holds the worker (and so the exit) for the whole reply time-out.
#pragma once

#include <cstdint>
#include <functional>

namespace varnell {

// Asked between short slices of a wait; true ends the wait at once. An empty
// check never stops.
using StopCheck = std::function<bool()>;

enum class SocketWait { kReady, kTimedOut, kStopped, kError };

// Waits up to waitMs for events (POLLIN/POLLOUT) on fd, looking at stop at
// least every kStopSliceMs. kError leaves errno as poll set it.
SocketWait WaitForSocket(int fd, short events, std::uint32_t waitMs, const StopCheck& stop);

// How long a stop request may go unnoticed by a waiting session.
inline constexpr std::uint32_t kStopSliceMs = 50;

} // namespace varnell
