// Result evaluation: the up/down state machine, statistics, the address-change
// event and what reaches the row, the event list and the alert dispatch.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "items/answer_eval.h"
#include "base/tick.h"
#include "items/item_table.h"
#include "items/result_eval.h"
#include "items/result_hooks.h"
#include "probe/reply_parser.h"
#include "tests/items/recording_hooks.h"

using namespace varnell;
using varnell::test::RecordingHooks;

namespace {

std::uint32_t Addr(const char* dotted)
{
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

class ResultEval : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitItemTable();
        SetResultHooks(&hooks);
        ItemEdit e;
        e.interval = 1000;
        e.timeout = 2000;
        e.serverBE = Addr("127.0.0.1");
        e.lostCount = 6;
        e.name = "alpha";
        e.domain = "alpha.test";
        ASSERT_TRUE(CommitNewItem(0, e));
        item = &LockItems()->items[0];
        block = &LockItems()->blocks[0];
    }
    void TearDown() override { SetResultHooks(nullptr); }

    void SetLost(std::uint32_t n) { SetLostCount(*item, n); }
    // A reply as the receiver leaves it: counted, answered rtt ms ago.
    int Reply(int code, std::uint32_t rtt = 5)
    {
        ++block->replies;
        block->sendTime = TickCount() - rtt;
        block->receiveTime = block->sendTime + rtt;
        return OnDnsResult(item, code);
    }
    int Timeout() { return OnDnsResult(item, kResultTimeout); }
    void SetAnswers(std::initializer_list<const char*> addrs)
    {
        block->answerCount = 0;
        for (const char* a : addrs)
            block->answers[block->answerCount++].addrBE = Addr(a);
    }

    RecordingHooks hooks;
    DnsItem* item = nullptr;
    ItemBlock* block = nullptr;
};

TEST_F(ResultEval, DownAtSeventhFailureAndUpAtSeventhSuccessWithSixLost)
{
    for (int i = 0; i < 6; ++i)
        Timeout();
    EXPECT_EQ(hooks.Images(), std::vector<int>{kImageFailing}); // only the first failure turns it yellow
    EXPECT_TRUE(hooks.events.empty());

    Timeout();
    EXPECT_EQ(hooks.Images().back(), kImageDown);
    ASSERT_EQ(hooks.events.size(), 1u);
    EXPECT_EQ(hooks.events[0].text, "alpha is down");
    EXPECT_EQ(hooks.events[0].kind, kEventDown);
    EXPECT_EQ(hooks.dispatched.size(), 1u);

    for (int i = 0; i < 20; ++i)
        Timeout();
    EXPECT_EQ(hooks.events.size(), 1u); // one down per outage

    hooks.Clear();
    for (int i = 0; i < 6; ++i)
        Reply(0);
    EXPECT_TRUE(hooks.Images().empty()); // the first success only clears the failing mode
    EXPECT_TRUE(hooks.events.empty());
    Reply(0);
    EXPECT_EQ(hooks.Images(), std::vector<int>{kImageUp});
    ASSERT_EQ(hooks.events.size(), 1u);
    EXPECT_EQ(hooks.events[0].text, "alpha is up");
    EXPECT_EQ(hooks.events[0].kind, kEventUp);
}

TEST_F(ResultEval, NotifyFlagsDecideDispatchButEveryEventIsListed)
{
    item->flags &= ~(kFlagNotifyDown | kFlagNotifyChange);
    SetLost(0);
    for (int i = 0; i < 65; ++i)
        Timeout();
    ASSERT_EQ(hooks.events.size(), 1u);
    EXPECT_TRUE(hooks.dispatched.empty());

    SetAnswers({"192.0.2.1"});
    for (int i = 0; i < 65; ++i)
        Reply(0);
    // The first success records the new address, the 65th raises the up event.
    ASSERT_EQ(hooks.events.size(), 3u);
    EXPECT_EQ(hooks.events[1].text, "the ip of alpha is changed to 192.0.2.1; ");
    EXPECT_EQ(hooks.events[2].text, "alpha is up");
    ASSERT_EQ(hooks.dispatched.size(), 1u);
    EXPECT_EQ(hooks.dispatched[0].text, "alpha is up");
    EXPECT_EQ(hooks.dispatched[0].timeText, hooks.events[2].timeText);
}

