// Queries go out on a real UDP socket to a scripted responder on 127.0.0.1 or
// ::1, whose crafted replies come back through the kernel to ProcessReply;
// impostors on another port, address or family send the same bytes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "dns_probe_fixture.h"
#include "probe/engine.h"
#include "tests/dns/dns_reply_builder.h"
#include "tests/support/process.h"

namespace varnell {
namespace {

using test::DnsReplyBuilder;
using test::Section;
using Bytes = std::vector<std::uint8_t>;

class UdpSocket {
public:
    explicit UdpSocket(const char* address, std::uint16_t port = 0)
    {
        const PeerAddress addr = test::Endpoint(address, port);
        fd_ = ::socket(addr.Family(), SOCK_DGRAM, 0);
        bound_ = fd_ >= 0 && ::bind(fd_, addr.Address(), addr.Length()) == 0;
        socklen_t len = sizeof addr_;
        ::getsockname(fd_, addr_.Address(), &len);
        timeval wait{2, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~UdpSocket()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    bool Bound() const { return bound_; }
    int Fd() const { return fd_; }
    const PeerAddress& Address() const { return addr_; }
    std::uint16_t Port() const { return ntohs(addr_.PortBE()); }

    bool Receive(Bytes& bytes, PeerAddress& from)
    {
        bytes.assign(6888, 0);
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fd_, bytes.data(), bytes.size(), 0, from.Address(), &len);
        bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return n > 0;
    }
    void SendTo(const Bytes& bytes, const PeerAddress& to)
    {
        ::sendto(fd_, bytes.data(), bytes.size(), 0, to.Address(), to.Length());
    }

private:
    int fd_ = -1;
    bool bound_ = false;
    PeerAddress addr_{};
};

// What the responder received: the identifier and the question it must echo.
struct Query {
    std::uint16_t id = 0;
    std::string name;
    std::uint16_t type = 0;
    PeerAddress from{};
};

class CraftedReplyTest : public test::DnsProbeTest {
protected:
    void SetUp() override
    {
        DnsProbeTest::SetUp();
        SetQuerySendHook(nullptr); // real sockets from here on
        ASSERT_TRUE(probe_.Bound());
        ASSERT_TRUE(server_.Bound());
        savedSocket_ = Engine().probeSocket.exchange(probe_.Fd());
        savedSocket6_ = Engine().probeSocket6.exchange(probe6_.Fd());
    }
    void TearDown() override
    {
        Engine().probeSocket.store(savedSocket_);
        Engine().probeSocket6.store(savedSocket6_);
        DnsProbeTest::TearDown();
    }

    Query Expect() { return Expect(server_); }
    Query Expect(UdpSocket& server)
    {
        Query q;
        Bytes bytes;
        EXPECT_TRUE(server.Receive(bytes, q.from));
        if (bytes.size() < 17)
            return q;
        q.id = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
        std::vector<char> text(kMaxNameText);
        const DecodedName name = DecodeName(bytes, 12, text);
        q.name = text.data();
        q.type = static_cast<std::uint16_t>((bytes[12 + name.consumed] << 8) | bytes[13 + name.consumed]);
        return q;
    }

    // Sends reply from `from` to the probe socket of its family and processes
    // what arrives there.
    ReplyOutcome Deliver(const Bytes& reply, UdpSocket& from)
    {
        UdpSocket& probe = from.Address().Family() == AF_INET6 ? probe6_ : probe_;
        from.SendTo(reply, probe.Address());
        Bytes got;
        PeerAddress sender{};
        EXPECT_TRUE(probe.Receive(got, sender));
        return ProcessReply(got, sender, kNow + 30);
    }

