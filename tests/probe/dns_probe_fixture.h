// A fixture for the query and reply tests: a fresh item and request table, and
// every query the engine sends captured instead of going to a socket.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>

#include "items/address6.h"
#include "items/item_table.h"
#include "probe/case_memory.h"
#include "probe/query_entropy.h"
#include "probe/reply_parser.h"
#include "probe/request_table.h"

namespace varnell::test {

struct SentQuery {
    std::vector<std::uint8_t> bytes;
    PeerAddress to{};
    std::uint16_t Id() const { return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8)); }
};

inline std::vector<SentQuery>& SentQueries()
{
    static std::vector<SentQuery> sent;
    return sent;
}
inline bool& FailSends()
{
    static bool fail = false;
    return fail;
}
inline ssize_t CaptureQuery(const std::uint8_t* bytes, std::size_t length, const PeerAddress& to)
{
    if (FailSends())
        return -1;
    SentQueries().push_back({std::vector<std::uint8_t>(bytes, bytes + length), to});
    return static_cast<ssize_t>(length);
}

inline std::uint32_t Ipv4(const char* dotted)
{
    in_addr addr{};
    inet_pton(AF_INET, dotted, &addr);
    return addr.s_addr;
}
inline std::string Dotted(std::uint32_t addrBE)
{
    char text[INET_ADDRSTRLEN] = {};
    in_addr addr{};
    addr.s_addr = addrBE;
    inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}
// An IPv4 or (with a colon) IPv6 address and a port.
inline PeerAddress Endpoint(const char* address, std::uint16_t port)
{
    Address6 a6{};
    if (inet_pton(AF_INET6, address, a6.bytes) == 1)
        return Ipv6Peer(a6, htons(port));
    return Ipv4Peer(Ipv4(address), htons(port));
}

class DnsProbeTest : public ::testing::Test {
protected:
    static constexpr std::uint32_t kSlot = 0;
    static constexpr std::uint32_t kNow = 100000;

    // Replies are built from the identifier and question as the test knows them,
    // so queries are not randomised here (the identifier is the slot, the name
    // keeps its case); the tests of the randomisation turn it back on.
    void SetUp() override
    {
        InitItemTable();
        ResetRequestTable();
        ResetCaseMemory();
        SentQueries().clear();
        FailSends() = false;
        SetQuerySendHook(&CaptureQuery);
        SetQueryRandomisation(false);
    }
    void TearDown() override
    {
        SetQuerySendHook(nullptr);
        SetQueryRandomisation(true);
    }

    DnsItem& Item() { return LockItems()->items[kSlot]; }
    ItemBlock& Block() { return LockItems()->blocks[kSlot]; }

    // A live item asking server (IPv4 or IPv6, port 53) for domain with the given
    // record type.
    DnsItem& MakeItem(const std::string& domain, std::uint32_t typeIndex, const char* server = "127.0.0.1",
                      std::uint16_t port = 53)
    {
        ItemEdit edit;
        edit.interval = 1000;
        edit.timeout = 2000;
        edit.serverBE = Ipv4(server);
        edit.server6 = ParseServer6(server, edit.server6Address).empty();
        edit.typeIndex = typeIndex;
        edit.name = "test item";
        edit.domain = domain;
        EXPECT_TRUE(CommitNewItem(kSlot, edit));
        Item().server.portBE = htons(port);
        return Item();
    }

    // What the scheduler does for a due item; returns the request slot.
    std::uint32_t SendPrimary(std::uint32_t now = kNow, std::uint32_t itemSlot = kSlot)
    {
        std::lock_guard lock(EngineLock());
        DnsItem& item = LockItems()->items[itemSlot];
        const int s = AllocRequestSlot();
        EXPECT_GE(s, 0);
        const auto slotIndex = static_cast<std::uint32_t>(s);
        RequestSlot& slot = LockRequests()[slotIndex];
        slot.destination = ServerPeer(item);
        slot.limit = item.flags & kFlagSendLimitMask;
        slot.queryTypeBE = htons(RecordQueryType(item.typeIndex));
        slot.itemSlot = itemSlot;
        item.requestId = slotIndex;
        const std::uint32_t length = BuildAndSendQuery(slotIndex, item, false, true);
        EXPECT_NE(length, 0u);
        slot.queryLength = length;
        RaiseOutstanding(item);
        ArmRequestSlot(slot, now, item.timeout);
        return slotIndex;
    }

    ReplyOutcome Reply(const std::vector<std::uint8_t>& bytes, const PeerAddress& from)
    {
        return ProcessReply(bytes, from, kNow + 20);
    }
    ReplyOutcome Reply(const std::vector<std::uint8_t>& bytes) { return Reply(bytes, ServerPeer(Item())); }

    std::vector<std::string> Answers()
    {
        std::vector<std::string> out;
        for (std::uint32_t i = 0; i < Block().answerCount; ++i)
            out.push_back(Dotted(Block().answers[i].addrBE));
        return out;
    }
};

} // namespace varnell::test
