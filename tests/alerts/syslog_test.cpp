#include "alerts/syslog.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "alerts/dispatch.h"
#include "config/settings.h"
#include "tests/support/peers.h"
#include "tests/support/process.h"

using namespace varnell;
using namespace std::chrono_literals;

namespace {

std::uint32_t Addr(const char* dotted) { return inet_addr(dotted); }

// A plain UDP listener for checking datagrams byte for byte.
class UdpSink {
public:
    explicit UdpSink(const char* addr = "127.0.0.1")
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = inet_addr(addr);
        a.sin_port = 0;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        timeval tv{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~UdpSink() { ::close(fd_); }
    std::uint16_t Port() const { return port_; }
    // Empty on time-out.
    std::string Receive()
    {
        char buf[8192];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

TEST(SyslogFormat, PriorityAndSequenceHead)
{
    // The shortest datagram: "<0>1:  " and a one-letter text, no terminator.
    EXPECT_EQ(FormatSyslogDatagram(0, 0, 1, "x"), std::string("<0>1:  x"));
    EXPECT_EQ(FormatSyslogDatagram(23, 7, 42, "t"), "<191>42:  t");
    EXPECT_EQ(FormatSyslogDatagram(18, 6, 7, "host is down").substr(0, 9), "<150>7:  ");
    // A text that would overrun the datagram is cut, never written past it.
    std::string longText(5000, 'a');
    std::string d = FormatSyslogDatagram(18, 6, 1000000, longText);
    EXPECT_EQ(d.size(), kSyslogDatagramLimit - 1);
    EXPECT_EQ(d.substr(0, 15), "<150>1000000:  ");
}

TEST(SyslogSend, SequenceSharedByEventsAndTests)
{
    ASSERT_EQ(OpenSyslogSocket(), 0);
    UdpSink sink;
    SetSyslogPort(sink.Port());
    ResetSyslogSequence();
    Settings& s = CurrentSettings();
    Settings saved = s;
    s.general.SetFlags(kGenSyslog | (3u << kGenFacilityShift) | (4u << kGenSeverityShift));
    s.syslog.servers = {Addr("127.0.0.1")};

    SendSyslogEvent("first", "2026-01-01 00:00:00");
    std::uint32_t page[] = {Addr("127.0.0.1")};
    SendSyslogTest("probe", page, 1); // the page's test ignores the chosen facility
    SendSyslogEvent("third", "");
    EXPECT_EQ(sink.Receive(), "<28>1:  first");
    EXPECT_EQ(sink.Receive(), "<85>2:  probe");
    EXPECT_EQ(sink.Receive(), "<28>3:  third");

    // No servers: nothing sent, no number used up.
    s.syslog.servers.clear();
    SendSyslogEvent("lost", "");
    EXPECT_EQ(NextSyslogSequence(), 4);
    s = saved;
}

using test::RsyslogPeer;

TEST(SyslogPeer, TwoServersTwoEventsReachRsyslogInOrder)
{
    // Two daemons on two loopback addresses share one port, as real servers
    // on port 514 would.
    std::uint16_t port = test::FreePort(true);
    RsyslogPeer first, second;
    ASSERT_TRUE(first.Start("127.0.0.1", port));
    ASSERT_TRUE(second.Start("127.0.0.2", port));

    ASSERT_EQ(OpenSyslogSocket(), 0);
    SetSyslogPort(port);
    ResetSyslogSequence();
    Settings& s = CurrentSettings();
    Settings saved = s;
    // Only syslog on, with the default facility and severity (local2.info).
    s.general.SetFlags(kGenSyslog | (kDefaultGeneralFlags & (kGenFacilityMask | kGenSeverityMask)));
    s.syslog.servers = {Addr("127.0.0.1"), Addr("127.0.0.2")};

    DnsItem item{};
    DispatchEvent(item, "www.example.test is down", "2026-12-08 02:00:00");
    DispatchEvent(item, "www.example.test is up", "2026-12-08 02:00:05");
    s = saved;

    ASSERT_TRUE(test::WaitFor([&] { return first.Lines().size() == 2 && second.Lines().size() == 2; }, 10s));
    // Server 1 gets numbers 1 and 3, server 2 gets 2 and 4.
    EXPECT_EQ(first.Lines(), (std::vector<std::string>{"150|local2|info|<150>1:  www.example.test is down",
                                                        "150|local2|info|<150>3:  www.example.test is up"}));
    EXPECT_EQ(second.Lines(), (std::vector<std::string>{"150|local2|info|<150>2:  www.example.test is down",
                                                         "150|local2|info|<150>4:  www.example.test is up"}));
}

} // namespace
