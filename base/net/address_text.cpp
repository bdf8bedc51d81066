#include "base/net/address_text.h"

#include <arpa/inet.h>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>

namespace varnell {

std::string DottedAddress(std::uint32_t addressBE)
{
    // Written out here rather than by inet_ntop, whose format string costs more
    // than the rest of a result's evaluation that shows one.
    char text[INET_ADDRSTRLEN];
    char* at = text;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&addressBE); // network order: first octet first
    for (int i = 0; i < 4; ++i) {
        if (i != 0)
            *at++ = '.';
        at = std::to_chars(at, text + sizeof text, bytes[i]).ptr;
    }
    return std::string(text, at);
}

std::string Address6Text(const Address6& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    in6_addr a{};
    std::memcpy(&a, address.bytes, sizeof address.bytes);
    inet_ntop(AF_INET6, &a, text, sizeof text);
    return text;
}

// inet_pton wants a terminated text.
bool ReadAddress6(std::string_view text, Address6& out)
{
    char terminated[INET6_ADDRSTRLEN] = {};
    in6_addr a{};
    if (text.empty() || text.size() >= sizeof terminated)
        return false;
    std::memcpy(terminated, text.data(), text.size());
    if (inet_pton(AF_INET6, terminated, &a) != 1)
        return false;
    std::memcpy(out.bytes, &a, sizeof a);
    return true;
}

} // namespace varnell
