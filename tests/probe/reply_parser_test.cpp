#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>
#include <vector>

#include "base/tick.h"
#include "dns_probe_fixture.h"
#include "items/reply_detail.h"
#include "items/result_eval.h"
#include "probe/scheduler.h"
#include "probe/tcp_query.h"
#include "tests/dns/dns_reply_builder.h"

namespace varnell {
namespace {

using test::DnsReplyBuilder;
using test::Section;
using test::SentQueries;
using Strings = std::vector<std::string>;

constexpr Section kAn = Section::Answer;
constexpr Section kNs = Section::Authority;
constexpr Section kAr = Section::Additional;

std::string QuestionOf(const test::SentQuery& q)
{
    std::vector<char> text(kMaxNameText);
    DecodeName(q.bytes, 12, text);
    return text.data();
}
std::uint16_t QtypeOf(const test::SentQuery& q)
{
    return static_cast<std::uint16_t>((q.bytes[q.bytes.size() - 4] << 8) | q.bytes[q.bytes.size() - 3]);
}

class ReplyTest : public test::DnsProbeTest {};

TEST_F(ReplyTest, TwoAddressesAreGatheredSortedAndDelivered)
{
    MakeItem("www.example.com", 0);
    const std::uint32_t id = SendPrimary();
    const auto reply = DnsReplyBuilder(static_cast<std::uint16_t>(id))
                           .Question("www.example.com", 1)
                           .A(kAn, "www.example.com", "192.0.2.2")
                           .A(kAn, "WWW.Example.com", "192.0.2.1")
                           .Bytes();
    const ReplyOutcome out = Reply(reply);
    EXPECT_EQ(out.verdict, ReplyVerdict::Processed);
    EXPECT_TRUE(out.deliver);
    EXPECT_EQ(out.code, 0);
    EXPECT_EQ(out.itemSlot, kSlot);
    EXPECT_EQ(Answers(), (Strings{"192.0.2.1", "192.0.2.2"}));
    EXPECT_EQ(Block().replies, 1u);
    EXPECT_EQ(Block().sendTime, kNow);
    EXPECT_EQ(Block().answerRecords, 2u);
    EXPECT_EQ(Outstanding(Item()), 0u);
    EXPECT_EQ(LockRequests()[id].sendTime, 0u);
    EXPECT_EQ(LockRequests()[id].expiry, 0u);
    EXPECT_STREQ(NamesText(Block(), Block().records[1].owner), "WWW.Example.com");
    EXPECT_EQ(ntohl(Block().records[1].ttlBE), 300u);

    // The same reply again finds no request and changes nothing.
    EXPECT_EQ(Reply(reply).verdict, ReplyVerdict::NoRequest);
    EXPECT_EQ(Block().replies, 1u);
}

TEST_F(ReplyTest, DuplicateAddressesAndRcodes)
{
    MakeItem("example.com", 0);
    std::uint32_t id = SendPrimary();
    ReplyOutcome out = Reply(DnsReplyBuilder(static_cast<std::uint16_t>(id))
                                 .Question("example.com", 1)
                                 .A(kAn, "example.com", "192.0.2.9")
                                 .A(kAn, "example.com", "192.0.2.9")
                                 .A(kAr, "other.example.com", "192.0.2.10")
                                 .Bytes());
    EXPECT_EQ(Answers(), Strings{"192.0.2.9"});

    id = SendPrimary();
    out = Reply(DnsReplyBuilder(static_cast<std::uint16_t>(id), 3)
                    .Question("example.com", 1)
                    .Record(kNs, "com", 6, DnsReplyBuilder::Encoded("a.gtld-servers.net"))
                    .Bytes());
    EXPECT_TRUE(out.deliver);
    EXPECT_EQ(out.code, 3);
    EXPECT_TRUE(Answers().empty());
    EXPECT_EQ(Block().authorityRecords, 1u);
    EXPECT_TRUE(SentQueries().size() == 2u); // NXDOMAIN asks nothing further
}

TEST_F(ReplyTest, CnameChainGivesTheTargetsAddress)
{
    MakeItem("n.example.com", 1);
    const std::uint32_t id = SendPrimary();
    const ReplyOutcome out = Reply(DnsReplyBuilder(static_cast<std::uint16_t>(id))
                                       .Question("n.example.com", 5)
                                       .Cname(kAn, "n.example.com", "m.example.com")
                                       .A(kAn, "m.example.com", "192.0.2.7")
                                       .Bytes());
    EXPECT_TRUE(out.deliver);
    EXPECT_EQ(Answers(), Strings{"192.0.2.7"});
    EXPECT_EQ(SentQueries().size(), 1u);
}

TEST_F(ReplyTest, MxWithoutGlueAsksForTheExchangeOnce)
{
    MakeItem("example.com", 2, "127.0.0.1", 5353);
    const std::uint32_t id = SendPrimary();
    ReplyOutcome out = Reply(DnsReplyBuilder(static_cast<std::uint16_t>(id))
                                 .Question("example.com", 15)
                                 .Mx(kAn, "example.com", 10, "mx.example.com")
                                 .Bytes());
    EXPECT_EQ(out.verdict, ReplyVerdict::Processed);
    EXPECT_FALSE(out.deliver); // the follow-up query will
    EXPECT_EQ(Block().records[0].preference, 10);
    EXPECT_STREQ(NamesText(Block(), Block().records[0].data), "mx.example.com");
    ASSERT_EQ(SentQueries().size(), 2u);
    const test::SentQuery& followUp = SentQueries()[1];
    EXPECT_EQ(QuestionOf(followUp), "mx.example.com");
    EXPECT_EQ(QtypeOf(followUp), 1);
    EXPECT_EQ(followUp.to.v4.sin_port, htons(5353));
    EXPECT_EQ(followUp.to.v4.sin_addr.s_addr, test::Ipv4("127.0.0.1"));
    EXPECT_EQ(Outstanding(Item()), 1u);
    EXPECT_EQ(Item().requestId, followUp.Id());
    const RequestSlot& slot = LockRequests()[followUp.Id()];
    EXPECT_EQ(slot.flags & kSlotPrimary, 0u);
    EXPECT_NE(slot.sendTime, 0u); // as it left
    EXPECT_EQ(slot.expiry, slot.sendTime + 2000);

    out = Reply(DnsReplyBuilder(followUp.Id())
                    .Question("mx.example.com", 1)
                    .A(kAn, "mx.example.com", "192.0.2.25")
                    .A(kAn, "mx.example.com", "192.0.2.26")
                    .Bytes());
    EXPECT_TRUE(out.deliver);
    EXPECT_EQ(out.code, 0);
    EXPECT_EQ(Answers(), (Strings{"192.0.2.25", "192.0.2.26"}));
    EXPECT_EQ(Block().answerRecords, 1u);
    EXPECT_EQ(Block().externalRecords, 2u);
    EXPECT_EQ(Block().nextFree, 3u);
    EXPECT_EQ(Block().replies, 1u);
    EXPECT_EQ(SentQueries().size(), 2u);
}

TEST_F(ReplyTest, MxWithGlueNeedsNoFollowUp)
{
    MakeItem("example.com", 2);
    const std::uint32_t id = SendPrimary();
    const ReplyOutcome out = Reply(DnsReplyBuilder(static_cast<std::uint16_t>(id))
                                       .Question("example.com", 15)
                                       .Mx(kAn, "example.com", 20, "mx2.example.com")
                                       .Mx(kAn, "example.com", 10, "mx1.example.com")
                                       .A(kAr, "mx1.example.com", "10.0.0.200")
                                       .A(kAr, "mx2.example.com", "10.0.0.1")
                                       .Bytes());
    EXPECT_TRUE(out.deliver);
    EXPECT_EQ(Answers(), (Strings{"10.0.0.200", "10.0.0.1"}));
    EXPECT_EQ(SentQueries().size(), 1u);
}

TEST_F(ReplyTest, UnresolvedDomainIsAskedOfItsNameServers)
{
    MakeItem("example.com", 0);
    const std::uint32_t id = SendPrimary();
    const ReplyOutcome out = Reply(DnsReplyBuilder(static_cast<std::uint16_t>(id))
                                       .Question("example.com", 1)
                                       .Ns(kNs, "example.com", "ns1.example.com")
                                       .Ns(kNs, "example.com", "ns2.example.com")
                                       .Cname(kAr, "ns1.example.com", "host.example.net")
                                       .A(kAr, "host.example.net", "127.0.0.8")
                                       .Bytes());
    EXPECT_FALSE(out.deliver);
    ASSERT_EQ(SentQueries().size(), 2u); // ns2 has no address: not asked
    EXPECT_EQ(QuestionOf(SentQueries()[1]), "example.com");
    EXPECT_EQ(QtypeOf(SentQueries()[1]), 1);
    EXPECT_EQ(SentQueries()[1].to.v4.sin_addr.s_addr, test::Ipv4("127.0.0.8"));
    EXPECT_EQ(SentQueries()[1].to.v4.sin_port, htons(53));

    // The answer must come from the name server asked, not from the item's server.
    const auto answer =
        DnsReplyBuilder(SentQueries()[1].Id()).Question("example.com", 1).A(kAn, "example.com", "192.0.2.80").Bytes();
    EXPECT_EQ(Reply(answer).verdict, ReplyVerdict::WrongSender);
    const ReplyOutcome done = Reply(answer, test::Endpoint("127.0.0.8", 53));
    EXPECT_TRUE(done.deliver);
    EXPECT_EQ(Answers(), Strings{"192.0.2.80"});
}

TEST_F(ReplyTest, AliasLoopsEnd)
{
    MakeItem("a.example.com", 1);
    std::uint32_t id = SendPrimary();
    ReplyOutcome out = Reply(DnsReplyBuilder(static_cast<std::uint16_t>(id))
                                 .Question("a.example.com", 5)
                                 .Cname(kAn, "a.example.com", "b.example.com")
                                 .Cname(kAn, "b.example.com", "a.example.com")
                                 .Bytes());
    EXPECT_TRUE(out.deliver);
    EXPECT_TRUE(Answers().empty());
    EXPECT_EQ(ResolveName(Block(), 2, "a.example.com", 1), 0u);

    // Many records all aliasing the domain to itself and to each other: the
    // gathering visits each name once instead of every path.
    id = SendPrimary();
    DnsReplyBuilder wide(static_cast<std::uint16_t>(id));
    wide.Question("a.example.com", 5);
    for (int i = 0; i < 30; ++i) {
        wide.Cname(kAn, "a.example.com", "a.example.com");
        wide.Cname(kAn, "a.example.com", "b.example.com");
    }
    wide.Cname(kAr, "b.example.com", "a.example.com");
    out = Reply(wide.Bytes());
    EXPECT_TRUE(out.deliver);
    EXPECT_EQ(Block().answerRecords, 60u);
}

TEST_F(ReplyTest, ResolveNameFollowsAliasesAndTheGivenType)
{
    MakeItem("example.com", 3);
    const std::uint32_t id = SendPrimary();
    Reply(DnsReplyBuilder(static_cast<std::uint16_t>(id))
              .Question("example.com", 2)
              .Ns(kAn, "example.com", "ns.example.com")
              .Cname(kAr, "ns.example.com", "ns.example.org")
              .A(kAr, "ns.example.org", "192.0.2.53")
              .A(kAr, "short.example.org", "192.0.2.54")
              .Bytes());
    const std::uint32_t count = 4;
    EXPECT_EQ(test::Dotted(ResolveName(Block(), count, "NS.example.com", 1)), "192.0.2.53");
    EXPECT_EQ(test::Dotted(ResolveName(Block(), count, "example.com", 2)), "192.0.2.53");
    EXPECT_EQ(ResolveName(Block(), count, "example.com", 1), 0u); // NS is followed only when asked for
    EXPECT_EQ(ResolveName(Block(), 3, "short.example.org", 1), 0u); // beyond count
    EXPECT_EQ(Answers(), Strings{"192.0.2.53"});
}

TEST_F(ReplyTest, SixtyTwoRecordsAreTooMany)
{
    MakeItem("example.com", 0);
    auto build = [](std::uint32_t id, int records) {
        DnsReplyBuilder b(static_cast<std::uint16_t>(id));
        b.Question("example.com", 1);
        for (int i = 0; i < records; ++i)
            b.A(i < 40 ? kAn : kAr, "example.com", ("10.1.0." + std::to_string(i)).c_str());
        return b.Bytes();
    };
    std::uint32_t id = SendPrimary();
    ReplyOutcome out = Reply(build(id, 61));
    EXPECT_TRUE(out.deliver);
    EXPECT_EQ(out.code, 0);
    EXPECT_EQ(Block().answerRecords, 40u);
    EXPECT_EQ(Block().additionalRecords, 21u);
    EXPECT_EQ(Block().additionalStart, 40u);
    EXPECT_EQ(Block().answerCount, 61u);

    id = SendPrimary();
    out = Reply(build(id, 62));
    EXPECT_TRUE(out.deliver);
    EXPECT_EQ(out.code, kCodeTooManyRecords);
    EXPECT_EQ(Block().answerRecords + Block().additionalRecords, 0u);
    EXPECT_EQ(Block().nextFree, 0u);
    EXPECT_EQ(Block().replies, 2u);
    EXPECT_EQ(LockRequests()[id].sendTime, 0u);
}

TEST_F(ReplyTest, FollowUpRecordsNeverOverrunTheRecordArea)
{
    MakeItem("example.com", 2);
    std::uint32_t id = SendPrimary();
    DnsReplyBuilder primary(static_cast<std::uint16_t>(id));
    primary.Question("example.com", 15).Mx(kAn, "example.com", 10, "mx.example.com");
    for (int i = 0; i < 40; ++i)
        primary.Record(kAr, "pad.example.com", 16, {1, 'x'});
    EXPECT_FALSE(Reply(primary.Bytes()).deliver);
    ASSERT_EQ(SentQueries().size(), 2u);

    // 41 stored + 1 question + 21 records reaches 63: refused, earlier records kept.
    DnsReplyBuilder followUp(SentQueries()[1].Id());
    followUp.Question("mx.example.com", 1);
    for (int i = 0; i < 21; ++i)
        followUp.A(kAn, "mx.example.com", ("10.2.0." + std::to_string(i)).c_str());
    const ReplyOutcome out = Reply(followUp.Bytes());
    EXPECT_TRUE(out.deliver);
    EXPECT_EQ(out.code, 0); // the primary's: the refused follow-up shows in the text
    ASSERT_EQ(Block().followUpFailureCount, 1u);
    EXPECT_EQ(Block().followUpFailures[0].code, kCodeTooManyFollowUpRecords);
    EXPECT_EQ(Block().answerRecords, 1u);
    EXPECT_EQ(Block().additionalRecords, 40u);
    EXPECT_EQ(Block().externalRecords, 0u);
    EXPECT_EQ(Block().additionalStart, 1u);
    EXPECT_EQ(Block().nextFree, 41u);
    EXPECT_STREQ(NamesText(Block(), Block().records[0].data), "mx.example.com");
}

TEST_F(ReplyTest, NamesThatOverflowTheNamesAreaAreRefusedAsTooMany)
{
    MakeItem("example.com", 4);
    const std::uint32_t id = SendPrimary();
    const std::string longName = std::string(60, 'a') + "." + std::string(60, 'b') + "." + std::string(60, 'c');
    DnsReplyBuilder b(static_cast<std::uint16_t>(id));
    b.Question("example.com", 12);
    for (int i = 0; i < 10; ++i) // 10 x (182 + 1) x 2 bytes: more than 2888
        b.Record(kAn, longName, 12, DnsReplyBuilder::Encoded(longName));
    const ReplyOutcome out = Reply(b.Bytes());
    EXPECT_TRUE(out.deliver);
    EXPECT_EQ(out.code, kCodeTooManyRecords);
    EXPECT_EQ(Block().answerRecords, 0u);
    EXPECT_EQ(Block().namesCursor, 0u);
}

TEST_F(ReplyTest, BrokenStructureIsDroppedAndTheRequestStillWaits)
{
    MakeItem("example.com", 0);
    const std::uint32_t id = SendPrimary();
    const auto id16 = static_cast<std::uint16_t>(id);
    const std::vector<std::vector<std::uint8_t>> broken = {
        // Owner name is a pointer to itself.
        DnsReplyBuilder(id16).Question("example.com", 1).Raw({0xC0, 29}).Raw({0, 1, 0, 1, 0, 0, 0, 9, 0, 4, 1, 2, 3, 4}).Counts(1, 1, 0, 0).Bytes(),
        // Owner name points past the end.
        DnsReplyBuilder(id16).Question("example.com", 1).RecordAt(kAn, 400, 1, {1, 2, 3, 4}).Bytes(),
        // Owner name points forward, to a name that is there.
        [&] {
            auto b = DnsReplyBuilder(id16).Question("example.com", 1).Raw({3, 'f', 'a', 'r'}).Pointer(600);
            b.Raw({0, 1, 0, 1, 0, 0, 0, 9, 0, 4, 192, 0, 2, 3}).Counts(1, 1, 0, 0);
            auto bytes = b.Bytes();
            bytes.resize(700, 0);
            return bytes;
        }(),
        // Data length runs past the end.
        [&] {
            auto b = DnsReplyBuilder(id16).Question("example.com", 1).A(kAn, "example.com", "192.0.2.1").Bytes();
            b.pop_back();
            return b;
        }(),
        // More records announced than present.
        DnsReplyBuilder(id16).Question("example.com", 1).A(kAn, "example.com", "192.0.2.1").Counts(1, 2, 0, 0).Bytes(),
        // Question name cut off.
        DnsReplyBuilder(id16).Raw({7, 'e', 'x', 'a'}).Counts(1, 0, 0, 0).Bytes(),
        // Owner name with a reserved label type.
        DnsReplyBuilder(id16).Question("example.com", 1).Raw({0x80, 'a', 0, 0, 1, 0, 1, 0, 0, 0, 9, 0, 4, 1, 2, 3, 4}).Counts(1, 1, 0, 0).Bytes(),
    };
    for (std::size_t i = 0; i < broken.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Reply(broken[i]).verdict, i == 5 ? ReplyVerdict::WrongQuestion : ReplyVerdict::Malformed);
        EXPECT_EQ(LockRequests()[id].sendTime, kNow);
        EXPECT_EQ(Outstanding(Item()), 1u);
    }
}

TEST_F(ReplyTest, OddButBoundedContentIsKept)
{
    MakeItem("example.com", 2);
    const std::uint32_t id = SendPrimary();
    DnsReplyBuilder b(static_cast<std::uint16_t>(id));
    b.Question("example.com", 15);
    b.A(kAn, "example.com", "192.0.2.1");
    b.Record(kAn, "example.com", 1, {192, 0, 2}); // short A data: never an address
    b.Record(kAn, "example.com", 15, {0});        // MX too short for its preference
    b.Record(kAr, "example.com", 28, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}); // data is no name
    b.Record(kAr, "example.com", 16, {0xC0, 0xFF});                                                   // pointer past the end
    const ReplyOutcome out = Reply(b.Bytes());
    EXPECT_TRUE(out.deliver);
    EXPECT_EQ(Block().answerRecords, 3u);
    EXPECT_EQ(Block().additionalRecords, 2u);
    EXPECT_EQ(Answers(), Strings{"192.0.2.1"});
    EXPECT_STREQ(NamesText(Block(), Block().records[2].data), "");
    EXPECT_STREQ(NamesText(Block(), Block().records[4].data), "");
    EXPECT_STREQ(NamesText(Block(), kNamesArea), "");
}

