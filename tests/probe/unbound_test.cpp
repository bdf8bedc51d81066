// The engine against a real DNS server: the scheduler, the receiver and result
// evaluation running on their own threads, the results evaluated on a headless
// user-interface thread, for every record type, for servers that fail in
// different ways, for a server that goes away and comes back, and for a pass
// that probes many items at once.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "base/ui_channel.h"
#include "items/item_table.h"
#include "items/reply_detail.h"
#include "items/result_eval.h"
#include "items/result_hooks.h"
#include "probe/engine.h"
#include "probe/probe_socket.h"
#include "probe/receiver.h"
#include "tests/dns/dns_reply_builder.h"
#include "tests/items/recording_hooks.h"
#include "tests/probe/delayed_responder.h"
#include "tests/probe/engine_fixture.h"
#include "tests/probe/scripted_responder.h"
#include "tests/support/process.h"
#include "tests/support/unbound_peer.h"

using namespace varnell;
using namespace std::chrono_literals;
using varnell::test::DelayedResponder;
using varnell::test::EngineAgainstServer;
using varnell::test::RecordingHooks;
using varnell::test::Result;
using varnell::test::ScriptedResponder;
using varnell::test::UnboundPeer;
using varnell::test::WaitFor;

namespace {

const std::string kTestZone = test::ZoneText("test.", R"(
ns IN A 192.0.2.53
two IN A 192.0.2.2
two IN A 192.0.2.1
alias IN CNAME mid.test.
mid IN CNAME two.test.
mail IN MX 10 mx.example.
host IN A 192.0.2.7
)");
const std::string kExampleZone = test::ZoneText("example.", R"(
mx IN A 192.0.2.25
)");
const char* kReverseZone = R"($ORIGIN 2.0.192.in-addr.arpa.
$TTL 300
@ IN SOA ns.test. hostmaster.test. 1 3600 600 86400 300
@ IN NS ns.test.
7 IN PTR host.test.
)";

enum TypeIndex : std::uint32_t { kA = 0, kCname = 1, kMx = 2, kNs = 3, kPtr = 4, kSoa = 5 };

