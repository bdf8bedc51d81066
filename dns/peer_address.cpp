#include "dns/peer_address.h"

#include <cstring>

namespace varnell {

bool operator==(const PeerAddress& a, const PeerAddress& b)
{
    if (a.Family() != b.Family() || a.PortBE() != b.PortBE())
        return false;
    if (a.Family() == AF_INET)
        return a.v4.sin_addr.s_addr == b.v4.sin_addr.s_addr;
    if (a.Family() == AF_INET6)
        return std::memcmp(&a.v6.sin6_addr, &b.v6.sin6_addr, sizeof a.v6.sin6_addr) == 0 &&
               a.v6.sin6_scope_id == b.v6.sin6_scope_id;
    return true;
}

std::uint64_t MixPeer(std::uint64_t hash, const PeerAddress& peer)
{
    auto mix = [&hash](const void* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            hash ^= static_cast<const std::uint8_t*>(p)[i];
            hash *= 0x100000001b3u;
        }
    };
    const sa_family_t family = peer.Family();
    const std::uint16_t port = peer.PortBE();
    mix(&family, sizeof family);
    mix(&port, sizeof port);
    if (family == AF_INET6)
        mix(&peer.v6.sin6_addr, sizeof peer.v6.sin6_addr);
    else
        mix(&peer.v4.sin_addr, sizeof peer.v4.sin_addr);
    return hash;
}

std::size_t PeerHash::operator()(const PeerAddress& peer) const
{
    return static_cast<std::size_t>(MixPeer(0xcbf29ce484222325u, peer));
}

PeerAddress Ipv4Peer(std::uint32_t addrBE, std::uint16_t portBE)
{
    PeerAddress p{};
    p.v4.sin_family = AF_INET;
    p.v4.sin_port = portBE;
    p.v4.sin_addr.s_addr = addrBE;
    return p;
}

PeerAddress Ipv6Peer(const Address6& address, std::uint16_t portBE)
{
    PeerAddress p{};
    p.v6.sin6_family = AF_INET6;
    p.v6.sin6_port = portBE;
    std::memcpy(&p.v6.sin6_addr, address.bytes, sizeof address.bytes);
    return p;
}

} // namespace varnell
