// IP addresses as text: dotted IPv4 and RFC 5952 IPv6, the one writer and
// reader every list, event text, stored text and dialog goes through.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/net/ip_address.h"

namespace varnell {

// Dotted text of an IPv4 address held in network byte order ("192.0.2.1").
std::string DottedAddress(std::uint32_t addressBE);

// RFC 5952 text ("2001:db8::1").
std::string Address6Text(const Address6& address);

// Reads IPv6 text into out; false (out untouched) for anything else.
bool ReadAddress6(std::string_view text, Address6& out);

} // namespace varnell