// A UDP socket on loopback that answers nothing, or answers only the first
// (primary) query with an MX record whose exchange it never resolves.
class ScriptedServer {
public:
    explicit ScriptedServer(bool answerFirst) : answerFirst_(answerFirst)
    {
        std::uint16_t portBE = 0;
        fd_ = test::OpenLoopbackUdp(portBE);
        port_ = ntohs(portBE);
        if (answerFirst_)
            thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedServer()
    {
        shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        close(fd_);
    }
    std::uint16_t Port() const { return port_; }
    int Fd() const { return fd_; }
    int Queries() const { return queries_.load(); }

private:
    void Serve()
    {
        std::uint8_t q[512];
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = recvfrom(fd_, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0)
                return;
            if (queries_.fetch_add(1) != 0 || n < 17)
                continue; // follow-ups go unanswered
            std::vector<std::uint8_t> r(q, q + n);
            r[2] |= 0x80;
            r[7] = 1; // ANCOUNT
            const std::uint8_t answer[] = {0xC0, 0x0C, 0, 15, 0, 1, 0, 0, 1, 44, 0, 13, 0, 10,
                                           4, 'g', 'o', 'n', 'e', 4, 't', 'e', 's', 't', 0};
            r.insert(r.end(), answer, answer + sizeof answer);
            sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }
    bool answerFirst_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<int> queries_{0};
    std::thread thread_;
};

using Answers = std::vector<std::string>;

TEST_F(EngineAgainstServer, EveryRecordTypeAndFailureKind)
{
    UnboundPeer server;
    ASSERT_TRUE(server.Start({{"test", kTestZone}, {"example", kExampleZone}, {"2.0.192.in-addr.arpa", kReverseZone}}))
        << server.Log();
    ScriptedServer silent(false);
    ScriptedServer partial(true);
    const std::uint16_t p = server.Port();
    const std::uint32_t twoA = Add("two", "two.test", kA, p);
    const std::uint32_t chain = Add("chain", "alias.test", kA, p);
    const std::uint32_t cname = Add("cname", "alias.test", kCname, p);
    const std::uint32_t mx = Add("mx", "mail.test", kMx, p);
    const std::uint32_t ns = Add("ns", "test", kNs, p);
    const std::uint32_t ptr = Add("ptr", "7.2.0.192.in-addr.arpa", kPtr, p);
    const std::uint32_t soa = Add("soa", "test.", kSoa, p);
    const std::uint32_t missing = Add("missing", "missing.test", kA, p);
    const std::uint32_t dead = Add("dead", "two.test", kA, silent.Port());
    const std::uint32_t part = Add("part", "part.test", kMx, partial.Port());
    StartEngine();

    ASSERT_TRUE(WaitFor(
        [&] {
            for (std::uint32_t s = 0; s <= part; ++s)
                if (ResultsOf(s).empty())
                    return false;
            return true;
        },
        15s));
    const Answers both = {"192.0.2.1", "192.0.2.2"}; // sorted
    EXPECT_EQ(ResultsOf(twoA)[0].code, 0);
    EXPECT_EQ(ResultsOf(twoA)[0].answers, both);
    EXPECT_EQ(ResultsOf(chain)[0].answers, both);
    EXPECT_EQ(ResultsOf(cname)[0].code, 0); // CNAME answered alone: the target by a follow-up
    EXPECT_EQ(ResultsOf(cname)[0].answers, both);
    EXPECT_EQ(ResultsOf(mx)[0].code, 0); // exchange in another zone: no glue, a follow-up
    EXPECT_EQ(ResultsOf(mx)[0].answers, Answers{"192.0.2.25"});
    EXPECT_EQ(ResultsOf(ns)[0].answers, Answers{"192.0.2.53"});
    EXPECT_EQ(ResultsOf(ptr)[0].code, 0);
    EXPECT_EQ(ResultsOf(ptr)[0].answers, Answers{"192.0.2.7"});
    EXPECT_EQ(ResultsOf(soa)[0].code, 0);
    EXPECT_EQ(ResultsOf(soa)[0].answers, Answers{"192.0.2.53"}); // the primary server's address
    EXPECT_EQ(ResultsOf(missing)[0].code, kResultNameError);
    EXPECT_EQ(ResultsOf(dead)[0].code, kResultTimeout);
    // The primary answered; the follow-up that timed out shows in the text only.
    EXPECT_EQ(ResultsOf(part)[0].code, 0);
    EXPECT_NE(DetailPlainText(ReplyDetailOf(LockItems()->items[part]))
                  .find("1 Follow-up failed:\r\n  gone.test : Error code 16: Request timeout\r\n"),
              std::string::npos);
    EXPECT_GE(partial.Queries(), 2);

    // An error reply is a reply; silence is not.
    {
        std::lock_guard lock(EngineLock());
        EXPECT_GE(LockItems()->blocks[missing].replies, 1u);
        EXPECT_EQ(LockItems()->blocks[dead].replies, 0u);
    }
    EXPECT_TRUE(HasEvent("the ip of two is changed to 192.0.2.1; 192.0.2.2; "));
    EXPECT_FALSE(HasEvent("the ip of missing is changed to "));
    std::lock_guard lock(mutex);
    EXPECT_TRUE(engineMessages.empty());
}

TEST_F(EngineAgainstServer, ServerStoppedAndStartedAgainGivesDownUpAndChange)
{
    UnboundPeer server;
    ASSERT_TRUE(server.Start({{"test", kTestZone}})) << server.Log();
    const std::uint32_t s = Add("two", "two.test", kA, server.Port(), 600, 1, 500);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return HasEvent("the ip of two is changed to 192.0.2.1; 192.0.2.2; "); }, 10s));
    EXPECT_EQ(hooks.Images().back(), kImageUp); // N = 1: green at the first success

    server.Stop();
    ASSERT_TRUE(WaitFor([&] { return HasEvent("two is down"); }, 15s));
    EXPECT_EQ(hooks.Images().back(), kImageDown);

    std::string changed = kTestZone;
    changed.replace(changed.find("two IN A 192.0.2.2\ntwo IN A 192.0.2.1"), 37, "two IN A 192.0.2.3");
    ASSERT_TRUE(server.Restart({{"test", changed}})) << server.Log();
    ASSERT_TRUE(WaitFor([&] { return HasEvent("two is up"); }, 15s));

    std::vector<std::string> order;
    for (const auto& e : hooks.Events())
        order.push_back(e.text);
    EXPECT_EQ(order, (std::vector<std::string>{"the ip of two is changed to 192.0.2.1; 192.0.2.2; ", "two is down",
                                               "the ip of two is changed to 192.0.2.3; ", "two is up"}));
    {
        std::lock_guard lock(hooks.mutex);
        EXPECT_EQ(hooks.dispatched.size(), 4u); // all three notify flags are set by default
    }
    std::lock_guard lock(EngineLock());
    EXPECT_EQ(LockItems()->items[s].knownCount, 1u);
}

