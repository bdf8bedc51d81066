// Large answers: the OPT record of the query, the plain retry after FORMERR,
// NOTIMP, BADVERS or garbage and how long it is remembered, the TCP retry after
// truncation, and compressed names that point past byte 512, first on captured
// queries, then through the engine threads against scripted responders and a
// real unbound serving a 40-address pool.
#include <gtest/gtest.h>
#include <strings.h>

#include <atomic>
#include <map>
#include <thread>

#include "dns/dns_wire.h"
#include "dns_probe_fixture.h"
#include "items/reply_detail.h"
#include "probe/edns.h"
#include "probe/tcp_query.h"
#include "tests/dns/dns_reply_builder.h"
#include "tests/probe/engine_fixture.h"
#include "tests/probe/scripted_responder.h"
#include "tests/support/unbound_peer.h"

namespace varnell {
namespace {

using namespace std::chrono_literals;
using test::DnsReplyBuilder;
using test::ScriptedResponder;
using test::Section;
using test::WaitFor;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kTypeIndexA = 0;
constexpr std::uint32_t kTypeIndexMx = 2;

class OptQueryTest : public test::DnsProbeTest {
protected:
    void SetUp() override
    {
        DnsProbeTest::SetUp();
        ResetEdnsState();
    }
    void TearDown() override
    {
        SetQueryEdnsSize(0);
        SetTickSource(nullptr);
        DnsProbeTest::TearDown();
    }
    const Bytes& LastQuery() { return test::SentQueries().back().bytes; }
    Bytes Answer(std::uint32_t id, std::uint8_t rcode = 0)
    {
        DnsReplyBuilder b(static_cast<std::uint16_t>(id), rcode);
        b.Question("example.com", 1);
        if (rcode == 0)
            b.A(Section::Answer, "example.com", "192.0.2.9");
        return b.Bytes();
    }
};

TEST_F(OptQueryTest, SizeZeroIsThePlainQueryAndOtherSizesAddOneOptRecord)
{
    MakeItem("example.com", kTypeIndexMx);
    Item().flags |= kFlagRecursionDesired | kFlagRecursionAvailable;
    const Bytes plain = {0x02, 0x01, 0x01, 0x80, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x65, 0x78,
                         0x61, 0x6D, 0x70, 0x6C, 0x65, 0x03, 0x63, 0x6F, 0x6D, 0x00, 0x00, 0x0F, 0x00, 0x01};
    // size asked -> size advertised (0: no OPT)
    const std::map<std::uint32_t, std::uint16_t> sizes = {{0, 0}, {1232, 1232}, {100, 512}, {70000, 6888}};
    for (const auto& [asked, advertised] : sizes) {
        SetQueryEdnsSize(asked);
        RequestCursor() = 0x0102;
        const std::uint32_t slot = SendPrimary();
        Bytes want = plain;
        if (advertised != 0) {
            want[11] = 1; // ARCOUNT
            want.insert(want.end(), {0, 0, 41, static_cast<std::uint8_t>(advertised >> 8),
                                     static_cast<std::uint8_t>(advertised), 0, 0, 0, 0, 0, 0});
        }
        EXPECT_EQ(LastQuery(), want) << "size " << asked;
        EXPECT_EQ(LockRequests()[slot].queryLength, want.size());
        std::lock_guard lock(EngineLock());
        LockRequests()[slot] = RequestSlot{};
        SetOutstanding(Item(), 0);
    }
}

// FORMERR, NOTIMP and an unreadable reply to a query with OPT each bring the
// same question again without it, on the same identifier and not evaluated;
// the server is then asked plainly by that item only, and a FORMERR to a plain
// query is an answer like any other.
TEST_F(OptQueryTest, ServerThatRefusesOptIsAskedPlainlyFromThenOn)
{
    // Unreadable past its question, which must be the one asked for any reply to count.
    const Bytes garbage = {0,   0,   0x81, 0x80, 0,   1,   0,   9, 0, 0, 0, 0, 7, 'e', 'x', 'a', 'm',
                           'p', 'l', 'e',  3,    'c', 'o', 'm', 0, 0, 1, 0, 1, 3, 'c', 'o'};
    for (const int fault : {1, 4, -1}) {
        SCOPED_TRACE(fault);
        SetUp();
        SetQueryEdnsSize(1232);
        MakeItem("example.com", kTypeIndexA);
        const std::uint32_t id = SendPrimary();
        ASSERT_EQ(LastQuery()[11], 1);
        Bytes bad = fault > 0 ? Answer(id, static_cast<std::uint8_t>(fault)) : garbage;
        bad[0] = static_cast<std::uint8_t>(id);
        bad[1] = static_cast<std::uint8_t>(id >> 8);
        const std::uint32_t sendTime = LockRequests()[id].sendTime;
        const ReplyOutcome diverted = Reply(bad);
        EXPECT_EQ(diverted.verdict, ReplyVerdict::Diverted);
        EXPECT_FALSE(diverted.deliver);
        ASSERT_EQ(test::SentQueries().size(), 2u);
        Bytes plain = test::SentQueries()[0].bytes;
        plain.resize(plain.size() - kOptRecordSize);
        plain[11] = 0;
        EXPECT_EQ(LastQuery(), plain) << "same identifier and question, without OPT";
        EXPECT_EQ(LockRequests()[id].sendTime, sendTime) << "the round trip counts from the first send";

        const ReplyOutcome out = Reply(Answer(id));
        EXPECT_TRUE(out.deliver);
        EXPECT_EQ(out.code, 0);
        EXPECT_EQ(Answers(), std::vector<std::string>{"192.0.2.9"});

        const std::uint32_t next = SendPrimary();
        EXPECT_EQ(LastQuery()[11], 0) << "remembered as plain";
        const ReplyOutcome formErr = Reply(Answer(next, 1));
        EXPECT_TRUE(formErr.deliver);
        EXPECT_EQ(formErr.code, 1);

        // Another item on the same server still asks with OPT.
        ItemEdit other = EditOf(Item());
        ASSERT_TRUE(CommitNewItem(1, other));
        LockItems()->items[1].server = Item().server;
        SendPrimary(kNow, 1);
        EXPECT_EQ(LastQuery()[11], 1);
    }
}

std::atomic<std::uint32_t> g_tick{0};
std::uint32_t TestTick() { return g_tick.load(); }

// The reply with an OPT record of the given extended RCODE (RFC 6891 6.1.3).
Bytes WithOpt(Bytes reply, std::uint8_t extendedRcode)
{
    reply[11] = static_cast<std::uint8_t>(reply[11] + 1); // ARCOUNT
    reply.insert(reply.end(), {0, 0, 41, 0x04, 0xD0, extendedRcode, 0, 0, 0, 0, 0});
    return reply;
}

// A plain mark lasts ten minutes, and neither an edit nor a delete of the item
// keeps it.
TEST_F(OptQueryTest, PlainMarkLastsTenMinutesAndNotPastAnEditOrADelete)
{
    SetTickSource(&TestTick);
    g_tick = kNow;
    SetQueryEdnsSize(1232);
    MakeItem("example.com", kTypeIndexA);
    const auto markPlain = [&] {
        const std::uint32_t id = SendPrimary();
        EXPECT_EQ(Reply(Answer(id, 1)).verdict, ReplyVerdict::Diverted);
        EXPECT_TRUE(Reply(Answer(id)).deliver);
    };
    const auto asksWithOpt = [&] {
        const std::uint32_t id = SendPrimary();
        const bool opt = LastQuery()[11] == 1;
        EXPECT_TRUE(Reply(Answer(id)).deliver);
        return opt;
    };
    markPlain();
    g_tick = kNow + 599'999;
    EXPECT_FALSE(asksWithOpt());
    g_tick = kNow + 600'000;
    EXPECT_TRUE(asksWithOpt());

    markPlain();
    CommitItemUpdate(kSlot, EditOf(Item()));
    EXPECT_TRUE(asksWithOpt()) << "edited";

    markPlain();
    ASSERT_TRUE(DeleteItemRow(0));
    MakeItem("example.com", kTypeIndexA);
    EXPECT_TRUE(asksWithOpt()) << "deleted, and a new item in its slot";
}

// A FORMERR or NOTIMP that carries OPT comes from a server that speaks EDNS:
// it is the answer. BADVERS, in the OPT record's extended RCODE with 0 in the
// header, is no success: the question goes again without OPT. To a plain
// query no extended code can come, and such a reply is not evaluated.
TEST_F(OptQueryTest, ExtendedRcodeAndOptInAFormErrAreRead)
{
    for (const int rcode : {1, 4}) {
        SetUp();
        SetQueryEdnsSize(1232);
        MakeItem("example.com", kTypeIndexA);
        const ReplyOutcome out = Reply(WithOpt(Answer(SendPrimary(), static_cast<std::uint8_t>(rcode)), 0));
        EXPECT_TRUE(out.deliver);
        EXPECT_EQ(out.code, rcode);
        const std::uint32_t next = SendPrimary(kNow + 1000);
        EXPECT_EQ(LastQuery()[11], 1) << "still asked with OPT";
        EXPECT_TRUE(Reply(Answer(next)).deliver);
    }

    const auto badVers = [](std::uint32_t id) {
        return WithOpt(DnsReplyBuilder(static_cast<std::uint16_t>(id)).Question("example.com", 1).Bytes(), 1);
    };
    const std::uint32_t id = SendPrimary(kNow + 2000);
    const ReplyOutcome diverted = Reply(badVers(id));
    EXPECT_EQ(diverted.verdict, ReplyVerdict::Diverted);
    EXPECT_FALSE(diverted.deliver);
    EXPECT_EQ(LastQuery()[11], 0) << "asked again plainly";
    EXPECT_TRUE(Reply(Answer(id)).deliver);
    EXPECT_EQ(Answers(), std::vector<std::string>{"192.0.2.9"});

    SetQueryEdnsSize(0);
    const std::uint32_t plain = SendPrimary(kNow + 3000);
    EXPECT_FALSE(Reply(badVers(plain)).deliver);
    EXPECT_EQ(LockRequests()[plain].expiry, kNow + 3000 + Item().timeout) << "still waiting";
}

// Thirty hosts in zones of three, each with its address in the additional
// section, every name compressed as a server does: a zone first written past
// byte 512 is pointed to from further on, and so is each host written there by
// its glue record (seven to twelve pointers past 512 per answer). `turn`
// rotates the order, as a round-robin server does, so what lies where changes
// from answer to answer. Thirty names and thirty glue records: the record area
// holds 64 in all.
constexpr int kHosts = 30;
std::string Host(int i) { return "h" + std::to_string(i) + ".z" + std::to_string(i / 3) + ".example.net"; }
std::vector<std::string> HostAddresses()
{
    std::vector<std::string> out;
    for (int i = 1; i <= kHosts; ++i)
        out.push_back("198.51.100." + std::to_string(i));
    return out;
}

Bytes SharedSuffixAnswer(std::uint16_t id, const std::string& name, std::uint16_t type, int turn)
{
    DnsReplyBuilder b(id);
    b.Compress().Question(name, type);
    for (int k = 0; k < kHosts; ++k) {
        const int i = (k + turn) % kHosts;
        if (type == kTypeMx)
            b.Mx(Section::Answer, name, static_cast<std::uint16_t>(10 + i), Host(i));
        else if (type == kTypeNs)
            b.Ns(Section::Answer, name, Host(i));
        else
            b.Ptr(Section::Answer, name, Host(i));
    }
    for (int k = 0; k < kHosts; ++k) {
        const int i = (k + turn) % kHosts;
        b.A(Section::Additional, Host(i), HostAddresses()[static_cast<std::size_t>(i)].c_str());
    }
    return b.Bytes();
}

struct SharedSuffixItem {
    std::uint32_t typeIndex;
    std::uint16_t type;
    const char* name;
};
constexpr SharedSuffixItem kSharedSuffixItems[] = {
    {2, kTypeMx, "example.com"}, {3, kTypeNs, "example.com"}, {4, kTypePtr, "9.2.0.192.in-addr.arpa"}};

using SharedSuffixTest = test::DnsProbeTest;

// Twenty probes of each of an MX, an NS and a PTR item, over UDP and TCP in
// turn: every name whole, every address gathered from the glue, no follow-up
// query, the same set every time.
TEST_F(SharedSuffixTest, PointersPastByte512GiveWholeNamesAndTheirGlue)
{
    for (const SharedSuffixItem& it : kSharedSuffixItems) {
        SCOPED_TRACE(it.name);
        SetUp();
        MakeItem(it.name, it.typeIndex);
        for (int turn = 0; turn < 20; ++turn) {
            const std::uint32_t id = SendPrimary(kNow + 1000u * static_cast<std::uint32_t>(turn));
            const Bytes answer = SharedSuffixAnswer(static_cast<std::uint16_t>(id), it.name, it.type, turn);
            ASSERT_LE(answer.size(), 1232u);
            const ReplyOutcome out = ProcessReply(answer, ServerPeer(Item()), kNow + 20, turn % 2 == 1);
            ASSERT_TRUE(out.deliver) << turn;
            EXPECT_EQ(out.code, 0);
            EXPECT_EQ(Answers(), HostAddresses()) << turn;
            ASSERT_EQ(Block().answerRecords, std::uint32_t{kHosts});
            for (std::uint32_t k = 0; k < kHosts; ++k) {
                const std::string host = Host((static_cast<int>(k) + turn) % kHosts);
                EXPECT_EQ(NamesText(Block(), Block().records[k].data), host);
                EXPECT_EQ(NamesText(Block(), Block().records[Block().additionalStart + k].owner), host);
            }
        }
        EXPECT_EQ(test::SentQueries().size(), 20u) << "no follow-up query";
    }
}

class LargeAnswerEngineTest : public test::EngineAgainstServer {
protected:
    std::string Detail(std::uint32_t slot) { return DetailPlainText(ReplyDetailOf(LockItems()->items[slot])); }
    void ProbePool(std::uint32_t ednsSize, const char* at = "127.0.0.1");
};

// Through the engine's threads and real sockets: every way the TCP side can
// fail ends in code 16 at the item's timeout, and a good TCP answer is taken
// whole, marked "(TCP)", with its round trip from the first UDP send.
TEST_F(LargeAnswerEngineTest, TruncatedAnswersAreAskedOverTcpWithinTheTimeout)
{
    using Udp = ScriptedResponder::Udp;
    using Tcp = ScriptedResponder::Tcp;
    ScriptedResponder refused(Udp::Truncate, Tcp::Refuse);
    ScriptedResponder silent(Udp::Truncate, Tcp::Silent);
    ScriptedResponder cut(Udp::Truncate, Tcp::ShortBody);
    ScriptedResponder good(Udp::Truncate, Tcp::Answer, 40, 100ms);
    ScriptedResponder noOpt(Udp::FormErrToOpt, Tcp::Refuse);
    for (const auto* r : {&refused, &silent, &cut, &good, &noOpt})
        ASSERT_TRUE(r->Ready());
    SetQueryEdnsSize(1232);
    const std::uint32_t timeout = 1200;
    const std::uint32_t a = Add("refused", "pool.test", kTypeIndexA, refused.Port(), timeout);
    const std::uint32_t b = Add("silent", "pool.test", kTypeIndexA, silent.Port(), timeout);
    const std::uint32_t c = Add("cut", "pool.test", kTypeIndexA, cut.Port(), timeout);
    const std::uint32_t d = Add("good", "pool.test", kTypeIndexA, good.Port(), timeout);
    const std::uint32_t e = Add("no opt", "pool.test", kTypeIndexA, noOpt.Port(), timeout);
    StartEngine();
    ASSERT_TRUE(WaitFor(
        [&] {
            for (std::uint32_t s = a; s <= e; ++s)
                if (ResultsOf(s).empty())
                    return false;
            return true;
        },
        10s));
    for (const std::uint32_t s : {a, b, c})
        EXPECT_EQ(ResultsOf(s)[0].code, kResultTimeout) << s;
    EXPECT_GE(silent.TcpQueries(), 1);
    EXPECT_GE(cut.TcpQueries(), 1);

    EXPECT_EQ(ResultsOf(d)[0].code, 0);
    EXPECT_EQ(ResultsOf(d)[0].answers.size(), 40u);
    EXPECT_NE(Detail(d).find("40 (TCP) Address:"), std::string::npos);
    {
        std::lock_guard lock(EngineLock());
        const ItemBlock& block = LockItems()->blocks[d];
        EXPECT_GE(block.rttMax, 100u) << "from the first UDP send, across the TCP server's delay";
    }
    EXPECT_EQ(ResultsOf(e)[0].code, 0);
    EXPECT_EQ(ResultsOf(e)[0].answers, (std::vector<std::string>{"192.0.2.1", "192.0.2.2", "192.0.2.3"}));
    EXPECT_EQ(noOpt.OptQueries(), 1) << "asked with OPT once, plainly ever after";
    EXPECT_EQ(Detail(e).find("(TCP)"), std::string::npos);
}

// Many truncated items against a TCP side that takes its time hold only their
// own connections: items on another server, over UDP and over TCP, are answered
// before the slow server has answered anything.
TEST_F(LargeAnswerEngineTest, SlowTcpServerDelaysNoOtherItem)
{
    using Udp = ScriptedResponder::Udp;
    using Tcp = ScriptedResponder::Tcp;
    ScriptedResponder slow(Udp::Truncate, Tcp::Answer, 3, 1500ms);
    ScriptedResponder fast(Udp::Truncate, Tcp::Answer);
    ScriptedResponder plain(Udp::Answer, Tcp::Refuse);
    ASSERT_TRUE(slow.Ready() && fast.Ready() && plain.Ready());
    std::vector<std::uint32_t> slowItems;
    for (int i = 0; i < 24; ++i)
        slowItems.push_back(Add("slow" + std::to_string(i), "pool.test", kTypeIndexA, slow.Port(), 4000, 5, 10000));
    const std::uint32_t overTcp = Add("fast tcp", "pool.test", kTypeIndexA, fast.Port(), 4000, 5, 10000);
    const std::uint32_t overUdp = Add("fast udp", "pool.test", kTypeIndexA, plain.Port(), 4000, 5, 10000);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return !ResultsOf(overTcp).empty() && !ResultsOf(overUdp).empty(); }, 10s));
    for (const std::uint32_t s : slowItems)
        EXPECT_TRUE(ResultsOf(s).empty()) << "the slow server answered before the fast ones";
    EXPECT_EQ(ResultsOf(overTcp)[0].code, 0);
    EXPECT_EQ(ResultsOf(overUdp)[0].code, 0);
    ASSERT_TRUE(WaitFor([&] { return ResultCount() >= slowItems.size() + 2; }, 15s));
    EXPECT_GE(slow.TcpQueries(), 8);
}

