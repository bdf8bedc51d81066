// AAAA items against a real unbound: the IPv6 addresses a name resolves to,
// through alias chains and follow-up AAAA queries, sorted by their bytes, shown
// and reported in RFC 5952 form, and kept as the item's "known6=" text.
#include <gtest/gtest.h>

#include <string>

#include "engine/address6.h"
#include "engine/reply_detail.h"
#include "tests/engine/engine_fixture.h"
#include "tests/engine/unbound_peer.h"

using namespace varnell;
using namespace std::chrono_literals;
using varnell::test::EngineAgainstServer;
using varnell::test::UnboundPeer;
using varnell::test::WaitFor;

namespace {

const char* kZone = R"($ORIGIN test.
$TTL 300
@ IN SOA ns.test. hostmaster.test. 1 3600 600 86400 300
@ IN NS ns.test.
ns IN A 192.0.2.53
two IN AAAA 2001:db8::a:2
two IN AAAA 2001:db8::1
two IN A 192.0.2.9
alias IN CNAME mid.test.
mid IN CNAME two.test.
far IN CNAME host.example.
v4only IN A 192.0.2.7
)";
const char* kExampleZone = R"($ORIGIN example.
$TTL 300
@ IN SOA ns.example. hostmaster.example. 1 3600 600 86400 300
@ IN NS ns.example.
host IN AAAA 2001:DB8:0:0:0:0:0:25
)";

constexpr std::uint32_t kA = 0;

std::vector<std::string> Answers6(std::uint32_t slot)
{
    std::lock_guard lock(EngineLock());
    const ItemBlock& block = Items().blocks[slot];
    std::vector<std::string> out;
    for (std::uint32_t i = 0; i < block.answerCount && i < kReplyRecords; ++i)
        out.push_back(Address6Text(block.answers6[i]));
    return out;
}

} // namespace

TEST_F(EngineAgainstServer, AaaaItemsGatherIpv6AddressesAndOthersStayIpv4)
{
    UnboundPeer server;
    ASSERT_TRUE(server.Start({{"test", kZone}, {"example", kExampleZone}})) << server.Log();
    const std::uint16_t p = server.Port();
    const std::uint32_t two = Add("two", "two.test", kRecordTypeAaaa, p, 1500, 5, 60000);
    const std::uint32_t chain = Add("chain", "alias.test", kRecordTypeAaaa, p, 1500, 5, 60000);
    const std::uint32_t far = Add("far", "far.test", kRecordTypeAaaa, p, 1500, 5, 60000);
    const std::uint32_t v4only = Add("v4only", "v4only.test", kRecordTypeAaaa, p, 1500, 5, 60000);
    const std::uint32_t missing = Add("missing", "missing.test", kRecordTypeAaaa, p, 1500, 5, 60000);
    const std::uint32_t plain = Add("plain", "two.test", kA, p, 1500, 5, 60000);
    StartEngine();
    ASSERT_TRUE(WaitFor(
        [&] {
            for (std::uint32_t s = two; s <= plain; ++s)
                if (ResultsOf(s).empty())
                    return false;
            return true;
        },
        15s));

    const std::vector<std::string> both = {"2001:db8::1", "2001:db8::a:2"}; // by their bytes
    for (const std::uint32_t s : {two, chain, far, v4only, plain})
        EXPECT_EQ(ResultsOf(s)[0].code, 0) << s;
    EXPECT_EQ(Answers6(two), both);
    EXPECT_EQ(Answers6(chain), both);
    EXPECT_EQ(Answers6(far), std::vector<std::string>{"2001:db8::25"}) << "by a follow-up AAAA query";
    EXPECT_TRUE(Answers6(v4only).empty());
    EXPECT_EQ(ResultsOf(missing)[0].code, kResultNameError);
    EXPECT_EQ(ResultsOf(plain)[0].answers, std::vector<std::string>{"192.0.2.9"});

    EXPECT_TRUE(HasEvent("the ip of two is changed to 2001:db8::1; 2001:db8::a:2; "));
    EXPECT_TRUE(HasEvent("the ip of far is changed to 2001:db8::25; "));
    EXPECT_FALSE(HasEvent("the ip of v4only is changed to "));
    EXPECT_FALSE(HasEvent("the ip of missing is changed to "));
    const std::string detail = DetailPlainText(ReplyDetailOf(Items().items[two]));
    EXPECT_NE(detail.find("2 Address:2001:db8::1; 2001:db8::a:2; \r\n"), std::string::npos) << detail;
    EXPECT_NE(detail.find("     IPv6 address :  2001:db8::a:2\r\n"), std::string::npos) << detail;
    std::lock_guard lock(EngineLock());
    EXPECT_EQ(Items().blocks[two].reservedTexts[0], "known6=2001:db8::1; 2001:db8::a:2");
    EXPECT_EQ(Items().items[two].reservedTextCount, 1u);
    EXPECT_EQ(Items().items[two].knownCount, 0u) << "the stored IPv4 area is left alone";
    EXPECT_EQ(Items().items[plain].reservedTextCount, 0u);
}

TEST_F(EngineAgainstServer, AaaaAddressChangeInTheZoneRaisesTheEvent)
{
    UnboundPeer server;
    ASSERT_TRUE(server.Start({{"test", kZone}})) << server.Log();
    const std::uint32_t s = Add("two", "two.test", kRecordTypeAaaa, server.Port(), 600, 1, 500);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return HasEvent("the ip of two is changed to 2001:db8::1; 2001:db8::a:2; "); }, 10s));

    std::string changed = kZone;
    changed.replace(changed.find("two IN AAAA 2001:db8::a:2"), 25, "two IN AAAA 2001:db8::3");
    ASSERT_TRUE(server.Restart({{"test", changed}})) << server.Log();
    ASSERT_TRUE(WaitFor([&] { return HasEvent("the ip of two is changed to 2001:db8::1; 2001:db8::3; "); }, 15s));
    std::lock_guard lock(EngineLock());
    EXPECT_EQ(Items().blocks[s].reservedTexts[0], "known6=2001:db8::1; 2001:db8::3");
}