// Under ThreadSanitizer the receiver reads a few times slower than a sweep of
// all identifiers a second, so the forger sweeps at a quarter of the pace there
// (every identifier still arrives five times over). The timeout scan leaves a
// request alone while a datagram with its identifier waits in the receiver's
// queue (it may be the answer), so a request can still end a little late.
#if defined(__SANITIZE_THREAD__)
constexpr std::uint32_t kSweepSlowdown = 4;
constexpr std::uint32_t kQueuedBehindTheSweep = 2500;
#else
constexpr std::uint32_t kSweepSlowdown = 1;
constexpr std::uint32_t kQueuedBehindTheSweep = 0;
#endif

// Verdicts with a real tick. A silent server, and a forger that sends from its
// address and port, off the path (it never sees a query), replies with the
// item's question as configured and a made-up address, sweeping all 65536
// identifiers once a second for 20 s, paced so that the program reads them
// rather than the kernel dropping most: none is taken. And time-outs keep the
// rhythm of the passes: with interval 1000, time-out 2000 and lost count 6 the
// item is asked at every second pass and is down at the seventh time-out, 14 s
// after its first query, also when it is sent well after its pass began (it
// comes after 255 other items of the server).
TEST_F(EngineAgainstServer, SilentServerSweptByForgedRepliesIsDownOnTimeAndNeverUp)
{
    ScriptedServer silent(false);
    for (int i = 0; i < 255; ++i)
        Add("other" + std::to_string(i), "other" + std::to_string(i) + ".test", kA, silent.Port(), 2000, 6, 1000);
    const std::string domain = "forged-sweep.example.test";
    const std::uint32_t s = Add("silent", domain, kA, silent.Port(), 2000, 6, 1000);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { std::lock_guard lock(EngineLock()); return LockItems()->blocks[s].sent >= 1; }, 5s, 2ms));
    const std::uint32_t first = TickCount();
    std::atomic<bool> stop{false};
    std::thread forger([&] {
        auto forged = test::DnsReplyBuilder(0).Question(domain, 1).A(test::Section::Answer, domain, "198.51.100.66").Bytes();
        const PeerAddress probe = Ipv4Peer(htonl(INADDR_LOOPBACK), htons(ProbeSocketPort()));
        const auto start = std::chrono::steady_clock::now();
        for (std::uint32_t slice = 0; slice < 20 * 256 / kSweepSlowdown && !stop.load(); ++slice) { // 256 identifiers a slice
            for (std::uint32_t id = (slice % 256) * 256; id < (slice % 256 + 1) * 256; ++id) {
                forged[0] = static_cast<std::uint8_t>(id);
                forged[1] = static_cast<std::uint8_t>(id >> 8);
                sendto(silent.Fd(), forged.data(), forged.size(), 0, probe.Address(), probe.Length());
            }
            std::this_thread::sleep_until(start + std::chrono::microseconds(3906 * kSweepSlowdown) * (slice + 1));
        }
    });
    const bool down = WaitFor([&] { return HasEvent("silent is down"); }, 19s, 5ms);
    const std::uint32_t downAfter = TickCount() - first;
    if (!down)
        stop.store(true);
    forger.join();
    ASSERT_TRUE(down);
    EXPECT_GE(downAfter, 13000u);
    EXPECT_LE(downAfter, 15000u + kQueuedBehindTheSweep);
    for (const Result& r : ResultsOf(s))
        EXPECT_EQ(r.code, kResultTimeout);
    for (const auto& e : hooks.Events())
        EXPECT_EQ(e.kind, kEventDown) << e.text;
    EXPECT_GT(GetReceiverCounters().datagrams, 65536u * 2 / kSweepSlowdown); // the sweeps reached the program
}

