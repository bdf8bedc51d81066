// Domain names in the two forms the engine meets: the dotted text an item holds
// and the label form on the wire (RFC 1035 3.1 and 4.1.4; the limits of 2.3.4).
//
// Encoding refuses instead of cutting: a name over 255 octets, a label over 63
// characters or an empty label inside the name gives 0 and writes nothing the
// caller could send. Decoding reads the message only through ByteReader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace varnell {

inline constexpr std::size_t kMaxNameOctets = 255; // label form, length bytes and final 0 included
inline constexpr std::size_t kMaxLabel = 63;
// Longest dotted text a decoded name can give, plus its terminator.
inline constexpr std::size_t kMaxNameText = kMaxNameOctets + 1;

// Writes the label form of name (one trailing "." allowed; "" and "." are the
// root) into out and returns its length including the final 0 byte, or 0 when
// the name is refused or out is too small. On 0 nothing in out is meaningful.
std::size_t EncodeName(std::string_view name, std::span<std::uint8_t> out);

// True when EncodeName accepts the name and it is not the root: what the item
// dialog lets the operator enter.
bool ValidDomainName(std::string_view name);

enum class NameStatus {
    Ok,
    Malformed, // ran past the message, a pointer that does not point back, a reserved
               // label type, or over 255 octets
    NoRoom,    // the output area cannot hold the text
};

struct DecodedName {
    NameStatus status = NameStatus::Malformed;
    std::size_t consumed = 0; // bytes the name occupies at its start (a pointer counts 2)
    std::size_t length = 0;   // text length written, without the terminator
};

// Decodes the name at offset `at` of message into out as dotted text, always
// zero-terminated when out is not empty (also on failure: whatever was gathered,
// complete labels only). The root name gives "".
DecodedName DecodeName(std::span<const std::uint8_t> message, std::size_t at, std::span<char> out);

// Bytes a name occupies at `at` (following no pointer), or 0 when it runs past
// the message or uses a reserved label type.
std::size_t SkipName(std::span<const std::uint8_t> message, std::size_t at);

// Names compare without regard to ASCII letter case; one trailing "." is ignored.
bool SameName(std::string_view a, std::string_view b);

} // namespace varnell
