#include "probe/probe_socket.h"

#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "dns/peer_address.h"
#include "probe/engine.h"

namespace varnell {

namespace {

void Report(const char* format, int value)
{
    char text[128];
    std::snprintf(text, sizeof text, format, value);
    ReportEngineMessage(text);
}

// Opens one probe socket of family into slot. The IPv6 one takes IPv6 only, so
// the two never share a port's datagrams.
int OpenOne(int family, std::uint16_t port, std::atomic<int>& slot)
{
    const int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (family == AF_INET6 && errno == EAFNOSUPPORT)
            return kProbeSocketOk;
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
    // The kernel stamps each datagram as it arrives, so the reader may take
    // replies in batches, some milliseconds later, without lengthening a round
    // trip. Without stamps (never on Linux) the reader's own reading is used.
    const int stamp = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &stamp, sizeof stamp);
    slot.store(fd);

    // No SO_REUSEADDR: a second copy of the program, or a DNS server on the port,
    // must make this bind fail rather than share the replies.
    PeerAddress any{};
    if (family == AF_INET6) {
        const int only = 1;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
        any = Ipv6Peer(Address6{}, htons(port));
    } else {
        any = Ipv4Peer(htonl(INADDR_ANY), htons(port));
    }
    if (bind(fd, any.Address(), any.Length()) != 0) {
        Report("bind port %d failed! maybe other dns server is running", port);
        return kProbeSocketNotBound;
    }
    return kProbeSocketOk;
}

void CloseOne(std::atomic<int>& slot)
{
    const int fd = slot.exchange(-1);
    if (fd < 0)
        return;
    shutdown(fd, SHUT_RDWR); // wakes a receive in progress at once
    close(fd);
}

std::uint16_t PortOf(int fd)
{
    PeerAddress local{};
    socklen_t len = sizeof local;
    if (fd < 0 || getsockname(fd, local.Address(), &len) != 0)
        return 0;
    return ntohs(local.PortBE());
}

} // namespace

int OpenProbeSocket(std::uint16_t port)
{
    const int v4 = OpenOne(AF_INET, port, Engine().probeSocket);
    const int v6 = OpenOne(AF_INET6, port, Engine().probeSocket6);
    return v4 != kProbeSocketOk ? v4 : v6;
}

void CloseProbeSocket()
{
    CloseOne(Engine().probeSocket);
    CloseOne(Engine().probeSocket6);
}

void SetProbeReceiveBuffer(int size)
{
    for (const int fd : {Engine().probeSocket.load(), Engine().probeSocket6.load()})
        if (fd >= 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

int CreateWakeEvent() { return 0; }

std::uint16_t ProbeSocketPort() { return PortOf(Engine().probeSocket.load()); }
std::uint16_t ProbeSocket6Port() { return PortOf(Engine().probeSocket6.load()); }

} // namespace varnell

namespace varnell {

bool ProbeSocketBacklog(std::uint32_t& queued, std::uint32_t& capacity)
{
    bool any = false;
    for (const int fd : {Engine().probeSocket.load(), Engine().probeSocket6.load()}) {
        std::uint32_t info[SK_MEMINFO_VARS] = {};
        socklen_t len = sizeof info;
        if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) != 0 ||
            len < sizeof(std::uint32_t) * (SK_MEMINFO_RCVBUF + 1) || info[SK_MEMINFO_RCVBUF] == 0)
            continue;
        const std::uint64_t q = info[SK_MEMINFO_RMEM_ALLOC], c = info[SK_MEMINFO_RCVBUF];
        // The fuller one: q / c above queued / capacity.
        if (!any || q * capacity > std::uint64_t{queued} * c) {
            queued = static_cast<std::uint32_t>(q);
            capacity = static_cast<std::uint32_t>(c);
        }
        any = true;
    }
    return any;
}

} // namespace varnell