// A server answering every query 1.5 s late, time-out 1000: each reply is a
// failure of its own query whenever it arrives, never the answer of the other
// item's query to the same server, so both go down and neither changes (their
// address is known from an earlier run; a reply taken for the wrong name would
// gather none).
TEST_F(EngineAgainstServer, LateServersItemsGoDownWithoutAChange)
{
    DelayedResponder late(1500ms, "192.0.2.1");
    std::vector<std::uint32_t> items;
    for (const char* name : {"a", "b"}) {
        items.push_back(Add(name, std::string(name) + ".test", kA, ntohs(late.PortBE()), 1000, 2, 1000));
        std::lock_guard lock(EngineLock());
        LockItems()->items[items.back()].knownCount = 1;
        LockItems()->items[items.back()].known[0].addrBE = inet_addr("192.0.2.1");
    }
    StartEngine();
    EXPECT_TRUE(WaitFor([&] { return HasEvent("a is down") && HasEvent("b is down"); }, 15s));
    std::this_thread::sleep_for(2s); // the last probes' replies come in
    for (const auto& e : hooks.Events())
        EXPECT_EQ(e.kind, kEventDown) << e.text;
}

// A server that lower-cases every question: its first answer, not in the case
// asked, has the question asked again over TCP, which shows that the server
// changes case; from then on its UDP answers are compared without case.
TEST_F(EngineAgainstServer, ServerThatLowerCasesQuestionsIsLearntOverTcp)
{
    ScriptedResponder lower(ScriptedResponder::Udp::LowerCase, ScriptedResponder::Tcp::Answer, 1);
    ASSERT_TRUE(lower.Ready());
    const std::uint32_t s = Add("lower", "lower-case.example.test", kA, lower.Port(), 1500, 5, 500);
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return ResultsOf(s).size() >= 3; }, 10s));
    for (const Result& r : ResultsOf(s)) {
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.answers, Answers{"192.0.2.1"});
    }
    EXPECT_EQ(lower.TcpQueries(), 1);
    EXPECT_GE(lower.UdpQueries(), 3);
}

TEST_F(EngineAgainstServer, StoppedServiceSendsNothingButStillTimesOut)
{
    ScriptedServer silent(false);
    const std::uint32_t s = Add("dead", "two.test", kA, silent.Port(), 500);
    StartEngine();
    auto sent = [&] {
        std::lock_guard lock(EngineLock());
        return LockItems()->blocks[s].sent;
    };
    ASSERT_TRUE(WaitFor([&] { return sent() >= 1; }, 5s));
    Engine().serviceStopped = 1;
    ASSERT_TRUE(WaitFor([&] { return !ResultsOf(s).empty(); }, 5s));
    EXPECT_EQ(ResultsOf(s)[0].code, kResultTimeout);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(sent(), 1u);
}

// Many items due in the same pass against one server, with the probe socket's
// receive buffer held to what an unprivileged program commonly gets: every
// reply must still arrive, none may turn into a timeout.
TEST_F(EngineAgainstServer, FullPassLosesNoReply)
{
    UnboundPeer server;
    ASSERT_TRUE(server.Start({{"test", kTestZone}})) << server.Log();
    constexpr std::uint32_t kItems = 1024;
    for (std::uint32_t i = 0; i < kItems; ++i)
        Add("item" + std::to_string(i), "two.test", kA, server.Port(), 5000, 5, 500);
    StartEngine(212992);
    // Two passes: every probe answered, in one result each.
    ASSERT_TRUE(WaitFor([&] { return ResultCount() >= 2 * kItems; }, 30s));
    std::lock_guard lock(mutex);
    std::map<int, int> codes;
    for (const auto& r : results)
        ++codes[r.code];
    EXPECT_EQ(codes[0], static_cast<int>(results.size())) << "timeouts: " << codes[kResultTimeout];
    EXPECT_TRUE(engineMessages.empty());
}

} // namespace
