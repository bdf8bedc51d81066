// Writing a whole buffer to a descriptor: write() may take less than it is
// given (a signal, a pipe or socket that is full) and says so only by its count.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string_view>
#include <unistd.h>

namespace varnell {

// true once every byte is written; false on an error, errno telling which.
inline bool WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace varnell
