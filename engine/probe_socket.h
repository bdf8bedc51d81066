// The probe socket: the one IPv4 UDP socket on which every DNS query is sent and
// every reply received (RFC 1035 over UDP), and the scheduler's wake event.
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

// Opens the probe socket into Engine().probeSocket, bound to port on all local
// addresses (0: any port). Failures are reported to the event list and start-up
// goes on with what could be set up.
int OpenProbeSocket(std::uint16_t port = 53);

// Closes the probe socket (shutdown). Safe to call twice.
void CloseProbeSocket();

// The wake event is Engine().wake, a process-local auto-reset event that exists
// with the engine state; nothing can fail here. Returns 0.
int CreateWakeEvent();

// The port the probe socket is bound to (host byte order), or 0.
std::uint16_t ProbeSocketPort();

// Bytes the kernel holds for the probe socket's unread datagrams (as it charges
// them: a small datagram costs far more than its length) and the most it will
// hold before it drops. False when there is no socket.
bool ProbeSocketBacklog(std::uint32_t& queued, std::uint32_t& capacity);

} // namespace varnell
