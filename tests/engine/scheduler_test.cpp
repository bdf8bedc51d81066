// The probe scheduler: its rhythm, which items a pass probes, what it does with a
// failed send, and how the timeout scan ends requests.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <mutex>
#include <vector>

#include "engine/desktop.h"
#include "engine/engine.h"
#include "engine/engine_threads.h"
#include "engine/item_table.h"
#include "engine/request_table.h"
#include "engine/result_eval.h"
#include "engine/scheduler.h"
#include "tests/support/process.h"

using namespace varnell;

namespace {

struct SentQuery {
    std::uint16_t id;
    std::uint32_t toBE;
};

std::mutex g_sentMutex;
std::vector<SentQuery> g_sent;
bool g_sendFails = false;

ssize_t CaptureSend(const std::uint8_t* bytes, std::size_t length, const sockaddr_in& to)
{
    std::lock_guard lock(g_sentMutex);
    if (g_sendFails)
        return -1;
    g_sent.push_back({static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8)), to.sin_addr.s_addr});
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
        SetDesktop(&desktop);
        Engine().resultWindow = desktop.RegisterWindow([this](const WindowMessage& m) {
            std::lock_guard lock(mutex);
            results.emplace_back(static_cast<std::uint32_t>(m.wparam), static_cast<int>(m.lparam));
        });
    }
    void TearDown() override
    {
        SetQuerySendHook(nullptr);
        desktop.Drain();
        SetDesktop(nullptr);
    }

    std::uint32_t Add(const char* name, std::uint32_t interval = 1000, std::uint32_t timeout = 2000)
    {
        ItemEdit e;
        e.interval = interval;
        e.timeout = timeout;
        e.serverBE = htonl(0x7F000001u + Items().highWater);
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

    HeadlessDesktop desktop;
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
    ASSERT_TRUE(DeleteItemRow(static_cast<std::uint32_t>(Items().items[deleted].rowPosition)));
    SetOutstanding(Items().items[busy], 1);
    const std::uint32_t now = 500000;
    Items().items[later].nextDue = now + 1;

    EXPECT_EQ(ProbePass(now), 1u);
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    const DnsItem& item = Items().items[due];
    EXPECT_EQ(sent[0].id, item.requestId);
    EXPECT_EQ(sent[0].toBE, item.server.addrBE);
    const RequestSlot& slot = RequestTable()[item.requestId];
    EXPECT_EQ(slot.itemSlot, due);
    EXPECT_EQ(slot.sendTime, now);
    EXPECT_EQ(slot.expiry, now + 2000);
    EXPECT_NE(slot.flags & kSlotPrimary, 0u);
    EXPECT_EQ(Outstanding(item), 1u);
    EXPECT_EQ(Items().blocks[due].sent, 1u);
    EXPECT_EQ(item.nextDue, now + 1000);

    // Nothing is due again until its interval has run and its request has ended.
    EXPECT_EQ(ProbePass(now + 1000), 1u); // only "later"
    EXPECT_EQ(Sent().back().id, Items().items[later].requestId);

    // A resumed item is probed at the next pass: its due time has long passed.
    ResumeItem(suspended);
    EXPECT_EQ(ProbePass(now + 1001), 1u);
    EXPECT_EQ(Sent().back().toBE, Items().items[suspended].server.addrBE);
    EXPECT_TRUE(Results().empty());
}

TEST_F(Scheduler, FailedSendPostsCode17AndLeavesTheSlotFree)
{
    const std::uint32_t s = Add("alpha");
    g_sendFails = true;
    const std::uint32_t now = 7000;
    EXPECT_EQ(ProbePass(now), 1u);
    const DnsItem& item = Items().items[s];
    EXPECT_EQ(Outstanding(item), 0u);
    EXPECT_EQ(RequestTable()[item.requestId].expiry, 0u);
    EXPECT_EQ(Items().blocks[s].failed, 1u);
    EXPECT_EQ(Items().blocks[s].sent, 1u);
    EXPECT_EQ(item.nextDue, now + 1000);
    auto results = Results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], std::make_pair(s, int{kResultSendFailed}));
}

TEST_F(Scheduler, TimeoutScanEndsPrimaryAndFollowUpRequests)
{
    const std::uint32_t s = Add("alpha", 1000, 2000);
    const std::uint32_t now = 10000;
    ProbePass(now);
    const std::uint32_t id = Items().items[s].requestId;

    ScanTimeouts(now + 1999);
    EXPECT_TRUE(Results().empty());
    ScanTimeouts(now + 2000);
    ASSERT_EQ(Results().size(), 1u);
    EXPECT_EQ(Results()[0], std::make_pair(s, int{kResultTimeout}));
    EXPECT_EQ(Outstanding(Items().items[s]), 0u);
    EXPECT_EQ(RequestTable()[id].expiry, 0u);
    EXPECT_EQ(RequestTable()[id].sendTime, now); // a late reply is still taken

    // Two follow-ups outstanding: the first to time out posts nothing, the last
    // posts code 18.
    {
        std::lock_guard lock(EngineLock());
        for (std::uint32_t f = 0; f < 2; ++f) {
            const int slot = AllocRequestSlot();
            ASSERT_GE(slot, 0);
            RequestSlot& r = RequestTable()[static_cast<std::uint32_t>(slot)];
            r.itemSlot = s;
            r.limit = 1;
            r.flags = 0;
            ArmRequestSlot(r, now + 3000, f == 0 ? 100 : 200);
            RaiseOutstanding(Items().items[s]);
        }
    }
    ScanTimeouts(now + 3100);
    EXPECT_EQ(Results().size(), 1u);
    EXPECT_EQ(Outstanding(Items().items[s]), 1u);
    ScanTimeouts(now + 3200);
    ASSERT_EQ(Results().size(), 2u);
    EXPECT_EQ(Results()[1], std::make_pair(s, int{kResultPartReply}));
}

TEST_F(Scheduler, PassEndsWhenNoRequestSlotIsFree)
{
    Add("alpha");
    {
        std::lock_guard lock(EngineLock());
        for (auto& slot : RequestTable())
            slot.expiry = 0xFFFFFFF0u;
    }
    EXPECT_EQ(ProbePass(1000), 0u);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(Items().blocks[0].sent, 0u);
    EXPECT_EQ(Items().items[0].nextDue, 0u); // still due at the next pass
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
        SetOutstanding(Items().items[i], 0);
        Items().blocks[i].state |= kStateFailing;
    }
    const auto again = std::chrono::steady_clock::now();
    EXPECT_EQ(ProbePass(3000), 1024u);
    EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(150)); // counted, they would stall it 6 times 50 ms
}

} // namespace
