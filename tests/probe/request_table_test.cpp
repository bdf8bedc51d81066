#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <set>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "dns/peer_address.h"
#include "dns_probe_fixture.h"
#include "probe/engine.h"
#include "tests/support/process.h"

namespace varnell {
namespace {

using test::SentQueries;
using Bytes = std::vector<std::uint8_t>;

class QueryEncodingTest : public test::DnsProbeTest {
protected:
    // A loopback socket standing in for the server, at addr; a lost datagram
    // fails the test in 2 s instead of hanging it.
    static int OpenServer(PeerAddress& addr)
    {
        std::uint16_t portBE = 0;
        const int fd = test::OpenLoopbackUdp(portBE);
        addr = Ipv4Peer(htonl(INADDR_LOOPBACK), portBE);
        timeval wait{2, 0};
        if (fd >= 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        return fd;
    }
    // Sends the primary query of the item from slot 0x0102 and returns its bytes.
    Bytes PrimaryFromSlot0102()
    {
        RequestSlot& slot = LockRequests()[0x0102];
        slot.destination = ServerPeer(Item());
        Item().requestId = 0x0102;
        SentQueries().clear();
        const std::uint32_t length = BuildAndSendQuery(0x0102, Item(), false, true);
        EXPECT_EQ(SentQueries().size(), length != 0 ? 1u : 0u);
        return SentQueries().empty() ? Bytes{} : SentQueries()[0].bytes;
    }
};

TEST_F(QueryEncodingTest, MxQueryIsByteForByte)
{
    MakeItem("example.com", 2);
    Item().flags |= kFlagRecursionDesired | kFlagRecursionAvailable;
    const Bytes expected = {0x02, 0x01, 0x01, 0x80, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x65, 0x78,
                            0x61, 0x6D, 0x70, 0x6C, 0x65, 0x03, 0x63, 0x6F, 0x6D, 0x00, 0x00, 0x0F, 0x00, 0x01};
    EXPECT_EQ(PrimaryFromSlot0102(), expected);
    const RequestSlot& slot = LockRequests()[0x0102];
    EXPECT_EQ(slot.transmissions, 1u);
    EXPECT_EQ(slot.query, Block().queryBuffer);
    EXPECT_EQ(slot.flags & (kSlotPrimary | kSlotOwnBuffer), kSlotPrimary);
    EXPECT_EQ(std::memcmp(Block().queryBuffer, expected.data(), expected.size()), 0);
    EXPECT_TRUE(SentQueries().at(0).to == test::Endpoint("127.0.0.1", 53));

    Item().flags &= ~(kFlagRecursionDesired | kFlagRecursionAvailable);
    const Bytes plain = PrimaryFromSlot0102();
    ASSERT_EQ(plain.size(), 29u);
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 4), (Bytes{0x02, 0x01, 0x00, 0x00}));

