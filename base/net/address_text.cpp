#include "base/net/address_text.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace varnell {

std::string DottedAddress(std::uint32_t addressBE)
{
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = addressBE;
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
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