// A name a follow-up answer leaves without address is not asked again in the
// same probe, whether the answer came or the query timed out; the next primary
// query starts afresh.
TEST_F(ReplyTest, FollowUpNameIsAskedOncePerProbe)
{
    MakeItem("example.com", 2);
    const auto mx = [&](std::uint32_t id) {
        return Reply(DnsReplyBuilder(static_cast<std::uint16_t>(id))
                         .Question("example.com", 15)
                         .Mx(kAn, "example.com", 10, "mx.example.com")
                         .Mx(kAn, "example.com", 20, "MX.example.com.")
                         .Bytes());
    };
    ReplyOutcome out = mx(SendPrimary());
    ASSERT_EQ(SentQueries().size(), 2u); // one question for both spellings
    out = Reply(DnsReplyBuilder(SentQueries().back().Id()).Question("mx.example.com", 1).Bytes());
    EXPECT_TRUE(out.deliver);
    EXPECT_EQ(out.code, 0);
    EXPECT_EQ(SentQueries().size(), 2u);
    EXPECT_TRUE(Answers().empty());
    EXPECT_EQ(Outstanding(Item()), 0u);

    // Next probe: the follow-up times out; gathering again asks nothing more.
    mx(SendPrimary(kNow + 1000));
    ASSERT_EQ(SentQueries().size(), 4u);
    const std::uint32_t followUp = SentQueries().back().Id();
    LockRequests()[followUp].expiry = kNow + 1000;
    ScanTimeouts(kNow + 1000);
    EXPECT_EQ(SentQueries().size(), 4u);
    EXPECT_EQ(Outstanding(Item()), 0u);
    EXPECT_EQ(LockRequests()[followUp].expiry, 0u);
}

