// The probe scheduler: its rhythm, which items a pass probes, what it does with a
// failed send, and how the timeout scan ends requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "tests/support/recording_ui_channel.h"
#include "items/address6.h"
#include "items/item_table.h"
#include "items/result_eval.h"
#include "probe/engine.h"
#include "probe/engine_threads.h"
#include "probe/probe_socket.h"
#include "probe/reply_parser.h"
#include "probe/request_table.h"
#include "probe/scheduler.h"
#include "tests/dns/dns_reply_builder.h"
#include "tests/support/process.h"

using namespace varnell;

namespace {

struct SentQuery {
    std::uint16_t id;
    std::uint32_t toBE;
};

// The tick as the tests set it (SetTickSource).
std::atomic<std::uint32_t> g_tick{0};
std::uint32_t TestTick() { return g_tick.load(); }

std::mutex g_sentMutex;
std::vector<SentQuery> g_sent;
bool g_sendFails = false;

ssize_t CaptureSend(const std::uint8_t* bytes, std::size_t length, const PeerAddress& to)
{
    std::lock_guard lock(g_sentMutex);
    if (g_sendFails)
        return -1;
    g_sent.push_back({static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8)), to.v4.sin_addr.s_addr});
    return static_cast<ssize_t>(length);
}

class Scheduler : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitItemTable();
        ResetRequestTable();
        Engine().exitFlag = 0;
        g_sent.clear();
        g_sendFails = false;
        SetQuerySendHook(CaptureSend);
        SetUiChannel(&desktop);
        Engine().resultWindow = desktop.RegisterWindow([this](const WindowMessage& m) {
            std::lock_guard lock(mutex);
            results.emplace_back(static_cast<std::uint32_t>(m.wparam), static_cast<int>(m.lparam));
        });
    }
    void TearDown() override
    {
        SetQuerySendHook(nullptr);
        SetTickSource(nullptr);
        desktop.Drain();
        SetUiChannel(nullptr);
    }
    // Sets the tick for the engine's own stamps and returns it.
    std::uint32_t At(std::uint32_t tick)
    {
        SetTickSource(TestTick);
        g_tick = tick;
        return tick;
    }

    std::uint32_t Add(const char* name, std::uint32_t interval = 1000, std::uint32_t timeout = 2000)
    {
        ItemEdit e;
        e.interval = interval;
        e.timeout = timeout;
        e.serverBE = htonl(0x7F000001u + LockItems()->highWater);
        e.name = name;
        e.domain = std::string(name) + ".test";
        const int slot = NewItemSlot();
        EXPECT_TRUE(CommitNewItem(static_cast<std::uint32_t>(slot), e));
        return static_cast<std::uint32_t>(slot);
    }
    std::vector<std::pair<std::uint32_t, int>> Results()
    {
        desktop.Drain();
        std::lock_guard lock(mutex);
        return results;
    }
    std::vector<SentQuery> Sent()
    {
        std::lock_guard lock(g_sentMutex);
        return g_sent;
    }

    RecordingUiChannel desktop;
    std::mutex mutex;
    std::vector<std::pair<std::uint32_t, int>> results;
};

TEST(SchedulerRhythm, WaitMakesUpTheSecondWithFloorAndOverrun)
{
    EXPECT_EQ(NextWait(10000, 10050), 950u);
    EXPECT_EQ(NextWait(10000, 10950), 200u);  // under 100 left: 200
    EXPECT_EQ(NextWait(10000, 11200), 500u);  // overran the period: 500
    EXPECT_EQ(NextWait(10000, 10899), 101u);
    EXPECT_EQ(NextWait(0xFFFFFF00u, 0x00000010u), 728u); // across the tick counter's wrap
}

