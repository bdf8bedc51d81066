#include "engine/probe_socket.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/engine.h"

namespace varnell {

namespace {

void Report(const char* format, int value)
{
    char text[128];
    std::snprintf(text, sizeof text, format, value);
    ReportEngineMessage(text);
}

} // namespace

int OpenProbeSocket(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ReportEngineMessage("Generate socket error");
        return kProbeSocketNoSocket;
    }
    // The buffers absorb a whole pass's burst of replies; the system may grant less
    // than asked (net.core.rmem_max), which the receiver's own ring makes up for.
    // VARNELL_PROBE_RCVBUF, a measurement hook, asks for less instead: the load
    // benchmark holds the real program to what an unprivileged program commonly
    // gets, without changing the machine's limit under everything else running.
    int size = kProbeSocketBuffer;
    if (const char* asked = std::getenv("VARNELL_PROBE_RCVBUF"); asked != nullptr && std::atoi(asked) > 0)
        size = std::min(std::atoi(asked), kProbeSocketBuffer);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0)
        Report("setsockopt SO_RCVBUF failed! error code is %d", errno);
    size = kProbeSocketBuffer;
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0)
        Report("setsockopt SO_SNDBUF failed! error code is %d", errno);
    Engine().probeSocket.store(fd);

    // No SO_REUSEADDR: a second copy of the program, or a DNS server on the port,
    // must make this bind fail rather than share the replies.
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        Report("bind port %d failed! maybe other dns server is running", port);
        return kProbeSocketNotBound;
    }
    return kProbeSocketOk;
}

void CloseProbeSocket()
{
    const int fd = Engine().probeSocket.exchange(-1);
    if (fd < 0)
        return;
    shutdown(fd, SHUT_RDWR); // wakes a receive in progress at once
    close(fd);
}

int CreateWakeEvent() { return 0; }

std::uint16_t ProbeSocketPort()
{
    const int fd = Engine().probeSocket.load();
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return 0;
    return ntohs(local.sin_port);
}

} // namespace varnell

namespace varnell {

bool ProbeSocketBacklog(std::uint32_t& queued, std::uint32_t& capacity)
{
    const int fd = Engine().probeSocket.load();
    std::uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof info;
    if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) != 0 ||
        len < sizeof(std::uint32_t) * (SK_MEMINFO_RCVBUF + 1))
        return false;
    queued = info[SK_MEMINFO_RMEM_ALLOC];
    capacity = info[SK_MEMINFO_RCVBUF];
    return true;
}

} // namespace varnell