TEST_F(ReplyTest, NoFreeSlotStopsTheFollowUp)
{
    MakeItem("example.com", 2);
    const std::uint32_t id = SendPrimary();
    Reply(DnsReplyBuilder(static_cast<std::uint16_t>(id))
              .Question("example.com", 15)
              .Mx(kAn, "example.com", 10, "mx.example.com")
              .Bytes());
    ASSERT_EQ(SentQueries().size(), 2u);
    std::lock_guard lock(EngineLock());
    for (auto& slot : *LockRequests())
        slot.expiry = 1;
    EXPECT_EQ(CollectAnswers(Item(), Block(), 1, "mx.example.com", 1, kNow), 2);
    EXPECT_EQ(CollectAnswers(Item(), Block(), 1, "example.com", 15, kNow), 0);
    EXPECT_EQ(SentQueries().size(), 2u);
    EXPECT_EQ(Outstanding(Item()), 1u);
    // With more than 8 requests of the item outstanding nothing more is asked.
    SetOutstanding(Item(), 9);
    EXPECT_EQ(CollectAnswers(Item(), Block(), 1, "mx.example.com", 1, kNow), 1);
}

// Which replies count. A forger sweeping every identifier with the item's
// question as configured never gets one taken: it must also guess the random
// case the name went out in. The one question asked, type and class included,
// is the only one a reply may carry.
bool TakeTcpQuestion(const TcpQuery&) { return true; }

