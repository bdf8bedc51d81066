// AAAA items against a real unbound: the IPv6 addresses a name resolves to,
// through alias chains and follow-up AAAA queries, sorted by their bytes, shown
// and reported in RFC 5952 form, and kept as the item's "known6=" text; and
// items of either kind asking the server over IPv6 (::1).
#include <gtest/gtest.h>

#include <string>

#include "base/net/address_text.h"
#include "items/address6.h"
#include "items/reply_detail.h"
#include "tests/probe/engine_fixture.h"
#include "tests/support/unbound_peer.h"

using namespace varnell;
using namespace std::chrono_literals;
using varnell::test::EngineAgainstServer;
using varnell::test::UnboundPeer;
using varnell::test::WaitFor;

namespace {

const std::string kZone = test::ZoneText("test.", R"(
ns IN A 192.0.2.53
two IN AAAA 2001:db8::a:2
two IN AAAA 2001:db8::1
two IN A 192.0.2.9
alias IN CNAME mid.test.
mid IN CNAME two.test.
far IN CNAME host.example.
v4only IN A 192.0.2.7
)");
const std::string kExampleZone = test::ZoneText("example.", R"(
host IN AAAA 2001:DB8:0:0:0:0:0:25
)");

constexpr std::uint32_t kA = 0;

std::vector<std::string> Answers6(std::uint32_t slot)
{
    std::lock_guard lock(EngineLock());
    const ItemBlock& block = LockItems()->blocks[slot];
    std::vector<std::string> out;
    for (std::uint32_t i = 0; i < block.answerCount && i < kReplyRecords; ++i)
        out.push_back(Address6Text(block.answers6[i]));
    return out;
}

} // namespace

// The same items on the server's IPv4 address and on its IPv6 one (a query
// over IPv6 changes nothing in what an item gathers).
TEST_F(EngineAgainstServer, AaaaItemsGatherIpv6AddressesAndOthersStayIpv4OverEitherFamily)
{
    const bool v6 = test::HaveIpv6Loopback();
    std::vector<std::string> addresses = {"127.0.0.1"};
    if (v6)
        addresses.push_back("::1");
    UnboundPeer server;
    ASSERT_TRUE(server.Start({{"test", kZone}, {"example", kExampleZone}}, addresses)) << server.Log();
    const std::uint16_t p = server.Port();
    struct Set {
        std::uint32_t two, chain, far, v4only, missing, plain;
    };
    std::vector<Set> sets;
    for (const std::string& at : addresses) {
        const std::string n = at == "::1" ? "6" : "";
        const char* a = at.c_str();
        sets.push_back({Add("two" + n, "two.test", kRecordTypeAaaa, p, 1500, 5, 60000, a),
                        Add("chain" + n, "alias.test", kRecordTypeAaaa, p, 1500, 5, 60000, a),
                        Add("far" + n, "far.test", kRecordTypeAaaa, p, 1500, 5, 60000, a),
                        Add("v4only" + n, "v4only.test", kRecordTypeAaaa, p, 1500, 5, 60000, a),
                        Add("missing" + n, "missing.test", kRecordTypeAaaa, p, 1500, 5, 60000, a),
                        Add("plain" + n, "two.test", kA, p, 1500, 5, 60000, a)});
    }
    StartEngine();
    ASSERT_TRUE(WaitFor(
        [&] {
            for (std::uint32_t s = 0; s < LockItems()->highWater; ++s)
                if (ResultsOf(s).empty())
                    return false;
            return true;
        },
        15s));

    const std::vector<std::string> both = {"2001:db8::1", "2001:db8::a:2"}; // by their bytes
    for (const Set& set : sets) {
        SCOPED_TRACE(LockItems()->blocks[set.two].name);
        for (const std::uint32_t s : {set.two, set.chain, set.far, set.v4only, set.plain})
            EXPECT_EQ(ResultsOf(s)[0].code, 0) << s;
        EXPECT_EQ(Answers6(set.two), both);
        EXPECT_EQ(Answers6(set.chain), both);
        EXPECT_EQ(Answers6(set.far), std::vector<std::string>{"2001:db8::25"}) << "by a follow-up AAAA query";
        EXPECT_TRUE(Answers6(set.v4only).empty());
        EXPECT_EQ(ResultsOf(set.missing)[0].code, kResultNameError);
        EXPECT_EQ(ResultsOf(set.plain)[0].answers, std::vector<std::string>{"192.0.2.9"});
    }

    EXPECT_TRUE(HasEvent("the ip of two is changed to 2001:db8::1; 2001:db8::a:2; "));
    EXPECT_TRUE(HasEvent("the ip of far is changed to 2001:db8::25; "));
    EXPECT_FALSE(HasEvent("the ip of v4only is changed to "));
    EXPECT_FALSE(HasEvent("the ip of missing is changed to "));
    const Set& four = sets[0];
    const std::string detail = DetailPlainText(ReplyDetailOf(LockItems()->items[four.two]));
    EXPECT_NE(detail.find("2 Address:2001:db8::1; 2001:db8::a:2; \r\n"), std::string::npos) << detail;
    EXPECT_NE(detail.find("     IPv6 address :  2001:db8::a:2\r\n"), std::string::npos) << detail;
    {
        std::lock_guard lock(EngineLock());
        EXPECT_EQ(LockItems()->blocks[four.two].reservedTexts[0], "known6=2001:db8::1; 2001:db8::a:2");
        EXPECT_EQ(LockItems()->items[four.two].reservedTextCount, 1u);
        EXPECT_EQ(LockItems()->items[four.two].knownCount, 0u) << "the stored IPv4 area is left alone";
        EXPECT_EQ(LockItems()->items[four.plain].reservedTextCount, 0u);
    }
    if (!v6)
        GTEST_SKIP() << test::kNoIpv6Loopback << ": the IPv6-server half did not run";
    EXPECT_TRUE(HasEvent("the ip of two6 is changed to 2001:db8::1; 2001:db8::a:2; "));
    EXPECT_TRUE(HasEvent("the ip of plain6 is changed to 192.0.2.9; "));
    std::lock_guard lock(EngineLock());
    const ItemBlock& two6 = LockItems()->blocks[sets[1].two];
    EXPECT_EQ(two6.reservedTexts[0], "server6=::1");
    EXPECT_EQ(two6.reservedTexts[1], "known6=2001:db8::1; 2001:db8::a:2") << "beside the server's text";
}

