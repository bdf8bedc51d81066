// The probe sockets: the IPv4 UDP socket and the IPv6 one on which every DNS
// query is sent and every reply received (RFC 1035 over UDP), and the
// scheduler's wake event.
#pragma once

#include <cstdint>

namespace varnell {

// Socket set-up results.
enum ProbeSocketStatus : int {
    kProbeSocketOk = 0,
    kProbeSocketNoLayer = -1,  // kept for the result values; Linux has no layer to start
    kProbeSocketNoSocket = -2,
    kProbeSocketNotBound = -3, // open, but on a port the system chooses at the first send
};

inline constexpr int kProbeSocketBuffer = 524288;

// Opens the probe sockets into Engine().probeSocket and Engine().probeSocket6,
// bound to port on all local addresses of their family (0: any port). Failures
// are reported to the event list and start-up goes on with what could be set
// up; the result is the IPv4 socket's, or the IPv6 one's when only that failed.
// A machine without IPv6 has no IPv6 socket and no message about it: its IPv6
// items fail to send, the others are not touched.
int OpenProbeSocket(std::uint16_t port = 53);

// Closes the probe sockets (shutdown). Safe to call twice.
void CloseProbeSocket();

// Asks for this receive buffer on both probe sockets (the program's option).
void SetProbeReceiveBuffer(int size);

// The wake event is Engine().wake, a process-local auto-reset event that exists
// with the engine state; nothing can fail here. Returns 0.
int CreateWakeEvent();

// The port the IPv4 (IPv6) probe socket is bound to (host byte order), or 0.
std::uint16_t ProbeSocketPort();
std::uint16_t ProbeSocket6Port();

// Bytes the kernel holds for a probe socket's unread datagrams (as it charges
// them: a small datagram costs far more than its length) and the most it will
// hold before it drops, for the fuller of the two sockets. False when there is
// no socket.
bool ProbeSocketBacklog(std::uint32_t& queued, std::uint32_t& capacity);

} // namespace varnell