TEST_F(ReplyTest, ForgedRepliesNeedTheIdentifierTheQuestionAndItsCase)
{
    SetQueryRandomisation(true);
    SetTcpQueryHook(&TakeTcpQuestion);
    MakeItem("forged-replies.example.com", 0);
    SendPrimary();
    auto forged = DnsReplyBuilder(0).Question("forged-replies.example.com", 1)
                      .A(kAn, "forged-replies.example.com", "198.51.100.66").Bytes();
    for (std::uint32_t id = 0; id < kRequestSlots; ++id) {
        forged[0] = static_cast<std::uint8_t>(id);
        forged[1] = static_cast<std::uint8_t>(id >> 8);
        ASSERT_FALSE(Reply(forged).deliver) << id;
    }
    EXPECT_EQ(Outstanding(Item()), 1u);

    const std::uint16_t id = SentQueries()[0].Id();
    const std::string asked = QuestionOf(SentQueries()[0]);
    EXPECT_NE(asked, "forged-replies.example.com");
    const std::vector<DnsReplyBuilder> wrong = {
        DnsReplyBuilder(id).Question(asked, 28), DnsReplyBuilder(id).Name(asked).U16(1).U16(3).Counts(1, 0, 0, 0),
        DnsReplyBuilder(id).Question(asked, 1).Question(asked, 1), DnsReplyBuilder(id)};
    for (const DnsReplyBuilder& b : wrong)
        EXPECT_EQ(Reply(b.Bytes()).verdict, ReplyVerdict::WrongQuestion);
    const ReplyOutcome out = Reply(DnsReplyBuilder(id).Question(asked, 1).A(kAn, asked, "192.0.2.1").Bytes());
    EXPECT_TRUE(out.deliver);
    EXPECT_EQ(Answers(), Strings{"192.0.2.1"});
    SetTcpQueryHook(nullptr);

    // Nor does a forged reply waiting to be processed put off the time-out.
    SendPrimary();
    const std::uint16_t next = SentQueries().back().Id();
    EXPECT_FALSE(EndIfTimedOut(next, kNow + Item().timeout - 1).deliver);
    EXPECT_EQ(EndIfTimedOut(next, kNow + Item().timeout).code, kResultTimeout);
}

