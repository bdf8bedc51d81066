#include "engine/request_table.h"

namespace varnell {

std::array<RequestSlot, kRequestSlots>& RequestTable()
{
    static auto* table = new std::array<RequestSlot, kRequestSlots>();
    return *table;
}
std::uint32_t& RequestCursor()
{
    static std::uint32_t cursor = 0;
    return cursor;
}
void ResetRequestTable() {}
int AllocRequestSlot() { return -1; }
sockaddr_in EndpointAddress(const ItemEndpoint&) { return {}; }
std::uint32_t BuildAndSendQuery(std::uint32_t, DnsItem&, bool, bool, const char*) { return 0; }
void ArmRequestSlot(RequestSlot&, std::uint32_t, std::uint32_t) {}
void RaiseOutstanding(DnsItem&) {}
void LowerOutstanding(DnsItem&) {}
ssize_t SendQueryBytes(const std::uint8_t*, std::size_t, const sockaddr_in&) { return -1; }
void SetQuerySendHook(QuerySendHook) {}

} // namespace varnell