TEST_F(ResultEval, ZeroLostCountChangesStateOnlyWhenTheCounterWraps)
{
    SetLost(0);
    Reply(0);
    for (int i = 0; i < 64; ++i)
        Timeout();
    EXPECT_TRUE(hooks.events.empty());
    Timeout(); // the 65th failure in a row
    ASSERT_EQ(hooks.events.size(), 1u);
    EXPECT_EQ(hooks.events[0].text, "alpha is down");
}

TEST_F(ResultEval, AverageCountsEveryReplyButSumsOnlySuccesses)
{
    EXPECT_EQ(Reply(kResultNameError), 0);
    EXPECT_EQ(hooks.Text(kColMonitorState),
              "Error code 3: Name Error - Meaningful only for responses from an authoritative name server, this "
              "code signifies that the domain name referenced in the query does not exist");
    EXPECT_EQ(block->replies, 1u);
    EXPECT_EQ(hooks.Images(), std::vector<int>{kImageFailing});

    Reply(0, 10);
    Reply(0, 20);
    Reply(0, 30);
    // (10 + 20 + 30) / 4 replies; a tick passing during a call adds at most 1 ms each.
    EXPECT_EQ(block->rttAvg, 15u);
    EXPECT_GE(block->rttMin, 10u);
    EXPECT_LE(block->rttMin, 11u);
    EXPECT_GE(block->rttMax, 30u);
    EXPECT_EQ(hooks.Text(kColReplies), "4");
    EXPECT_EQ(hooks.Text(kColRtt).rfind(std::to_string(block->rttMin) + "ms/" + std::to_string(block->rttMax) +
                                            "ms/15ms/",
                                        0),
              0u);
    EXPECT_EQ(hooks.Text(kColMonitorState), "Get Reply");
}

