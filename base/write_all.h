// Writing a whole buffer to a descriptor: write() may take less than it is
// given (a signal, a pipe or socket that is full) and says so only by its count.
// For blocking descriptors; a socket with a deadline per step waits on its own.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace varnell {

// The loop behind both: put(data, size) is write() or send() on one descriptor.
template <typename Put>
bool PutAll(std::string_view bytes, Put put)
{
    while (!bytes.empty()) {
        const ssize_t n = put(bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// true once every byte is written; false on an error, errno telling which.
inline bool WriteAll(int fd, std::string_view bytes)
{
    return PutAll(bytes, [fd](const char* data, std::size_t size) { return write(fd, data, size); });
}

// As WriteAll, for a socket: a peer that has gone fails the send instead of
// raising SIGPIPE.
inline bool SendAll(int socket, std::string_view bytes)
{
    return PutAll(bytes, [socket](const char* data, std::size_t size) { return send(socket, data, size, MSG_NOSIGNAL); });
}

} // namespace varnell