// A reply later than the time-out fails its query whenever it comes, also
// before the timeout scan has ended the request.
TEST_F(ReplyTest, ReplyLaterThanTheTimeOutFailsItsQuery)
{
    MakeItem("example.com", 0);
    const auto reply = DnsReplyBuilder(static_cast<std::uint16_t>(SendPrimary())).Question("example.com", 1).Bytes();
    const ReplyOutcome late = ProcessReply(reply, ServerPeer(Item()), kNow + Item().timeout + 1);
    EXPECT_EQ(late.verdict, ReplyVerdict::Late);
    EXPECT_TRUE(late.deliver);
    EXPECT_EQ(late.code, kResultTimeout);
    EXPECT_EQ(Outstanding(Item()), 0u);
    EXPECT_EQ(Reply(reply).verdict, ReplyVerdict::NoRequest);
}

// A probe's result is its primary reply's code and round trip, whichever
// follow-up answers last; follow-ups that fail, or cannot even be sent (then
// nothing is armed to time out later), show in the reply text.
TEST_F(ReplyTest, ProbeResultIsThePrimaryReplysWhateverItsFollowUpsComeTo)
{
    MakeItem("example.com", 2);
    const auto mx = [](std::uint32_t id, std::initializer_list<const char*> hosts) {
        DnsReplyBuilder b(static_cast<std::uint16_t>(id));
        b.Question("example.com", 15);
        for (const char* host : hosts)
            b.Mx(kAn, "example.com", 10, host);
        return b.Bytes();
    };
    EXPECT_FALSE(Reply(mx(SendPrimary(), {"mx.example.com", "dead.example.com"})).deliver);
    ASSERT_EQ(SentQueries().size(), 3u);
    const PeerAddress server = ServerPeer(Item());
    const auto live = DnsReplyBuilder(SentQueries()[1].Id()).Question("mx.example.com", 1).A(kAn, "mx.example.com", "192.0.2.25");
    EXPECT_FALSE(ProcessReply(live.Bytes(), server, TickCount()).deliver);
    const ReplyOutcome out =
        ProcessReply(DnsReplyBuilder(SentQueries()[2].Id(), 3).Question("dead.example.com", 1).Bytes(), server, TickCount());
    EXPECT_TRUE(out.deliver);
    EXPECT_EQ(out.code, 0);
    EXPECT_EQ(Answers(), Strings{"192.0.2.25"});
    EXPECT_EQ(Block().sendTime, kNow);
    EXPECT_EQ(Block().receiveTime, kNow + 20);
    EXPECT_NE(DetailPlainText(BuildReplyDetail(Block()))
                  .find("1 Follow-up failed:\r\n  dead.example.com : Error code 3: Name Error"),
              std::string::npos);

    const std::uint32_t next = SendPrimary();
    test::FailSends() = true;
    EXPECT_TRUE(Reply(mx(next, {"mx.example.com"})).deliver);
    EXPECT_EQ(Block().followUpFailures[0].code, kResultSendFailed);
    ForEachArmedSlot(*LockRequests(), [](std::uint32_t slot, RequestSlot&) { ADD_FAILURE() << "slot " << slot << " armed"; });
}

