#include "base/wake_event.h"

#include <cerrno>
#include <sys/eventfd.h>
#include <unistd.h>

namespace varnell {

bool WakeFd::Open()
{
    if (fd_ < 0)
        fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd_ >= 0;
}

void WakeFd::Close()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

void WakeFd::Set() const
{
    const int saved = errno;
    const std::uint64_t one = 1;
    // Non-blocking: a counter that is full is still readable, so nothing is lost.
    [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof one);
    errno = saved;
}

void WakeFd::Clear() const
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(fd_, &count, sizeof count);
}

} // namespace varnell