TEST_F(Scheduler, PassProbesOnlyDueItemsAndArmsTheirRequests)
{
    const std::uint32_t due = Add("due");
    const std::uint32_t suspended = Add("suspended");
    const std::uint32_t deleted = Add("deleted");
    const std::uint32_t busy = Add("busy");
    const std::uint32_t later = Add("later");
    SuspendItem(suspended);
    ASSERT_TRUE(DeleteItemRow(static_cast<std::uint32_t>(LockItems()->items[deleted].rowPosition)));
    SetOutstanding(LockItems()->items[busy], 1);
    const std::uint32_t now = At(500000);
    LockItems()->items[later].nextDue = now + 1;

    EXPECT_EQ(ProbePass(now), 1u);
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    const DnsItem& item = LockItems()->items[due];
    EXPECT_EQ(sent[0].id, LockRequests()[item.requestId].identifier);
    EXPECT_EQ(sent[0].toBE, item.server.addrBE);
    const RequestSlot& slot = LockRequests()[item.requestId];
    EXPECT_EQ(slot.itemSlot, due);
    EXPECT_EQ(slot.sendTime, now);
    EXPECT_EQ(slot.expiry, now + 2000);
    EXPECT_NE(slot.flags & kSlotPrimary, 0u);
    EXPECT_EQ(Outstanding(item), 1u);
    EXPECT_EQ(LockItems()->blocks[due].sent, 1u);
    EXPECT_EQ(item.nextDue, now + 1000);

    // Nothing is due again until its interval has run and its request has ended.
    EXPECT_EQ(ProbePass(now + 1000), 1u); // only "later"
    EXPECT_EQ(Sent().back().id, LockRequests()[LockItems()->items[later].requestId].identifier);

    // A resumed item is probed at the next pass: its due time has long passed.
    ResumeItem(suspended);
    EXPECT_EQ(ProbePass(now + 1001), 1u);
    EXPECT_EQ(Sent().back().toBE, LockItems()->items[suspended].server.addrBE);
    EXPECT_TRUE(Results().empty());
}

TEST_F(Scheduler, FailedSendPostsCode17AndLeavesTheSlotFree)
{
    const std::uint32_t s = Add("alpha");
    g_sendFails = true;
    const std::uint32_t now = 7000;
    EXPECT_EQ(ProbePass(now), 1u);
    const DnsItem& item = LockItems()->items[s];
    EXPECT_EQ(Outstanding(item), 0u);
    EXPECT_EQ(LockRequests()[item.requestId].expiry, 0u);
    EXPECT_EQ(LockItems()->blocks[s].failed, 1u);
    EXPECT_EQ(LockItems()->blocks[s].sent, 1u);
    EXPECT_EQ(item.nextDue, now + 1000);
    auto results = Results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], std::make_pair(s, int{kResultSendFailed}));
}

TEST_F(Scheduler, TimeoutScanEndsPrimaryAndFollowUpRequests)
{
    const std::uint32_t s = Add("alpha", 1000, 2000);
    const std::uint32_t now = At(10000);
    ProbePass(now);
    const std::uint32_t id = LockItems()->items[s].requestId;

    ScanTimeouts(now + 1999);
    EXPECT_TRUE(Results().empty());
    ScanTimeouts(now + 2000);
    ASSERT_EQ(Results().size(), 1u);
    EXPECT_EQ(Results()[0], std::make_pair(s, int{kResultTimeout}));
    EXPECT_EQ(Outstanding(LockItems()->items[s]), 0u);
    EXPECT_EQ(LockRequests()[id].expiry, 0u);
    EXPECT_EQ(LockRequests()[id].sendTime, 0u); // a late reply finds no request

    // Two follow-ups outstanding after a primary reply with RCODE 3: the first
    // to time out posts nothing, the last posts the primary's code.
    LockItems()->blocks[s].primaryCode = kResultNameError;
    {
        std::lock_guard lock(EngineLock());
        for (std::uint32_t f = 0; f < 2; ++f) {
            const int slot = AllocRequestSlot();
            ASSERT_GE(slot, 0);
            RequestSlot& r = LockRequests()[static_cast<std::uint32_t>(slot)];
            r.itemSlot = s;
            r.limit = 1;
            r.flags = 0;
            ArmRequestSlot(r, now + 3000, f == 0 ? 100 : 200);
            RaiseOutstanding(LockItems()->items[s]);
        }
    }
    ScanTimeouts(now + 3100);
    EXPECT_EQ(Results().size(), 1u);
    EXPECT_EQ(Outstanding(LockItems()->items[s]), 1u);
    ScanTimeouts(now + 3200);
    ASSERT_EQ(Results().size(), 2u);
    EXPECT_EQ(Results()[1], std::make_pair(s, int{kResultNameError}));
    EXPECT_EQ(LockItems()->blocks[s].followUpFailureCount, 2u);
}

