// Fixed numbers of the DNS message format that the query builder and the
// reply readers share (RFC 1035 4.1.1 header, 3.2.2 TYPE values, 3.2.4 CLASS;
// RFC 3596 for AAAA).
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnell {

inline constexpr std::size_t kDnsHeaderSize = 12;

inline constexpr std::uint16_t kTypeA = 1;
inline constexpr std::uint16_t kTypeNs = 2;
inline constexpr std::uint16_t kTypeCname = 5;
inline constexpr std::uint16_t kTypeSoa = 6;
inline constexpr std::uint16_t kTypePtr = 12;
inline constexpr std::uint16_t kTypeMx = 15;
inline constexpr std::uint16_t kTypeAaaa = 28; // RFC 3596 2.1

inline constexpr std::uint16_t kClassIn = 1;

} // namespace varnell
