// Record data of the types whose answers an item reads for their content, and
// its standard presentation form:
// - TXT (RFC 1035 3.3.14; character-strings quoted with the escapes of 5.1),
// - SRV (RFC 2782: priority weight port target),
// - CAA (RFC 8659 4.1: flags tag "value"),
// - HTTPS (RFC 9460 2.1 and 7: SvcPriority TargetName SvcParams),
// - DNSKEY (RFC 4034 2.2: flags protocol algorithm key, key tag of appendix B),
// - DS (RFC 4034 5.3: key-tag algorithm digest-type digest),
// - RRSIG (RFC 4034 3.2), read for the expiry of the signatures over an answer.
//
// Data is kept as its wire form with every name in it written out without
// compression (RFC 3597 4: SRV, HTTPS and RRSIG names may not be compressed, but
// a reader takes a pointer all the same), so that its text can be made at any
// later time without the message it came in. The texts follow the form the
// usual command-line resolver prints, so that an operator can paste its output
// as an expected value: base64 and hexadecimal fields are cut into pieces of 56
// characters separated by one space, names end in ".".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace varnell {

inline constexpr std::uint16_t kTypeTxt = 16;
inline constexpr std::uint16_t kTypeSrv = 33;
inline constexpr std::uint16_t kTypeDs = 43;
inline constexpr std::uint16_t kTypeRrsig = 46;
inline constexpr std::uint16_t kTypeDnskey = 48;
inline constexpr std::uint16_t kTypeHttps = 65;
inline constexpr std::uint16_t kTypeCaa = 257;

// True for the types whose data is stored as expanded wire form (the list above).
bool HasContentData(std::uint16_t type);

// Copies the data of a record of type, at message[at, at + length), into out with
// its names expanded. Returns the bytes written, or 0 when the data is malformed
// for its type (a name that does not decode, a field cut short) or out is too
// small; a type with empty data is malformed. The message is read only through
// the checked reader.
std::size_t ExpandRecordData(std::uint16_t type, std::span<const std::uint8_t> message, std::size_t at,
                             std::size_t length, std::span<std::uint8_t> out);

// Stores the data of a record of type (one HasContentData names) at
// names[cursor]: expanded, or as received when it does not read as its type,
// then a 0 byte; an SRV record's target follows as dotted text (its offset is
// SrvTargetOffset), for the gathering of its addresses. storedLength gets the
// length stored. false, and nothing written, when names has no room.
bool StoreContentData(std::uint16_t type, std::span<const std::uint8_t> message, std::size_t at, std::size_t length,
                      std::span<char> names, std::uint32_t& cursor, std::uint16_t& storedLength);
inline std::uint32_t SrvTargetOffset(std::uint32_t data, std::uint16_t storedLength)
{
    return data + storedLength + 1;
}

// The reply detail's line for a record of type with this stored data:
// "     CAA : 0 issue \"ca.example\"\r\n", a DNSKEY with its key tag.
std::string RecordDetailLine(std::uint16_t type, std::span<const std::uint8_t> data);

// Presentation text of expanded data of type. pieces: cut base64 and hexadecimal
// fields as the resolver prints them (false: in one piece, the form answers are
// compared in). Data that does not read as its type gives "\# length hex"
// (RFC 3597 5), so every stored record has a text.
std::string RecordDataText(std::uint16_t type, std::span<const std::uint8_t> data, bool pieces = true);

// RFC 4034 appendix B key tag of DNSKEY data (wire form).
std::uint16_t DnskeyKeyTag(std::span<const std::uint8_t> data);

// What the answer evaluation needs of an RRSIG: the type it covers and its
// validity window (RFC 4034 3.1.5: serial number arithmetic of RFC 1982 on 32
// bits, resolved here to the window closest to now).
struct SignatureTimes {
    std::uint16_t typeCovered = 0;
    std::int64_t inception = 0;  // seconds since 1970
    std::int64_t expiration = 0; // seconds since 1970
};
// false when the data is too short for an RRSIG.
bool ReadSignatureTimes(std::span<const std::uint8_t> data, std::int64_t now, SignatureTimes& out);

// Calendar seconds as UTC text in a strftime format (RRSIG times, expiry texts).
std::string UtcTimeText(std::int64_t seconds, const char* format);

// A domain name in wire form (uncompressed) at data[at] as presentation text with
// the final "."; "." for the root. RFC 1035 5.1 escapes for dots, quotes and
// bytes outside printable ASCII. consumed gets the bytes the name occupies; 0
// when it runs past the data.
std::string WireNameText(std::span<const std::uint8_t> data, std::size_t at, std::size_t& consumed);

} // namespace varnell