TEST_F(Scheduler, PassEndsWhenNoRequestSlotIsFree)
{
    Add("alpha");
    {
        std::lock_guard lock(EngineLock());
        for (auto& slot : *LockRequests())
            slot.expiry = 0xFFFFFFF0u;
    }
    EXPECT_EQ(ProbePass(1000), 0u);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(LockItems()->blocks[0].sent, 0u);
    EXPECT_EQ(LockItems()->items[0].nextDue, 0u); // still due at the next pass
}

TEST_F(Scheduler, ThreadProbesEachSecondAndStopsAtOnce)
{
    Add("alpha", 500, 100000);
    Engine().exitFlag = 0;
    StartScheduler();
    // The first pass comes after the first wait of a second.
    ASSERT_TRUE(varnell::test::WaitFor([&] { return Sent().size() >= 1; }, std::chrono::seconds(3)));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(StopEngineThreads(), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_FALSE(Engine().scheduler.joinable());
    EXPECT_EQ(Sent().size(), 1u); // one request outstanding: no second probe
}

} // namespace

namespace {

// With nobody reading replies, the pass's flow control may hold it back but must
// never keep it from sending every due item.
TEST_F(Scheduler, PassGoesOnWhenRepliesNeverCome)
{
    for (int i = 0; i < 1024; ++i)
        Add(("item" + std::to_string(i)).c_str());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ProbePass(1000), 1024u);
    EXPECT_EQ(Sent().size(), 1024u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    // Items whose server did not answer last time do not hold the pass at all.
    for (std::uint32_t i = 0; i < 1024; ++i) {
        SetOutstanding(LockItems()->items[i], 0);
        LockItems()->blocks[i].state |= kStateFailing;
    }
    const auto again = std::chrono::steady_clock::now();
    EXPECT_EQ(ProbePass(3000), 1024u);
    EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(150)); // counted, they would stall it 6 times 50 ms
}

} // namespace