// The same answers through the engine's threads and sockets, over UDP with
// EDNS and over TCP after truncation: whole sets, one change event (the first
// addresses) per item, and no question but the items' own.
TEST_F(LargeAnswerEngineTest, PointersPastByte512OverUdpAndTcp)
{
    using Udp = ScriptedResponder::Udp;
    using Tcp = ScriptedResponder::Tcp;
    std::atomic<int> turn{0}, otherQuestions{0};
    const auto answerer = [&](std::uint16_t id, const std::string& name, std::uint16_t type) {
        for (const SharedSuffixItem& it : kSharedSuffixItems)
            if (it.type == type && strcasecmp(name.c_str(), it.name) == 0) // asked in mixed case
                return SharedSuffixAnswer(id, name, type, turn.fetch_add(1) % kHosts);
        otherQuestions.fetch_add(1);
        return DnsReplyBuilder(id).Question(name, type).Bytes();
    };
    ScriptedResponder overUdp(Udp::Answer, Tcp::Refuse, 0, 0ms, answerer);
    ScriptedResponder overTcp(Udp::Truncate, Tcp::Answer, 0, 0ms, answerer);
    ASSERT_TRUE(overUdp.Ready() && overTcp.Ready());
    SetQueryEdnsSize(1232);
    std::vector<std::uint32_t> slots;
    for (const ScriptedResponder* r : {&overUdp, &overTcp})
        for (const SharedSuffixItem& it : kSharedSuffixItems)
            slots.push_back(Add(it.name + std::to_string(slots.size()), it.name, it.typeIndex, r->Port()));
    StartEngine();
    ASSERT_TRUE(WaitFor(
        [&] {
            for (const std::uint32_t s : slots)
                if (ResultsOf(s).size() < 3)
                    return false;
            return true;
        },
        20s));
    for (const std::uint32_t s : slots) {
        for (const auto& r : ResultsOf(s)) {
            EXPECT_EQ(r.code, 0) << s;
            EXPECT_EQ(r.answers, HostAddresses()) << s;
        }
        int changes = 0;
        for (const auto& e : hooks.Events())
            changes += e.slot == s && e.kind == kEventChanged ? 1 : 0;
        EXPECT_EQ(changes, 1) << s;
    }
    EXPECT_EQ(otherQuestions.load(), 0);
    EXPECT_GE(overTcp.TcpQueries(), 9);
}

