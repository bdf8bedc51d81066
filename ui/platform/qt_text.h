// Texts between Qt and the settings: the single-byte texts of the store and
// the IPv4 addresses the pages show as dotted text.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>

namespace varnell {

// The first maxBytes bytes of text in UTF-8, never splitting a character.
std::string CutText(const QString& text, std::size_t maxBytes);
QString ToQt(const std::string& text);

// A dotted IPv4 text as inet_addr reads it (network byte order); text that is
// not an address gives 255.255.255.255.
std::uint32_t AddressFromText(const QString& text);
QString AddressText(std::uint32_t addressBE);

} // namespace varnell
