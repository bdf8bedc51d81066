// What the socket clients share: the local host name, looking a name up to an
// IPv4 address, and a TCP connect that gives up after a time limit.
#pragma once

#include <cstdint>
#include <string>

#include "base/net/socket_wait.h"

struct sockaddr_in;

namespace varnell {

// This computer's name as gethostname gives it; empty when it has none.
std::string LocalHostName();

// The first IPv4 address (network byte order) of a dotted address or a host
// name. false when the name is empty or the resolver knows no IPv4 address.
bool LookUpIPv4(const std::string& name, std::uint32_t& addressBE);

// Connects the non-blocking TCP socket fd to `to`, waiting at most waitMs (and
// no longer than stop allows): an unanswered SYN would otherwise hold the
// calling worker for minutes. kReady once connected; kError with error set to
// why the connect failed; kTimedOut or kStopped when the wait ended first.
SocketWait ConnectWithin(int fd, const sockaddr_in& to, std::uint32_t waitMs, const StopCheck& stop, int& error);

} // namespace varnell