const std::string kPoolZoneHead = test::ZoneText("test.", R"(
ns IN A 192.0.2.53
)");

std::string PoolZone(int replaced)
{
    std::string zone = kPoolZoneHead;
    for (int i = 1; i <= 40; ++i)
        zone += "pool IN A 198.51.100." + std::to_string(i == replaced ? 200 : i) + "\n";
    return zone;
}

// The engine's order (by last octet, 128-255 first) of 198.51.100.1 ... 40,
// with `replaced` standing in for 200.
std::string PoolEvent(int replaced)
{
    std::string text = "the ip of pool is changed to ";
    if (replaced != 0)
        text += "198.51.100.200; ";
    for (int i = 1; i <= 40; ++i)
        if (i != replaced)
            text += "198.51.100." + std::to_string(i) + "; ";
    return text;
}

// A 40-address pool on unbound: all 40 addresses at every probe, one change
// event when the zone replaces one address, and none for the unchanged probes
// in between.
void LargeAnswerEngineTest::ProbePool(std::uint32_t ednsSize, const char* at)
{
    test::UnboundPeer server;
    ASSERT_TRUE(server.Start({{"test", PoolZone(0)}}, {at})) << server.Log();
    SetQueryEdnsSize(ednsSize);
    const std::uint32_t s = Add("pool", "pool.test", kTypeIndexA, server.Port(), 1500, 5, 500, at);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return ResultsOf(s).size() >= 3; }, 10s));
    for (const auto& r : ResultsOf(s)) {
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.answers.size(), 40u);
    }
    EXPECT_EQ(Detail(s).find("40 (TCP) Address:") != std::string::npos, ednsSize == 0) << Detail(s);

    ASSERT_TRUE(server.Restart({{"test", PoolZone(7)}})) << server.Log();
    ASSERT_TRUE(WaitFor([&] { return hooks.Events().size() >= 2; }, 10s));
    const std::size_t before = ResultsOf(s).size();
    ASSERT_TRUE(WaitFor([&] { return ResultsOf(s).size() >= before + 2; }, 10s));
    std::vector<std::string> events;
    for (const auto& e : hooks.Events())
        events.push_back(e.text);
    EXPECT_EQ(events, (std::vector<std::string>{PoolEvent(0), PoolEvent(7)}));
}

TEST_F(LargeAnswerEngineTest, FortyAddressPoolInOneDatagramWithEdns) { ProbePool(1232); }

TEST_F(LargeAnswerEngineTest, FortyAddressPoolOverTcpWithoutEdns) { ProbePool(0); }

TEST_F(LargeAnswerEngineTest, FortyAddressPoolOverTcpFromAnIpv6Server)
{
    if (!test::HaveIpv6Loopback())
        GTEST_SKIP() << test::kNoIpv6Loopback;
    ProbePool(0, "::1");
}

} // namespace
} // namespace varnell
