#include "engine/dns_name.h"

namespace varnell {

std::size_t EncodeName(std::string_view, std::span<std::uint8_t>) { return 0; }
bool ValidDomainName(std::string_view) { return false; }
DecodedName DecodeName(std::span<const std::uint8_t>, std::size_t, std::span<char> out)
{
    if (!out.empty())
        out[0] = '\0';
    return {};
}
std::size_t SkipName(std::span<const std::uint8_t>, std::size_t) { return 0; }
bool SameName(std::string_view a, std::string_view b) { return a == b; }

} // namespace varnell
