// The receiver's reply ring, its error pacing, the probe socket set-up, and a
// receiver that keeps receiving through transient errors.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "tests/support/recording_ui_channel.h"
#include "items/item_table.h"
#include "probe/engine.h"
#include "probe/engine_threads.h"
#include "probe/probe_socket.h"
#include "probe/query_entropy.h"
#include "probe/receiver.h"
#include "probe/reply_queue.h"
#include "probe/request_table.h"
#include "probe/scheduler.h"
#include "tests/dns/dns_reply_builder.h"
#include "tests/support/process.h"
#include "tests/support/unbound_peer.h"

using namespace varnell;
using varnell::test::WaitFor;

namespace {

PeerAddress Loopback(std::uint16_t port) { return Ipv4Peer(htonl(INADDR_LOOPBACK), htons(port)); }

void Push(ReplyQueue& q, std::uint32_t value, std::size_t length)
{
    std::uint8_t* space = q.WriteSpace();
    ASSERT_NE(space, nullptr);
    std::memset(space, static_cast<int>(value & 0xFF), length);
    q.Commit(length, Loopback(static_cast<std::uint16_t>(value)), value);
}

TEST(ReplyQueue, KeepsOrderAcrossManyWrapsAndReportsFull)
{
    ReplyQueue q(0); // the smallest ring: two records of the largest size
    std::uint32_t next = 0, expected = 0;
    for (int round = 0; round < 500; ++round) {
        // Datagrams of varying size so the wrap point moves around the ring.
        while (q.WriteSpace() != nullptr) {
            Push(q, next, 1 + (next * 977) % ReplyQueue::kMaxDatagram);
            ++next;
        }
        const int take = 1 + round % 3;
        for (int i = 0; i < take; ++i) {
            QueuedReply r;
            if (!q.WaitFront(r, 0))
                break;
            ASSERT_EQ(r.received, expected);
            ASSERT_EQ(r.bytes.size(), 1 + (expected * 977) % ReplyQueue::kMaxDatagram);
            ASSERT_EQ(r.bytes.front(), expected & 0xFF);
            ASSERT_EQ(r.bytes.back(), expected & 0xFF);
            ASSERT_EQ(ntohs(r.from.PortBE()), static_cast<std::uint16_t>(expected));
            q.Pop();
            ++expected;
        }
    }
    EXPECT_GT(expected, 500u);
    EXPECT_GT(q.Counters().fullWaits, 0u);
}

TEST(ReplyQueue, StopEndsWaitsButKeepsWhatWasQueued)
{
    ReplyQueue q;
    Push(q, 7, 40);
    std::thread stopper([&] { q.Stop(); });
    stopper.join();
    QueuedReply r;
    ASSERT_TRUE(q.WaitFront(r, 5000));
    EXPECT_EQ(r.received, 7u);
    q.Pop();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(q.WaitFront(r, 5000));
    EXPECT_FALSE(q.WaitForSpace(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(ReplyQueue, WrapMarkerInTheRingsLastEightBytesAndStampsCarried)
{
    // Two records that end 8 bytes short of the ring's end: the marker there is
    // shorter than a header and must be read as the length alone.
    ReplyQueue q(0);
    Push(q, 1, ReplyQueue::kMaxDatagram);
    Push(q, 2, ReplyQueue::kMaxDatagram - 8);
    QueuedReply r;
    ASSERT_TRUE(q.WaitFront(r, 0));
    const std::uint8_t* const start = r.bytes.data();
    q.Pop();
    std::uint8_t* space = q.WriteSpace();
    ASSERT_NE(space, nullptr);
    space[0] = 0x5A;
    q.Commit(1, Loopback(3), 3, 123'456'789);
    ASSERT_TRUE(q.WaitFront(r, 0));
    EXPECT_EQ(r.received, 2u);
    q.Pop();
    ASSERT_TRUE(q.WaitFront(r, 0));
    EXPECT_EQ(r.received, 3u);
    EXPECT_EQ(r.receivedNs, 123'456'789u);
    EXPECT_EQ(r.bytes.front(), 0x5A);
    // Emptied, the ring starts again at its front.
    q.Pop();
    Push(q, 4, 10);
    ASSERT_TRUE(q.WaitFront(r, 0));
    EXPECT_EQ(r.bytes.data(), start);
}

TEST(ReplyQueue, RoomForATurnAndAPauseOnlyAStopEnds)
{
    ReplyQueue q;
    EXPECT_TRUE(q.HasRoomFor(32));
    while (q.HasRoomFor(32))
        Push(q, 9, ReplyQueue::kMaxDatagram);
    EXPECT_NE(q.WriteSpace(), nullptr); // a single datagram still fits: a turn waits for room for all
    // Datagrams published meanwhile do not end a pause; a stop does at once.
    std::thread producer([&] { Push(q, 10, 40); });
    producer.join();
    EXPECT_TRUE(q.Pause(10));
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        q.Stop();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(q.Pause(60'000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    stopper.join();
}

TEST(ReceiveErrors, ReportedOncePerCodeAMinute)
{
    ErrorPacer pacer;
    EXPECT_TRUE(pacer.ShouldReport(ENOBUFS, 1000));
    EXPECT_FALSE(pacer.ShouldReport(ENOBUFS, 2000));
    EXPECT_TRUE(pacer.ShouldReport(EINTR, 2000));
    EXPECT_FALSE(pacer.ShouldReport(ENOBUFS, 60999));
    EXPECT_TRUE(pacer.ShouldReport(ENOBUFS, 61000));
    EXPECT_TRUE(pacer.ShouldReport(ENOMEM, 0xFFFFFFF0u));
    EXPECT_FALSE(pacer.ShouldReport(ENOMEM, 0x00000100u)); // across the tick counter's wrap
    // More distinct codes than the pacer keeps: the oldest is forgotten, never a
    // code seen just now.
    for (int code = 200; code < 210; ++code)
        EXPECT_TRUE(pacer.ShouldReport(code, 70000 + static_cast<std::uint32_t>(code)));
    EXPECT_FALSE(pacer.ShouldReport(209, 70300));
}

class ProbeSocket : public ::testing::Test {
protected:
    // The replies below are built from the identifiers and questions as written here.
    void SetUp() override
    {
        SetQueryRandomisation(false);
        SetUiChannel(&desktop);
        Engine().exitFlag = 0;
        Engine().eventWindow = desktop.RegisterWindow([this](const WindowMessage& m) {
            std::lock_guard lock(mutex);
            messages.push_back(m.text);
        });
    }
    void TearDown() override
    {
        CloseProbeSocket();
        desktop.Drain();
        SetUiChannel(nullptr);
        SetQueryRandomisation(true);
    }
    std::vector<std::string> Messages()
    {
        desktop.Drain();
        std::lock_guard lock(mutex);
        return messages;
    }

    // Fresh tables, the probe socket, and a UDP socket on loopback standing in for
    // a server: its descriptor, and its address in serverAddr.
    int OpenWithServer(PeerAddress& serverAddr)
    {
        InitItemTable();
        ResetRequestTable();
        EXPECT_EQ(OpenProbeSocket(0), kProbeSocketOk);
        const int server = socket(AF_INET, SOCK_DGRAM, 0);
        serverAddr = Loopback(0);
        EXPECT_EQ(bind(server, serverAddr.Address(), serverAddr.Length()), 0);
        socklen_t len = sizeof serverAddr;
        getsockname(server, serverAddr.Address(), &len);
        return server;
    }
    static ItemEdit LoopbackItem(const std::string& name)
    {
        ItemEdit e;
        e.interval = 1000;
        e.timeout = 60000;
        e.serverBE = htonl(INADDR_LOOPBACK);
        e.name = name;
        e.domain = name + ".test";
        return e;
    }

    RecordingUiChannel desktop;
    std::mutex mutex;
    std::vector<std::string> messages;
};

// The port held on both families: each probe socket says so, and each still
// sends from a port of the system's choosing.
TEST_F(ProbeSocket, TakenPortIsReportedAndTheSocketStillWorks)
{
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    PeerAddress any = Ipv4Peer(htonl(INADDR_ANY), 0);
    ASSERT_EQ(bind(holder, any.Address(), any.Length()), 0);
    socklen_t len = sizeof any;
    getsockname(holder, any.Address(), &len);
    const std::uint16_t port = ntohs(any.PortBE());
    const int holder6 = socket(AF_INET6, SOCK_DGRAM, 0);
    const int only = 1;
    setsockopt(holder6, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    const PeerAddress any6 = Ipv6Peer(Address6{}, any.PortBE());
    const bool v6 = test::HaveIpv6Loopback() && bind(holder6, any6.Address(), any6.Length()) == 0;

    EXPECT_EQ(OpenProbeSocket(port), kProbeSocketNotBound);
    const std::string taken = "bind port " + std::to_string(port) + " failed! maybe other dns server is running";
    EXPECT_EQ(Messages(), std::vector<std::string>(v6 ? 2 : 1, taken));

    const std::uint8_t byte = 0;
    EXPECT_EQ(SendQueryBytes(&byte, 1, Loopback(port)), 1);
    EXPECT_NE(ProbeSocketPort(), 0);
    EXPECT_NE(ProbeSocketPort(), port);
    close(holder);
    close(holder6);
    if (!v6)
        GTEST_SKIP() << test::kNoIpv6Loopback;
    Address6 loopback6{};
    loopback6.bytes[15] = 1;
    EXPECT_EQ(SendQueryBytes(&byte, 1, Ipv6Peer(loopback6, any.PortBE())), 1);
    EXPECT_NE(ProbeSocket6Port(), 0);
    EXPECT_NE(ProbeSocket6Port(), port);
}

TEST_F(ProbeSocket, OpensWithLargeBuffersOnAFreePort)
{
    EXPECT_EQ(OpenProbeSocket(0), kProbeSocketOk);
    EXPECT_TRUE(Messages().empty());
    int size = 0;
    socklen_t len = sizeof size;
    getsockopt(Engine().probeSocket.load(), SOL_SOCKET, SO_RCVBUF, &size, &len);
    // The kernel caps the request at net.core.rmem_max and doubles what it grants.
    const int rmemMax = std::stoi(varnell::test::ReadFile("/proc/sys/net/core/rmem_max"));
    EXPECT_EQ(size, 2 * std::min(kProbeSocketBuffer, rmemMax));
    EXPECT_NE(ProbeSocketPort(), 0);
    if (test::HaveIpv6Loopback()) {
        // The IPv6 one alike, taking IPv6 only: IPv4 stays the other socket's.
        int v6only = 0;
        getsockopt(Engine().probeSocket6.load(), SOL_SOCKET, SO_RCVBUF, &size, &len);
        EXPECT_EQ(size, 2 * std::min(kProbeSocketBuffer, rmemMax));
        getsockopt(Engine().probeSocket6.load(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &len);
        EXPECT_EQ(v6only, 1);
        EXPECT_NE(ProbeSocket6Port(), 0);
    }
    EXPECT_EQ(CreateWakeEvent(), 0);
}

TEST_F(ProbeSocket, ReceiverWithoutASocketReportsAndEnds)
{
    Engine().probeSocket = -1;
    StartReceiver();
    ASSERT_TRUE(WaitFor([&] { return !Messages().empty(); }, std::chrono::seconds(5)));
    EXPECT_EQ(Messages()[0], "WSA IO error code is " + std::to_string(EBADF));
    EXPECT_EQ(StopEngineThreads(), 2);
}

// Injected receive errors: a burst of ENOBUFS, then one refused-port report,
// then the real socket.
std::atomic<int> g_injected{0};
ssize_t FailingReceive(int fd, std::uint8_t* buffer, std::size_t size, PeerAddress& from)
{
    const int n = g_injected.fetch_add(1);
    if (n < 50) {
        errno = ENOBUFS;
        return -1;
    }
    if (n == 50) {
        errno = ECONNREFUSED;
        return -1;
    }
    socklen_t length = sizeof from;
    return recvfrom(fd, buffer, size, MSG_DONTWAIT, from.Address(), &length);
}

TEST_F(ProbeSocket, ReceiverReportsTransientErrorsPacedAndGoesOn)
{
    PeerAddress serverAddr{};
    const int server = OpenWithServer(serverAddr);
    socklen_t len = sizeof serverAddr;

    // One item with one outstanding request, answered by hand below.
    ASSERT_TRUE(CommitNewItem(0, LoopbackItem("a")));
    std::atomic<int> delivered{-1};
    Engine().resultWindow = desktop.RegisterWindow([&](const WindowMessage& m) {
        delivered = static_cast<int>(m.lparam);
    });
    {
        std::lock_guard lock(EngineLock());
        RequestSlot& slot = LockRequests()[0x1234];
        slot.destination = serverAddr;
        slot.limit = 1;
        slot.itemSlot = 0;
        LockItems()->items[0].requestId = 0x1234;
        ASSERT_NE(BuildAndSendQuery(0x1234, LockItems()->items[0], false, true), 0u);
        ArmRequestSlot(slot, TickCount(), 60000);
        RaiseOutstanding(LockItems()->items[0]);
    }

    g_injected = 0;
    SetReceiveHook(FailingReceive);
    StartReceiver();
    ASSERT_TRUE(WaitFor([&] { return g_injected.load() > 51; }, std::chrono::seconds(10)));

    // Answer the query: header with QR and RCODE 3, the question echoed.
    std::uint8_t query[512];
    PeerAddress client{};
    len = sizeof client;
    const ssize_t n = recvfrom(server, query, sizeof query, 0, client.Address(), &len);
    ASSERT_GT(n, 12);
    query[2] |= 0x80;
    query[3] = static_cast<std::uint8_t>((query[3] & 0xF0) | 3);
    sendto(server, query, static_cast<std::size_t>(n), 0, client.Address(), len);
    EXPECT_TRUE(WaitFor([&] { return delivered.load() == 3; }, std::chrono::seconds(5)));

    const auto messages = Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "WSA IO error code is " + std::to_string(ENOBUFS));
    EXPECT_EQ(messages[1], "WSA IO error code is " + std::to_string(ECONNREFUSED));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(StopEngineThreads(), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(Engine().probeSocket.load(), -1);
    SetReceiveHook(nullptr);
    close(server);
}

} // namespace

namespace {

// Replies read in a burst are handed to the user-interface thread in batches:
// every result once, in arrival order, and each evaluated against its own reply
// even when a later reply of the same item is already queued behind it.
TEST_F(ProbeSocket, BatchedResultsKeepOrderAndEachItsOwnReply)
{
    PeerAddress serverAddr{};
    const int server = OpenWithServer(serverAddr);

    // 300 items with one request each; item 0 has a second one waiting, whose
    // reply comes first.
    constexpr std::uint32_t kItems = 300;
    for (std::uint32_t i = 0; i < kItems; ++i)
        ASSERT_TRUE(CommitNewItem(i, LoopbackItem("i" + std::to_string(i))));
    const auto arm = [&](std::uint32_t item, std::uint16_t id, bool outstanding) {
        std::lock_guard lock(EngineLock());
        RequestSlot& slot = LockRequests()[id];
        slot.destination = serverAddr;
        slot.itemSlot = item;
        ASSERT_NE(BuildQuery(id, LockItems()->items[item], false, true), 0u); // the question a reply echoes
        ArmRequestSlot(slot, TickCount(), 60000);
        if (outstanding)
            RaiseOutstanding(LockItems()->items[item]);
    };
    arm(0, 1000, false);
    for (std::uint32_t i = 0; i < kItems; ++i)
        arm(i, static_cast<std::uint16_t>(2000 + i), true);

    struct Seen {
        std::uint32_t item;
        int code;
        std::uint32_t address;
    };
    std::mutex seenMutex;
    std::vector<Seen> seen;
    Engine().resultWindow = desktop.RegisterWindow([&](const WindowMessage& m) {
        std::lock_guard engineLock(EngineLock());
        const ItemBlock& block = LockItems()->blocks[m.wparam];
        std::lock_guard lock(seenMutex);
        seen.push_back({static_cast<std::uint32_t>(m.wparam), static_cast<int>(m.lparam),
                        block.answerCount != 0 ? block.answers[0].addrBE : 0});
        if (seen.size() == 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let the rest pile up
    });
    StartReceiver();

    // Item i answers 10.0.x.y (i = x * 256 + y) with RCODE i % 3; item 0's late
    // reply comes first with 192.0.2.99 and RCODE 2.
    const auto reply = [&](std::uint16_t id, std::uint32_t item, const std::string& address, std::uint8_t rcode) {
        const std::string name = "i" + std::to_string(item) + ".test";
        const auto bytes = test::DnsReplyBuilder(id, rcode).Question(name, 1).A(test::Section::Answer, name, address.c_str()).Bytes();
        const PeerAddress to = Loopback(ProbeSocketPort());
        sendto(server, bytes.data(), bytes.size(), 0, to.Address(), to.Length());
    };
    reply(1000, 0, "192.0.2.99", 2);
    for (std::uint32_t i = 0; i < kItems; ++i)
        reply(static_cast<std::uint16_t>(2000 + i), i, "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256),
              static_cast<std::uint8_t>(i % 3));
    ASSERT_TRUE(WaitFor([&] { std::lock_guard lock(seenMutex); return seen.size() >= kItems + 1; }, std::chrono::seconds(10)));

    // A second reply for every item, all at once: handed over in a few batches,
    // not one per result (the items of the batch before must not count).
    const std::uint64_t handOvers = GetReceiverCounters().handOvers;
    for (std::uint32_t i = 0; i < kItems; ++i)
        arm(i, static_cast<std::uint16_t>(3000 + i), true);
    for (std::uint32_t i = 0; i < kItems; ++i)
        reply(static_cast<std::uint16_t>(3000 + i), i, "10.1.0.1", 0);
    ASSERT_TRUE(WaitFor([&] { std::lock_guard lock(seenMutex); return seen.size() >= 2 * kItems + 1; }, std::chrono::seconds(10)));
    EXPECT_LE(GetReceiverCounters().handOvers - handOvers, 30u);

    std::lock_guard lock(seenMutex);
    ASSERT_EQ(seen.size(), 2 * kItems + 1);
    EXPECT_EQ(seen[0].item, 0u);
    EXPECT_EQ(seen[0].code, 2);
    EXPECT_EQ(seen[0].address, inet_addr("192.0.2.99"));
    for (std::uint32_t i = 0; i < kItems; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i + 1].item, i);
        EXPECT_EQ(seen[i + 1].code, static_cast<int>(i % 3));
        EXPECT_EQ(seen[i + 1].address, inet_addr(("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256)).c_str()));
    }
    EXPECT_EQ(StopEngineThreads(), 2);
    close(server);
}

// A batch the user-interface thread never gets to (it is busy at shutdown)
// does not hold the receiver: released, it ends at once.
TEST_F(ProbeSocket, ShutdownReleasesABatchInFlight)
{
    PeerAddress unused{};
    close(OpenWithServer(unused));
    ASSERT_TRUE(CommitNewItem(0, LoopbackItem("a")));
    const PeerAddress self = Loopback(ProbeSocketPort());
    {
        std::lock_guard lock(EngineLock());
        RequestSlot& slot = LockRequests()[7];
        slot.destination = self; // the reply comes from the probe socket itself
        slot.itemSlot = 0;
        ASSERT_NE(BuildQuery(7, LockItems()->items[0], false, true), 0u);
        ArmRequestSlot(slot, TickCount(), 60000);
        RaiseOutstanding(LockItems()->items[0]);
    }
    std::atomic<bool> release{false};
    std::atomic<int> handled{0};
    Engine().resultWindow = desktop.RegisterWindow([&](const WindowMessage&) { ++handled; });
    const WindowId busy = desktop.RegisterWindow([&](const WindowMessage&) {
        while (!release.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    desktop.Post(busy, WindowMessage{});
    StartReceiver();
    const auto bytes = test::DnsReplyBuilder(7).Question("a.test", 1).Bytes();
    SendQueryBytes(bytes.data(), bytes.size(), self);
    ASSERT_TRUE(WaitFor([] { return GetReceiverCounters().datagrams >= 1; }, std::chrono::seconds(5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the receiver now waits on its batch

    const auto start = std::chrono::steady_clock::now();
    desktop.ReleaseWaiters();
    EXPECT_EQ(StopEngineThreads(), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    release = true;
    desktop.Drain();
    EXPECT_EQ(handled.load(), 0); // released unhandled: never run late
}

} // namespace

// A reply that came in time but still lies in the socket while the reader
// pauses between turns is not a time-out: the scan takes it off the socket
// before it ends anything.
TEST_F(ProbeSocket, TheTimeoutScanTakesRepliesTheReaderHasNotReadYet)
{
    PeerAddress serverAddr{};
    const int server = OpenWithServer(serverAddr);
    ASSERT_TRUE(CommitNewItem(0, LoopbackItem("a")));
    std::atomic<int> code{-1};
    Engine().resultWindow = desktop.RegisterWindow([&](const WindowMessage& m) { code = static_cast<int>(m.lparam); });
    const std::uint32_t sent = TickCount();
    {
        std::lock_guard lock(EngineLock());
        RequestSlot& slot = LockRequests()[9];
        slot.destination = serverAddr;
        slot.itemSlot = 0;
        ASSERT_NE(BuildQuery(9, LockItems()->items[0], false, true), 0u);
        ArmRequestSlot(slot, sent, 60000);
        RaiseOutstanding(LockItems()->items[0]);
    }
    const std::uint64_t read = GetReceiverCounters().datagrams;
    StartReceiver();
    // A stray datagram sends the reader into its pause after the turn that took it.
    const PeerAddress to = Loopback(ProbeSocketPort());
    const std::uint8_t stray[2] = {0xFF, 0xFF};
    sendto(server, stray, sizeof stray, 0, to.Address(), to.Length());
    ASSERT_TRUE(WaitFor([read] { return GetReceiverCounters().datagrams > read; }, std::chrono::seconds(5)));
    const auto bytes = test::DnsReplyBuilder(9).Question("a.test", 1).A(test::Section::Answer, "a.test", "192.0.2.7").Bytes();
    sendto(server, bytes.data(), bytes.size(), 0, to.Address(), to.Length());
    ScanTimeouts(sent + 60000); // the request's time is up by the scan's clock; its reply came long before

    ASSERT_TRUE(WaitFor([&] { return code.load() >= 0; }, std::chrono::seconds(10)));
    EXPECT_EQ(code.load(), 0);
    EXPECT_EQ(StopEngineThreads(), 2);
    close(server);
}
