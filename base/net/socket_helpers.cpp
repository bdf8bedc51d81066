#include "base/net/socket_helpers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace varnell {

std::string LocalHostName()
{
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return {};
    return host;
}

bool LookUpIPv4(const std::string& name, std::uint32_t& addressBE)
{
    in_addr dotted{};
    if (inet_pton(AF_INET, name.c_str(), &dotted) == 1) {
        addressBE = dotted.s_addr;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (name.empty() || getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0 || list == nullptr)
        return false;
    bool found = false;
    for (addrinfo* ai = list; ai != nullptr && !found; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in sin{};
            std::memcpy(&sin, ai->ai_addr, sizeof sin);
            addressBE = sin.sin_addr.s_addr;
            found = true;
        }
    }
    freeaddrinfo(list);
    return found;
}

SocketWait ConnectWithin(int fd, const sockaddr_in& to, std::uint32_t waitMs, const StopCheck& stop, int& error)
{
    error = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
        return SocketWait::kReady;
    if (errno != EINPROGRESS) {
        error = errno;
        return SocketWait::kError;
    }
    const SocketWait ready = WaitForSocket(fd, POLLOUT, waitMs, stop);
    if (ready != SocketWait::kReady) {
        error = errno;
        return ready;
    }
    int soError = 0;
    socklen_t length = sizeof soError;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0 || soError != 0) {
        error = soError != 0 ? soError : errno;
        return SocketWait::kError;
    }
    return SocketWait::kReady;
}

} // namespace varnell
