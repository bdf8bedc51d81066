#include "alerts/dispatch.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <future>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "alerts/beep_thread.h"
#include "alerts/box_thread.h"
#include "alerts/exec_thread.h"
#include "alerts/log_file.h"
#include "alerts/mail_thread.h"
#include "alerts/netsend_thread.h"
#include "alerts/syslog.h"
#include "config/settings.h"
#include "tests/support/process.h"
#include "tests/support/recording_ui_channel.h"

using namespace varnell;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kAllChannels =
    kGenExecute | kGenMail | kGenPopup | kGenNetMessage | kGenSound | kGenLog | kGenSyslog | kGenBeep;

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetUiChannel(&desktop_);
        saved_ = CurrentSettings();
        Settings& s = CurrentSettings();
        s.general.SetFlags(0);
        s.general.texts[kTextExecPath] = "/bin/true";
        s.general.texts[kTextLogPath] = dir_.File("events.log");
        s.general.texts[kTextSoundPath] = "";
        s.general.SetRepeatSeconds(3);
        s.mail.server = "127.0.0.1";
        s.mail.port = test::FreePort(false);
        s.mail.fromAddress = "varnell@example.test";
        s.mail.receivers = {"ops@example.test", "noc@example.test"};
        s.messenger.receivers = {inet_addr("127.0.0.1"), inet_addr("127.0.0.2")};
        s.syslog.servers = {inet_addr("127.0.0.1")};

        sink_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = inet_addr("127.0.0.1");
        ::bind(sink_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(sink_, reinterpret_cast<sockaddr*>(&a), &len);
        timeval tv{0, 300000};
        ::setsockopt(sink_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ASSERT_EQ(OpenSyslogSocket(), 0);
        SetSyslogPort(ntohs(a.sin_port));
        ResetSyslogSequence();
        ReopenLogFile();

        SetDispatchTrace([this](AlertChannel c, int r) { trace_.push_back({c, r}); });
    }
    void TearDown() override
    {
        SetDispatchTrace(nullptr);
        StopAlertWorkers();
        CurrentSettings() = saved_;
        CurrentSettings().general.texts[kTextLogPath] = "";
        ReopenLogFile();
        ::close(sink_);
    }
    std::string Datagram()
    {
        char buf[4096];
        ssize_t n = ::recv(sink_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }
    std::string LogText()
    {
        FlushLogFile();
        return test::ReadFile(dir_.File("events.log"));
    }

    using Step = std::pair<AlertChannel, int>;
    RecordingUiChannel desktop_;
    test::TempDir dir_;
    Settings saved_;
    int sink_ = -1;
    std::vector<Step> trace_;
    DnsItem item_{};
};

TEST_F(DispatchTest, AllChannelsRunInTheirOrder)
{
    CurrentSettings().general.SetFlags(kAllChannels);
    StartAlertWorkers(false); // made but not running: the queues show what was posted
    EXPECT_EQ(DispatchEvent(item_, "a.test is down", "2026-12-08 02:00:00"), 0);

    using C = AlertChannel;
    EXPECT_EQ(trace_, (std::vector<Step>{{C::Syslog, 0},
                                         {C::Execute, 0},
                                         {C::Mail, 0},
                                         {C::MessageBox, 0},
                                         {C::NetMessage, 0},
                                         {C::NetMessage, 0},
                                         {C::Sound, 0},
                                         {C::Log, 0}}));
    EXPECT_EQ(Datagram(), "<0>1:  a.test is down");
    EXPECT_EQ(ExecWorker()->Pending(), 1u);
    EXPECT_EQ(MailWorker()->Pending(), 1u); // one mail for both receivers
    EXPECT_EQ(BoxWorker()->Pending(), 1u);
    EXPECT_EQ(NetSendWorker()->Pending(), 2u);
    EXPECT_EQ(BeepWorker()->Pending(), 1u);
    EXPECT_EQ(LogText(), "a.test is down\r\n");

    // Both receivers of one event share a cookie; the next event takes the next.
    std::uint32_t cookie = NetMessageSequence();
    DispatchEvent(item_, "a.test is up", "");
    EXPECT_EQ(NetMessageSequence(), cookie + 1);
    EXPECT_EQ(NetSendWorker()->Pending(), 4u);
    EXPECT_EQ(Datagram(), "<0>2:  a.test is up");
    EXPECT_EQ(LogText(), "a.test is down\r\na.test is up\r\n");
}

TEST_F(DispatchTest, NothingHappensWithEveryFlagOff)
{
    // Every bit but the channel switches set: repeat, beep, facility, severity.
    CurrentSettings().general.SetFlags(~kAllChannels | kGenBeep);
    StartAlertWorkers(false);
    std::uint32_t cookie = NetMessageSequence();
    EXPECT_EQ(DispatchEvent(item_, "a.test is down", ""), 0);
    EXPECT_TRUE(trace_.empty());
    EXPECT_EQ(Datagram(), "");
    EXPECT_EQ(ExecWorker()->Pending() + MailWorker()->Pending() + BoxWorker()->Pending() +
                  NetSendWorker()->Pending() + BeepWorker()->Pending(),
              0u);
    EXPECT_EQ(NetMessageSequence(), cookie);
    EXPECT_EQ(LogText(), "");
}

TEST_F(DispatchTest, ChannelsWithNothingToDoAreSkipped)
{
    Settings& s = CurrentSettings();
    s.general.SetFlags(kGenExecute | kGenMail | kGenLog);
    s.general.texts[kTextExecPath] = "";
    s.mail.receivers.clear();
    s.general.texts[kTextLogPath] = "";
    ReopenLogFile();
    StartAlertWorkers(false);
    DispatchEvent(item_, "a.test is down", "");
    // No program, no receiver (the mail worker refuses it), no log file.
    EXPECT_EQ(trace_, (std::vector<Step>{{AlertChannel::Mail, -1}}));
    EXPECT_EQ(ExecWorker()->Pending(), 0u);
    EXPECT_EQ(MailWorker()->Pending(), 0u);
}

TEST_F(DispatchTest, FullQueueLosesOnlyThatChannel)
{
    CurrentSettings().general.SetFlags(kGenPopup | kGenLog);
    StartAlertWorkers(false);
    for (std::uint32_t i = 0; i < kQueueSize - 1; ++i)
        ASSERT_EQ(BoxWorker()->Post(kNoWindow, "c", "t", 2), 0);
    DispatchEvent(item_, "a.test is down", "");
    EXPECT_EQ(trace_, (std::vector<Step>{{AlertChannel::MessageBox, -1}, {AlertChannel::Log, 0}}));
    EXPECT_EQ(LogText(), "a.test is down\r\n");
}

// The aiosmtpd peer for the mail channel end to end.
TEST_F(DispatchTest, HighPriorityFollowsTheItem)
{
    test::TempDir mailDir;
    test::ChildProcess smtpd;
    std::uint16_t port = test::FreePort(false);
    ASSERT_TRUE(smtpd.Start({"/usr/bin/python3", test::SourceDir() + "/scripts/peers/smtpd.py",
                             std::to_string(port), mailDir.Path()}));
    ASSERT_TRUE(test::WaitFor([&] { return test::TcpPortOpen(port); }, 20s, 50ms));
    Settings& s = CurrentSettings();
    s.mail.port = port;
    s.general.SetFlags(kGenMail);
    StartAlertWorkers();

    DnsItem urgent{};
    urgent.flags = kFlagHighPriorityMail;
    DispatchEvent(urgent, "urgent.test is down", "");
    DispatchEvent(item_, "calm.test is down", "");
    ASSERT_TRUE(test::WaitFor([&] { return !test::ReadFile(mailDir.File("message-2.txt")).empty(); }, 30s));
    std::string first = test::ReadFile(mailDir.File("message-1.txt"));
    std::string second = test::ReadFile(mailDir.File("message-2.txt"));
    EXPECT_NE(first.find("to: ops@example.test\nto: noc@example.test\n"), std::string::npos) << first;
    EXPECT_NE(first.find("Subject: urgent.test is down\r\n"), std::string::npos) << first;
    EXPECT_NE(first.find("X-Priority: 1"), std::string::npos);
    EXPECT_NE(second.find("Subject: calm.test is down\r\n"), std::string::npos) << second;
    EXPECT_EQ(second.find("X-Priority"), std::string::npos);
}

// The scheduler writes the outstanding-request bits of the item's flags word
// under the engine lock; dispatch reads that word, so it waits for the lock.
TEST_F(DispatchTest, ItemFlagsAreReadUnderTheEngineLock)
{
    std::promise<void> locked, release;
    std::thread scheduler([&] {
        std::lock_guard lock(EngineLock());
        locked.set_value();
        release.get_future().wait();
    });
    locked.get_future().wait();
    auto dispatched = std::async(std::launch::async, [&] { return DispatchEvent(item_, "a.test is down", ""); });
    EXPECT_EQ(dispatched.wait_for(100ms), std::future_status::timeout);
    release.set_value();
    EXPECT_EQ(dispatched.get(), 0);
    scheduler.join();
}

TEST_F(DispatchTest, ShutdownEndsDespiteASilentServerAndAnOpenBox)
{
    // A server that takes the connection and never greets.
    int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&a), &len);
    ASSERT_EQ(::listen(silent, 4), 0);
    Settings& s = CurrentSettings();
    s.mail.port = ntohs(a.sin_port);
    s.general.SetFlags(kGenMail | kGenPopup);
    desktop_.HoldBoxes(true);
    StartAlertWorkers();
    DispatchEvent(item_, "a.test is down", "");
    ASSERT_TRUE(test::WaitFor([&] { return desktop_.Boxes().size() == 1; }, 5s));

    auto start = std::chrono::steady_clock::now();
    desktop_.ReleaseWaiters();
    StopAlertWorkers();
    auto took = std::chrono::steady_clock::now() - start;
    // Every worker but the mail one ends at once; that one is given up on after
    // its join wait and left to the end of the process.
    EXPECT_LT(took, std::chrono::milliseconds(kJoinWaitMs * 2));
    EXPECT_EQ(MailWorker(), nullptr);
    EXPECT_EQ(BoxWorker(), nullptr);
    ::close(silent);
}

} // namespace
