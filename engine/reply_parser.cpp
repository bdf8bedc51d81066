#include "engine/reply_parser.h"

namespace varnell {

ReplyOutcome ProcessReply(std::span<const std::uint8_t>, const sockaddr_in&, std::uint32_t) { return {}; }
ParseStatus ParseRecords(ItemBlock&, ByteReader&, std::uint32_t, std::uint32_t&, std::uint32_t)
{
    return ParseStatus::Malformed;
}
int CollectAnswers(DnsItem&, ItemBlock&, std::uint32_t, const char*, std::uint16_t, std::uint32_t) { return 0; }
std::uint32_t ResolveName(const ItemBlock&, std::uint32_t, const char*, std::uint16_t) { return 0; }
void AddUniqueAddress(ItemBlock&, std::uint32_t) {}
void SortAnswers(ItemBlock&) {}
const char* NamesText(const ItemBlock&, std::uint32_t) { return ""; }

} // namespace varnell