TEST_F(ResultEval, RoundTripInMicrosecondsWhenBothEndsWereStampedTogether)
{
    // Stamps of the same probe: their microseconds, the list still in ms.
    block->sendNs = 7'000'000'000;
    block->receiveNs = block->sendNs + 50'042'000;
    Reply(0, 50);
    EXPECT_EQ(block->rttLastUs, 50'042u);
    EXPECT_EQ(block->rttLast, 50u);
    // No stamp for one end (a transport that measures its own): the ticks' ms.
    block->receiveNs = 0;
    Reply(0, 30);
    EXPECT_EQ(block->rttLastUs, 30'000u);
    // Stamps of another probe than the ticks: never mixed in.
    block->receiveNs = block->sendNs + 900'000'000;
    Reply(0, 40);
    EXPECT_EQ(block->rttLastUs, 40'000u);
}

TEST_F(ResultEval, LateReplyOnlyUpdatesRequestAndStateColumns)
{
    block->sent = 3;
    block->failed = 1;
    Timeout();
    hooks.Clear();
    const std::uint32_t state = block->state;
    EXPECT_EQ(Reply(0, 2500), kResultLate);
    EXPECT_EQ(block->state, state);
    EXPECT_EQ(block->rttSum, 0);
    ASSERT_EQ(hooks.texts.size(), 2u);
    EXPECT_EQ(hooks.Text(kColRequests), "3/1");
    EXPECT_EQ(hooks.Text(kColMonitorState), "Get Reply");
}

TEST_F(ResultEval, ResultsForMissingOrDeletedItemsAreIgnored)
{
    EXPECT_EQ(OnDnsResult(nullptr, 0), 0);
    ASSERT_TRUE(DeleteItemRow(0));
    EXPECT_EQ(OnDnsResult(item, kResultTimeout), 0);
    EXPECT_EQ(block->state, 0u);
    EXPECT_TRUE(hooks.texts.empty());
    EXPECT_TRUE(hooks.images.empty());
}

TEST_F(ResultEval, CodesBeyondTheTableBlankOrKeepTheStateColumn)
{
    EXPECT_STREQ(ResultCodeText(18), "Error code 18: Get part reply");
    EXPECT_STREQ(ResultCodeText(20), "Error code 20: More than 64 sections");
    EXPECT_STREQ(ResultCodeText(21), "Error code 21: Answer not as expected");
    EXPECT_STREQ(ResultCodeText(27), "Error code 27: Signature expired");
    // 28 to 39 are the transports' codes, each with its own text.
    EXPECT_STREQ(ResultCodeText(31), "Error code 31: Certificate name mismatch");
    EXPECT_STREQ(ResultCodeText(39), "Error code 39: Connection failed");
    EXPECT_EQ(ResultCodeText(40), nullptr);
    EXPECT_EQ(ResultCodeText(-4), nullptr);

    OnDnsResult(item, 40);
    EXPECT_EQ(hooks.Count(kColMonitorState), 0);
    EXPECT_EQ(hooks.Images(), std::vector<int>{kImageFailing}); // still a failure
}

// An answer that fails its condition fails the probe, with the reason in the
// state column, and goes down through the lost count like any failure.
TEST_F(ResultEval, FailedConditionIsAFailureWithItsReason)
{
    AnswerConditions c;
    ASSERT_EQ(ReadConditionFields({"equals", "192.0.2.1", "", "", ""}, c), "");
    ASSERT_TRUE(SetItemConditions(*item, c));
    SetLost(1);
    SetAnswers({"192.0.2.7"});
    Reply(0);
    Reply(0);
    EXPECT_EQ(hooks.Text(kColMonitorState),
              "Error code 21: Answer not as expected - expected 192.0.2.1; got 192.0.2.7");
    ASSERT_EQ(hooks.events.size(), 1u);
    EXPECT_EQ(hooks.events[0].text, "alpha is down");
    EXPECT_EQ(FailureDetail(*item), "expected 192.0.2.1; got 192.0.2.7");
    SetAnswers({"192.0.2.1"});
    Reply(0);
    Reply(0);
    EXPECT_EQ(hooks.events.back().text, "alpha is up");
    EXPECT_EQ(FailureDetail(*item), "");
}

TEST_F(ResultEval, AddressChangeEvents)
{
    SetAnswers({"192.0.2.7", "192.0.2.9"});
    Reply(0);
    ASSERT_EQ(hooks.events.size(), 1u);
    EXPECT_EQ(hooks.events[0].text, "the ip of alpha is changed to 192.0.2.7; 192.0.2.9; ");
    EXPECT_EQ(hooks.events[0].kind, kEventChanged);
    EXPECT_EQ(item->knownCount, 2u);
    EXPECT_EQ(hooks.Text(kColAddress), "192.0.2.7");

    Reply(0); // same set: no event
    EXPECT_EQ(hooks.events.size(), 1u);

    // The parser sorts the answers, so another reply order is no change.
    SetAnswers({"192.0.2.9", "192.0.2.7"});
    SortAnswers(*block);
    EXPECT_FALSE(AddressesChanged(*item));

    // A success without addresses: the bare prefix, and an empty address column.
    block->answerCount = 0;
    Reply(0);
    ASSERT_EQ(hooks.events.size(), 2u);
    EXPECT_EQ(hooks.events[1].text, "the ip of alpha is changed to ");
    EXPECT_EQ(hooks.Text(kColAddress), "");
    EXPECT_EQ(item->knownCount, 0u);

    // A failure never compares addresses.
    SetAnswers({"198.51.100.1"});
    Timeout();
    EXPECT_EQ(hooks.events.size(), 2u);
    EXPECT_EQ(hooks.Text(kColAddress), "198.51.100.1");

    // Nor does a success evaluated while the item's next probe gathers into the
    // same answers: that probe's own result compares them.
    SetOutstanding(*item, 1);
    Reply(0);
    EXPECT_EQ(hooks.events.size(), 2u);

    // Nor a set that a failed follow-up query left incomplete.
    SetOutstanding(*item, 0);
    block->followUpFailureCount = 1;
    Reply(0);
    EXPECT_EQ(hooks.events.size(), 2u);
    block->followUpFailureCount = 0;
    Reply(0);
    EXPECT_EQ(hooks.events.size(), 3u);
}

TEST_F(ResultEval, FullAnswerAreaFitsTheEventTextAndTheKnownArea)
{
    block->answerCount = kAnswerAddresses;
    for (std::uint32_t i = 0; i < kAnswerAddresses; ++i)
        block->answers[i].addrBE = htonl(0x0A000000u | i);
    // Stored data may claim more known addresses than the area holds: only the
    // counts are compared then, never the entries beyond it.
    item->knownCount = 5000;
    EXPECT_TRUE(AddressesChanged(*item));
    Reply(0);
    EXPECT_EQ(item->knownCount, kAnswerAddresses);
    EXPECT_EQ(item->known[255].addrBE, htonl(0x0A0000FFu));
    ASSERT_EQ(hooks.events.size(), 1u);
    const std::string& text = hooks.events[0].text;
    EXPECT_EQ(text.rfind("the ip of alpha is changed to 10.0.0.0; 10.0.0.1; ", 0), 0u);
    EXPECT_NE(text.find("10.0.0.255; "), std::string::npos);
    EXPECT_FALSE(AddressesChanged(*item));
}

} // namespace
