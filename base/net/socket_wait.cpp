#include "base/net/socket_wait.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>

namespace varnell {

SocketWait WaitForSocket(int fd, short events, std::uint32_t waitMs, const StopCheck& stop)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        if (stop && stop())
            return SocketWait::kStopped;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return SocketWait::kTimedOut;
        const auto slice = stop ? std::min<long long>(left, kStopSliceMs) : std::min<long long>(left, 0x7FFFFFFF);
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(slice));
        if (rc > 0)
            return SocketWait::kReady; // errors and hang-ups surface in the following recv/send
        if (rc < 0 && errno != EINTR)
            return SocketWait::kError;
    }
}

} // namespace varnell