// An address change in the zone reaches AAAA and A items on either server,
// and the server stopped gives every item its "is down".
TEST_F(EngineAgainstServer, AddressChangesAndAnOutageReachItemsOnEitherServer)
{
    const bool v6 = test::HaveIpv6Loopback();
    UnboundPeer server;
    ASSERT_TRUE(server.Start({{"test", kZone}}, v6 ? std::vector<std::string>{"127.0.0.1", "::1"}
                                                  : std::vector<std::string>{"127.0.0.1"}))
        << server.Log();
    const std::uint32_t s = Add("two", "two.test", kRecordTypeAaaa, server.Port(), 600, 1, 500);
    if (v6) {
        Add("two6", "two.test", kRecordTypeAaaa, server.Port(), 600, 1, 500, "::1");
        Add("a6", "two.test", kA, server.Port(), 600, 1, 500, "::1");
    }
    StartEngine();
    const auto all = [&](const std::string& aaaa, const std::string& a) {
        return HasEvent("the ip of two is changed to " + aaaa) &&
               (!v6 || (HasEvent("the ip of two6 is changed to " + aaaa) && HasEvent("the ip of a6 is changed to " + a)));
    };
    ASSERT_TRUE(WaitFor([&] { return all("2001:db8::1; 2001:db8::a:2; ", "192.0.2.9; "); }, 10s));

    std::string changed = kZone;
    changed.replace(changed.find("two IN AAAA 2001:db8::a:2"), 25, "two IN AAAA 2001:db8::3");
    changed.replace(changed.find("two IN A 192.0.2.9"), 18, "two IN A 192.0.2.10");
    ASSERT_TRUE(server.Restart({{"test", changed}})) << server.Log();
    ASSERT_TRUE(WaitFor([&] { return all("2001:db8::1; 2001:db8::3; ", "192.0.2.10; "); }, 15s));
    {
        std::lock_guard lock(EngineLock());
        EXPECT_EQ(LockItems()->blocks[s].reservedTexts[0], "known6=2001:db8::1; 2001:db8::3");
    }

    server.Stop();
    EXPECT_TRUE(WaitFor([&] { return HasEvent("two is down") && (!v6 || (HasEvent("two6 is down") && HasEvent("a6 is down"))); },
                        15s));
    if (!v6)
        GTEST_SKIP() << test::kNoIpv6Loopback << ": the IPv6-server items did not run";
}