// Editing an item ends its pending requests as deleting does, so a reply to the
// old settings finds none; only the slots armed for the item are looked at.
TEST_F(ReplyTest, EditingAnItemEndsItsRequests)
{
    MakeItem("example.com", 0);
    const std::uint32_t id = SendPrimary();
    const PeerAddress oldServer = ServerPeer(Item());
    RequestSlot& unarmed = LockRequests()[id ^ 1];
    unarmed.itemSlot = kSlot;
    unarmed.expiry = 5;
    ItemEdit edit = EditOf(Item());
    edit.serverBE = test::Ipv4("127.0.0.2");
    CommitItemUpdate(kSlot, edit);
    EXPECT_EQ(Outstanding(Item()), 0u);
    const auto reply =
        DnsReplyBuilder(static_cast<std::uint16_t>(id)).Question("example.com", 1).A(kAn, "example.com", "192.0.2.1").Bytes();
    EXPECT_EQ(ProcessReply(reply, oldServer, kNow + 20).verdict, ReplyVerdict::NoRequest);
    EXPECT_EQ(unarmed.expiry, 5u);
}

TEST(AnswerAddresses, SortByLastOctetAsSignedIntegers)
{
    ItemBlock& block = LockItems()->blocks[1];
    ResetItemBlock(block);
    for (const char* a : {"10.0.0.2", "10.0.0.1", "10.0.0.200", "10.0.0.128", "10.0.0.127", "9.0.0.1"})
        AddUniqueAddress(block, test::Ipv4(a));
    AddUniqueAddress(block, test::Ipv4("10.0.0.1"));
    SortAnswers(block);
    Strings got;
    for (std::uint32_t i = 0; i < block.answerCount; ++i)
        got.push_back(test::Dotted(block.answers[i].addrBE));
    EXPECT_EQ(got, (Strings{"10.0.0.128", "10.0.0.200", "9.0.0.1", "10.0.0.1", "10.0.0.2", "10.0.0.127"}));

    ResetItemBlock(block);
    for (std::uint32_t i = 0; i < kAnswerAddresses + 10; ++i)
        AddUniqueAddress(block, htonl(0x0A000000u + i));
    EXPECT_EQ(block.answerCount, kAnswerAddresses);
}

} // namespace
} // namespace varnell