namespace {

// Due times, expiries and round trips on both sides of 2^32, where the 32-bit
// tick wraps: an item must keep being probed and every request must end, on time.
TEST_F(Scheduler, DueTimesExpiriesAndRoundTripsHoldAcrossTheTickWrap)
{
    // Probe and follow-up sent at S; scans at S + 1 and S + 1999 (nothing may
    // end), then one pass late at S + 3000 (both end).
    for (const std::uint32_t start : {0xFFFFF600u, 0xFFFFFA24u, 0xFFFFFFFFu, 0u, 0x7FFFFF00u}) {
        SCOPED_TRACE(start);
        InitItemTable();
        ResetRequestTable();
        desktop.Drain();
        results.clear();
        const std::uint32_t a = Add("alpha", 1000, 2000);
        const std::uint32_t b = Add("beta", 1000, 2000);
        SuspendItem(b);
        EXPECT_EQ(ProbePass(At(start)), 1u);
        {
            std::lock_guard lock(EngineLock());
            const int slot = AllocRequestSlot();
            ASSERT_GE(slot, 0);
            RequestSlot& r = LockRequests()[static_cast<std::uint32_t>(slot)];
            r.itemSlot = b;
            r.limit = 1;
            r.flags = 0;
            ArmRequestSlot(r, start, 2000);
            RaiseOutstanding(LockItems()->items[b]);
        }
        ScanTimeouts(At(start + 1));
        ScanTimeouts(At(start + 1999));
        EXPECT_TRUE(Results().empty());
        ScanTimeouts(At(start + 3000));
        auto ended = Results(); // in the order of the slots drawn
        std::sort(ended.begin(), ended.end());
        ASSERT_EQ(ended.size(), 2u);
        EXPECT_EQ(ended[0], std::make_pair(a, int{kResultTimeout}));
        EXPECT_EQ(ended[1], std::make_pair(b, int{kResultOk})); // its primary's code
        // Due since S + 1000.
        EXPECT_EQ(ProbePass(At(start + 3000)), 1u);
        EXPECT_EQ(LockItems()->items[a].nextDue, start + 4000);
    }

    // A due time from before a suspension of more than 24.8 days reads as far
    // ahead; it lies further ahead than one interval, so it is due.
    const std::uint32_t a = 0;
    SetOutstanding(LockItems()->items[a], 0);
    LockItems()->items[a].nextDue = 0x80000100u;
    EXPECT_EQ(ProbePass(At(0x100)), 1u);

    // The round trip of a reply sent before and read after the wrap.
    ItemBlock& block = LockItems()->blocks[a];
    block.sendTime = 0xFFFFFFF0u;
    block.receiveTime = 0x10u;
    block.replies = 1;
    EXPECT_EQ(OnDnsResult(&LockItems()->items[a], kResultOk), 0);
    EXPECT_EQ(block.rttMax, 32u);
    EXPECT_EQ(block.rttSum, 32);
}

// A late reply or a timeout of a deleted item's request must never reach the
// item that takes its slot next: adding at the top of the table reuses the slot
// of an item deleted from there at once.
TEST_F(Scheduler, NewItemInTheTopSlotInheritsNoPendingRequest)
{
    const std::uint32_t s = Add("old", 1000, 2000);
    ProbePass(At(10000));
    const auto oldId = static_cast<std::uint16_t>(LockRequests()[LockItems()->items[s].requestId].identifier);
    ASSERT_TRUE(DeleteItemRow(0));
    ASSERT_EQ(LockItems()->highWater, 0u);
    ASSERT_EQ(Add("new", 1000, 2000), s);

    const std::vector<std::uint8_t> late = test::DnsReplyBuilder(oldId)
                                               .Question("old.test", 1)
                                               .A(test::Section::Answer, "old.test", "192.0.2.66")
                                               .Bytes();
    EXPECT_EQ(ProcessReply(late, ServerPeer(LockItems()->items[s]), 10020).verdict, ReplyVerdict::NoRequest);
    EXPECT_EQ(LockItems()->blocks[s].answerCount, 0u);
    ScanTimeouts(At(12000));
    EXPECT_TRUE(Results().empty());

    // The new item is probed on its own.
    EXPECT_EQ(ProbePass(At(12001)), 1u);
    EXPECT_EQ(Outstanding(LockItems()->items[s]), 1u);
    ScanTimeouts(At(14001));
    ASSERT_EQ(Results().size(), 1u);
    EXPECT_EQ(Outstanding(LockItems()->items[s]), 0u);
}

// A request that timed out answers nothing: its late reply is dropped, never
// taken for the request of another item of the same server that came next, and
// lowers no count a second time.
TEST_F(Scheduler, TimedOutRequestAnswersNothing)
{
    const std::uint32_t b = Add("b", 1000, 2000);
    const std::uint32_t a = Add("a", 1000, 2000);
    LockItems()->items[b].server = LockItems()->items[a].server;
    SuspendItem(b);
    ProbePass(At(10000));
    const auto idA = static_cast<std::uint16_t>(LockRequests()[LockItems()->items[a].requestId].identifier);
    ScanTimeouts(At(12000));
    ResumeItem(b);
    EXPECT_EQ(ProbePass(At(12000)), 2u);
    const auto late = test::DnsReplyBuilder(idA).Question("a.test", 1).A(test::Section::Answer, "a.test", "192.0.2.1").Bytes();
    EXPECT_EQ(ProcessReply(late, ServerPeer(LockItems()->items[a]), 12500).verdict, ReplyVerdict::NoRequest);
    EXPECT_EQ(Outstanding(LockItems()->items[a]), 1u);
    EXPECT_EQ(Outstanding(LockItems()->items[b]), 1u);
    EXPECT_EQ(Results(), (std::vector<std::pair<std::uint32_t, int>>{{a, kResultTimeout}}));
}

// A probe socket crowded with replies nobody reads (a stalled reader) must not
// hold a pass for long: items that are not due never wait, and the waits of
// one pass are bounded, so every due item is still sent.
TEST_F(Scheduler, CrowdedSocketDelaysAPassOnlyBoundedly)
{
    ASSERT_EQ(OpenProbeSocket(0), kProbeSocketOk);
    const int flood = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(ProbeSocketPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::uint8_t byte = 0;
    std::uint32_t queued = 0, capacity = 0;
    for (int i = 0; i < 5000 && (!ProbeSocketBacklog(queued, capacity) || queued <= capacity / 2); ++i)
        sendto(flood, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ASSERT_GT(queued, capacity / 2);

    const std::uint32_t now = At(50000);
    for (int i = 0; i < 60; ++i) {
        const std::uint32_t slot = Add(("item" + std::to_string(i)).c_str());
        if (i >= 16 && i < 56)
            LockItems()->items[slot].nextDue = now + 500; // not due
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ProbePass(now), 20u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(Sent().size(), 20u);
    close(flood);
    CloseProbeSocket();
}

} // namespace