    UdpSocket probe_{"127.0.0.1"};
    UdpSocket server_{"127.0.0.1"};
    UdpSocket probe6_{"::1"};
    int savedSocket_ = -1;
    int savedSocket6_ = -1;
};

TEST_F(CraftedReplyTest, RepliesTravelBackThroughTheProbeSocket)
{
    MakeItem("www.example.com", 0, "127.0.0.1", server_.Port());
    SendPrimary();
    const Query q = Expect();
    EXPECT_EQ(q.name, "www.example.com");
    EXPECT_EQ(q.type, 1);
    EXPECT_EQ(q.from.PortBE(), probe_.Address().PortBE());

    const Bytes reply = DnsReplyBuilder(q.id)
                            .Question(q.name, q.type)
                            .A(Section::Answer, q.name, "192.0.2.2")
                            .A(Section::Answer, q.name, "192.0.2.1")
                            .Bytes();
    // Same bytes from another port of this host, and from another loopback address
    // with the server's own port: neither is the server.
    UdpSocket otherPort("127.0.0.1");
    EXPECT_EQ(Deliver(reply, otherPort).verdict, ReplyVerdict::WrongSender);
    UdpSocket otherAddress("127.0.0.2", server_.Port());
    if (otherAddress.Bound()) {
        EXPECT_EQ(Deliver(reply, otherAddress).verdict, ReplyVerdict::WrongSender);
    }
    // A query echoed back (QR clear) and a runt are no replies either.
    Bytes echoed = reply;
    echoed[2] &= 0x7F;
    EXPECT_EQ(Deliver(echoed, server_).verdict, ReplyVerdict::NotResponse);
    EXPECT_EQ(Deliver(Bytes(reply.begin(), reply.begin() + 11), server_).verdict, ReplyVerdict::TooShort);
    EXPECT_EQ(Outstanding(Item()), 1u);

    const ReplyOutcome out = Deliver(reply, server_);
    EXPECT_TRUE(out.deliver);
    EXPECT_EQ(out.code, 0);
    EXPECT_EQ(Answers(), (std::vector<std::string>{"192.0.2.1", "192.0.2.2"}));
}

// An IPv6 server's reply goes out and comes back on the IPv6 probe socket and
// counts only from the server's own address and port: not from another port of
// ::1, nor from its port on 127.0.0.1 through the IPv4 socket.
TEST_F(CraftedReplyTest, Ipv6RepliesCountOnlyFromTheServersAddressAndPort)
{
    UdpSocket server6("::1");
    if (!probe6_.Bound() || !server6.Bound())
        GTEST_SKIP() << "no IPv6 loopback address (::1) on this machine";
    MakeItem("www.example.com", 0, "::1", server6.Port());
    SendPrimary();
    const Query q = Expect(server6);
    EXPECT_EQ(q.name, "www.example.com");
    EXPECT_TRUE(q.from == probe6_.Address()) << "sent on the IPv6 probe socket";

    const Bytes reply = DnsReplyBuilder(q.id).Question(q.name, q.type).A(Section::Answer, q.name, "192.0.2.7").Bytes();
    UdpSocket otherPort("::1");
    EXPECT_EQ(Deliver(reply, otherPort).verdict, ReplyVerdict::WrongSender);
    UdpSocket samePortOverIpv4("127.0.0.1", server6.Port());
    if (samePortOverIpv4.Bound()) {
        EXPECT_EQ(Deliver(reply, samePortOverIpv4).verdict, ReplyVerdict::WrongSender);
    }
    // The IPv6 socket takes no IPv4 traffic, but no path may take the server's
    // IPv4-mapped twin for it either.
    EXPECT_EQ(ProcessReply(reply, test::Endpoint("::ffff:127.0.0.1", server6.Port()), kNow + 30).verdict,
              ReplyVerdict::WrongSender);
    EXPECT_EQ(Outstanding(Item()), 1u);
    const ReplyOutcome out = Deliver(reply, server6);
    EXPECT_TRUE(out.deliver);
    EXPECT_EQ(Answers(), std::vector<std::string>{"192.0.2.7"});

    // An item whose stored IPv6 address could not be read sends nothing rather
    // than asking this host through the unspecified address.
    ItemEdit unreadable = EditOf(Item());
    unreadable.server6Address = Address6{};
    CommitItemUpdate(kSlot, unreadable);
    std::lock_guard lock(EngineLock());
    LockRequests()[1].destination = ServerPeer(Item());
    EXPECT_EQ(BuildAndSendQuery(1, Item(), false, true), 0u);
}

// A scheduler-like thread sends probes while a receiver-like thread answers
// them; both only touch slots and items under the engine lock.
TEST_F(CraftedReplyTest, ProbesAndRepliesInterleaveUnderTheLock)
{
    SetQuerySendHook(&test::CaptureQuery);
    MakeItem("example.com", 0);
    constexpr int kProbes = 100;
    std::atomic<int> delivered{0};
    std::atomic<bool> stop{false};

    std::thread scheduler([&] {
        int sent = 0;
        while (sent < kProbes && !stop.load()) {
            {
                std::lock_guard lock(EngineLock());
                if (Outstanding(Item()) == 0) {
                    SendPrimary();
                    ++sent;
                }
            }
            std::this_thread::yield();
        }
    });
    std::thread receiver([&] {
        std::size_t answered = 0;
        while (delivered.load() < kProbes && !stop.load()) {
            std::uint16_t id = 0;
            bool pending = false;
            {
                std::lock_guard lock(EngineLock());
                pending = test::SentQueries().size() > answered;
                if (pending)
                    id = test::SentQueries()[answered++].Id();
            }
            if (!pending) {
                std::this_thread::yield();
                continue;
            }
            const Bytes reply =
                DnsReplyBuilder(id).Question("example.com", 1).A(Section::Answer, "example.com", "192.0.2.5").Bytes();
            if (ProcessReply(reply, test::Endpoint("127.0.0.1", 53), kNow).deliver)
                delivered.fetch_add(1);
        }
    });
    const bool done = test::WaitFor([&] { return delivered.load() == kProbes; }, std::chrono::seconds(30));
    stop.store(true);
    scheduler.join();
    receiver.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(Block().replies, static_cast<std::uint32_t>(kProbes));
}

} // namespace
} // namespace varnell
