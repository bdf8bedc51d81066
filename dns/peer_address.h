// The other end of the engine's DNS traffic, IPv4 or IPv6: where a query goes,
// where a reply came from, the server a TCP question connects to. One fixed-size
// record held by value in request slots, the reply ring and the TCP table, so
// neither family costs an allocation or a cast at the place it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

#include "base/net/ip_address.h"

namespace varnell {

struct PeerAddress {
    // Both start with the family and the port, so either may be read through
    // the other. v6 comes first: PeerAddress{} zeroes every byte.
    union {
        sockaddr_in6 v6;
        sockaddr_in v4;
    };

    sa_family_t Family() const { return v4.sin_family; }
    std::uint16_t PortBE() const { return v4.sin_port; }
    const sockaddr* Address() const { return reinterpret_cast<const sockaddr*>(&v6); }
    sockaddr* Address() { return reinterpret_cast<sockaddr*>(&v6); }
    // What connect and sendto are given; recvfrom and getpeername get sizeof(PeerAddress).
    socklen_t Length() const { return Family() == AF_INET6 ? sizeof v6 : sizeof v4; }
};
static_assert(sizeof(PeerAddress) == sizeof(sockaddr_in6));

// Same family, port and address (and, for IPv6, scope): a reply counts only
// from exactly where its query went.
bool operator==(const PeerAddress& a, const PeerAddress& b);

// Folds the family, port and address into a running FNV-1a value.
std::uint64_t MixPeer(std::uint64_t hash, const PeerAddress& peer);
struct PeerHash {
    std::size_t operator()(const PeerAddress& peer) const;
};

PeerAddress Ipv4Peer(std::uint32_t addrBE, std::uint16_t portBE);
PeerAddress Ipv6Peer(const Address6& address, std::uint16_t portBE);

} // namespace varnell
