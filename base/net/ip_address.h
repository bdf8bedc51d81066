// IP addresses as the program holds them.
#pragma once

#include <cstdint>

namespace varnell {

// An IPv6 address as it comes in an AAAA record (RFC 3596 2.2): 16 bytes in
// network order, so comparing the bytes orders the addresses numerically.
struct Address6 {
    std::uint8_t bytes[16];
};
static_assert(sizeof(Address6) == 16);

} // namespace varnell