    Block().domain = "example.com.";
    EXPECT_EQ(PrimaryFromSlot0102(), plain);
}

TEST_F(QueryEncodingTest, FollowUpAsksForAnAddressInTheChosenBuffer)
{
    MakeItem("example.com", 2);
    RequestSlot& slot = LockRequests()[7];
    slot.flags = kSlotPrimary;
    EXPECT_EQ(BuildAndSendQuery(7, Item(), true, false, "mx.example.com"), 12u + 16u + 4u);
    EXPECT_EQ(slot.query, slot.ownBuffer);
    EXPECT_EQ(slot.flags & (kSlotPrimary | kSlotOwnBuffer), kSlotOwnBuffer);
    const Bytes& q = SentQueries().at(0).bytes;
    EXPECT_EQ(q[0], 7);
    EXPECT_EQ(Bytes(q.end() - 4, q.end()), (Bytes{0, 1, 0, 1}));
}

TEST_F(QueryEncodingTest, RefusedNameOrFailedSendSendsNothing)
{
    MakeItem(std::string(64, 'a') + ".com", 0);
    std::memset(Block().queryBuffer, 0x5A, kQueryBuffer);
    EXPECT_EQ(BuildAndSendQuery(3, Item(), false, true), 0u);
    Block().domain = std::string(200, 'b') + "." + std::string(60, 'c');
    EXPECT_EQ(BuildAndSendQuery(3, Item(), false, true), 0u);
    EXPECT_EQ(BuildAndSendQuery(3, Item(), false, false, "x..y"), 0u);
    EXPECT_TRUE(SentQueries().empty());
    EXPECT_EQ(Block().queryBuffer[0], 0x5A); // nothing half-written to be resent later
    EXPECT_EQ(LockRequests()[3].transmissions, 0u);

    Block().domain = "example.com";
    test::FailSends() = true;
    EXPECT_EQ(BuildAndSendQuery(3, Item(), false, true), 0u);
    EXPECT_EQ(LockRequests()[3].transmissions, 0u);
    EXPECT_EQ(BuildAndSendQuery(kRequestSlots, Item(), false, true), 0u);
}

TEST_F(QueryEncodingTest, SendsOnTheProbeSocketWithoutAHook)
{
    MakeItem("example.com", 0);
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    PeerAddress addr{};
    const int server = OpenServer(addr);
    ASSERT_GE(probe, 0);
    ASSERT_GE(server, 0);

    SetQuerySendHook(nullptr);
    const int saved = Engine().probeSocket.exchange(probe);
    LockRequests()[9].destination = addr;
    const std::uint32_t sent = BuildAndSendQuery(9, Item(), false, true);
    std::uint8_t got[600];
    const ssize_t n = ::recv(server, got, sizeof got, 0);
    Engine().probeSocket.store(-1);
    EXPECT_EQ(BuildAndSendQuery(9, Item(), false, true), 0u); // no socket: a send failure
    Engine().probeSocket.store(saved);
    // An IPv6 server on a machine without IPv6: no socket of its family, a send
    // failure as well, while the IPv4 socket is there.
    const int saved6 = Engine().probeSocket6.exchange(-1);
    LockRequests()[9].destination = test::Endpoint("2001:db8::53", 53);
    EXPECT_EQ(BuildAndSendQuery(9, Item(), false, true), 0u);
    Engine().probeSocket6.store(saved6);
    ::close(probe);
    ::close(server);

    EXPECT_EQ(sent, 29u);
    ASSERT_EQ(n, 29);
    EXPECT_EQ(std::memcmp(got, Block().queryBuffer, 29), 0);
}

// Many datagrams in one call: one the kernel refuses (port 0) fails alone, one
// without a socket of its family is not sent, and the rest go out in order,
// each stamped when its call returned.
TEST_F(QueryEncodingTest, SentTogetherEachDatagramSucceedsOrFailsOnItsOwn)
{
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    PeerAddress addr{};
    const int server = OpenServer(addr);
    ASSERT_GE(probe, 0);
    ASSERT_GE(server, 0);
    const PeerAddress refused = test::Endpoint("127.0.0.1", 0);
    const PeerAddress noSocket = test::Endpoint("2001:db8::53", 53);

    SetQuerySendHook(nullptr);
    const int saved = Engine().probeSocket.exchange(probe);
    const int saved6 = Engine().probeSocket6.exchange(-1);
    std::uint8_t bytes[70];
    for (std::uint8_t i = 0; i < 70; ++i)
        bytes[i] = i;
    std::vector<OutgoingQuery> queries;
    for (std::size_t i = 0; i < 70; ++i)
        queries.push_back(OutgoingQuery{bytes + i, 1, i == 3 ? &refused : i == 5 ? &noSocket : &addr});
    const std::uint32_t before = TickCount();
    SendQueries(queries);
    const std::uint32_t after = TickCount();
    Engine().probeSocket.store(saved);
    Engine().probeSocket6.store(saved6);

    std::vector<int> got;
    for (std::uint8_t b = 0; got.size() < 68 && ::recv(server, &b, 1, 0) == 1;)
        got.push_back(b);
    ::close(probe);
    ::close(server);
    std::vector<int> expected;
    for (int i = 0; i < 70; ++i) {
        SCOPED_TRACE(i);
        const bool fails = i == 3 || i == 5;
        EXPECT_EQ(queries[static_cast<std::size_t>(i)].sent, fails ? -1 : 1);
        if (i != 5) { // within the call, whatever the tick's wrap
            EXPECT_LE(queries[static_cast<std::size_t>(i)].sentTick - before, after - before);
        }
        if (!fails)
            expected.push_back(i);
    }
    EXPECT_EQ(got, expected);
}

TEST_F(QueryEncodingTest, SlotSearchStartsAtTheCursorAndWraps)
{
    const LockedRequests locked = LockRequests();
    auto& table = *locked;
    EXPECT_EQ(AllocRequestSlot(), 0);
    EXPECT_EQ(AllocRequestSlot(), 0); // taken only once the caller arms it
    table[0].expiry = 5;
    table[1].expiry = 5;
    EXPECT_EQ(AllocRequestSlot(), 2);
    EXPECT_EQ(RequestCursor(), 2u);

    RequestCursor() = 65535;
    table[65535].expiry = 5;
    EXPECT_EQ(AllocRequestSlot(), 2);
    table[2].expiry = 0;
    table[0].expiry = 0;
    RequestCursor() = 65535;
    EXPECT_EQ(AllocRequestSlot(), 0);
    EXPECT_EQ(RequestCursor(), 0u);

    for (auto& slot : table)
        slot.expiry = 1;
    RequestCursor() = 10;
    EXPECT_EQ(AllocRequestSlot(), -1);
    EXPECT_EQ(RequestCursor(), 9u); // left on the last slot tested
}

// A steady trickle of requests keeps to the first window however many go by,
// so the table's memory follows the requests in flight; a full window widens.
TEST_F(QueryEncodingTest, SlotsKeepToAWindowThatWidensOnlyWhenFull)
{
    const LockedRequests locked = LockRequests();
    auto& table = *locked;
    std::vector<int> inFlight;
    int highest = 0;
    for (int i = 0; i < 5000; ++i) {
        const int s = AllocRequestSlot();
        ASSERT_GE(s, 0);
        highest = std::max(highest, s);
        table[static_cast<std::size_t>(s)].expiry = 5;
        inFlight.push_back(s);
        if (inFlight.size() > 100) {
            table[static_cast<std::size_t>(inFlight.front())].expiry = 0;
            inFlight.erase(inFlight.begin());
        }
    }
    EXPECT_LT(highest, 1024);

    for (std::size_t s = 0; s < 1024; ++s)
        table[s].expiry = 5;
    EXPECT_EQ(AllocRequestSlot(), 1024);
    table[1024].expiry = 5;
    table[3].expiry = 0;
    EXPECT_EQ(AllocRequestSlot(), 1025); // on through the new half before the old
}

// Identifiers are drawn at random, not the slot's number: neither a lone
// item's next query nor a set of items' queries can be foretold. Each names
// its slot until the request ends.
TEST_F(QueryEncodingTest, IdentifiersAreDrawnAtRandomAndFindTheirSlot)
{
    SetQueryRandomisation(true);
    MakeItem("example.com", 0);
    std::set<std::uint16_t> ids;
    int counting = 0;
    for (std::uint32_t slot = 0; slot < 256; ++slot) {
        LockRequests()[slot].destination = ServerPeer(Item());
        ASSERT_NE(BuildAndSendQuery(slot, Item(), false, true), 0u);
        const std::uint16_t id = SentQueries().back().Id();
        EXPECT_EQ(SlotOfIdentifier(id), static_cast<int>(slot));
        counting += ids.count(static_cast<std::uint16_t>(id - 1)) != 0 ? 1 : 0;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 256u);
    EXPECT_LT(counting, 4);
    ReleaseRequestSlot(LockRequests()[255]);
    EXPECT_EQ(SlotOfIdentifier(SentQueries().back().Id()), -1);
}

TEST_F(QueryEncodingTest, ArmingKeepsTimesOffZeroAndCountsSaturate)
{
    RequestSlot slot{};
    ArmRequestSlot(slot, 0, 2000);
    EXPECT_EQ(slot.sendTime, 1u);
    EXPECT_EQ(slot.expiry, 2000u);
    ArmRequestSlot(slot, 0xFFFFF830u, 2000); // expiry wraps to exactly 0
    EXPECT_EQ(slot.sendTime, 0xFFFFF830u);
    EXPECT_EQ(slot.expiry, 1u);

    DnsItem& item = MakeItem("example.com", 0);
    for (int i = 0; i < 70; ++i)
        RaiseOutstanding(item);
    EXPECT_EQ(Outstanding(item), 63u);
    EXPECT_EQ(item.flags & ~kFlagOutstandingMask, kNeverUsedFlags & ~kFlagOutstandingMask);
    SetOutstanding(item, 1);
    LowerOutstanding(item);
    LowerOutstanding(item);
    EXPECT_EQ(Outstanding(item), 0u);
}

} // namespace
} // namespace varnell
