// Network messages against a real smbd on loopback, plus the protocol pieces
// and the worker's retries against a receiver that breaks every session.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "alerts/netsend_thread.h"
#include "alerts/smb/netsend.h"
#include "tests/support/recording_ui_channel.h"
#include "config/settings.h"
#include "tests/support/peers.h"
#include "tests/support/process.h"

using namespace varnell;
using namespace varnell::test;
using namespace std::chrono_literals;

namespace {

// A receiver that accepts each connection and closes it at once: every send
// fails, and the count of connections is the count of send calls.
class HangUpReceiver {
public:
    HangUpReceiver()
    {
        fd_ = ListenOnLoopback(16, port_);
        thread_ = std::thread([this] {
            for (;;) {
                int c = accept(fd_, nullptr, nullptr);
                if (c < 0)
                    return;
                if (!hangUp_) {
                    held_.push_back(c); // silent: never answers
                    ++accepted_;
                    continue;
                }
                close(c);
                ++accepted_;
            }
        });
    }
    ~HangUpReceiver()
    {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
        for (int c : held_)
            close(c);
    }
    void SetSilent() { hangUp_ = false; }
    std::uint16_t Port() const { return port_; }
    int Accepted() const { return accepted_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<int> accepted_{0};
    std::atomic<bool> hangUp_{true};
    std::vector<int> held_;
    std::thread thread_;
};

NetSendOptions OptionsFor(std::uint16_t port, std::uint32_t replyMs = 4000)
{
    NetSendOptions o;
    o.port = port;
    o.connectTimeoutMs = 2000;
    o.replyTimeoutMs = replyMs;
    return o;
}

} // namespace

TEST(NetSendProtocol, SessionRequestNamesAreEncodedUpperCasedAndCut)
{
    auto called = EncodeNetbiosName("server", 0x03);
    ASSERT_EQ(called.size(), 34u);
    EXPECT_EQ(called[0], 32);
    EXPECT_EQ(called[33], 0);
    // 'S' = 0x53 -> "FD", padding ' ' = 0x20 -> "CA", suffix 0x03 -> "AD".
    std::string letters(called.begin() + 1, called.begin() + 33);
    EXPECT_EQ(letters, "FDEFFCFGEFFCCACACACACACACACACAAD");

    auto cut = EncodeNetbiosName("abcdefghijklmnopqrst", 0x00);
    auto full = EncodeNetbiosName("ABCDEFGHIJKLMNO", 0x00);
    EXPECT_EQ(cut, full);

    auto packet = BuildSessionRequest("127.0.0.1", "host");
    ASSERT_EQ(packet.size(), 72u);
    EXPECT_EQ(packet[0], 0x81);
    EXPECT_EQ(packet[3], 68);
}

TEST(NetSendProtocol, RepliesAreCheckedBeforeUse)
{
    // A well-formed SMBsendstrt reply: one word (the group), no bytes.
    std::vector<std::uint8_t> ok = {0xFF, 'S', 'M', 'B', kSmbSendStart, 0, 0, 0, 0, 0x80};
    ok.resize(32, 0);
    ok[30] = 5; // mid
    for (int b : {1, 0x34, 0x12, 0, 0})
        ok.push_back(static_cast<std::uint8_t>(b));
    SmbReply reply;
    ASSERT_TRUE(ParseSmbReply(ok, reply));
    EXPECT_EQ(reply.word0, 0x1234);
    EXPECT_EQ(reply.mid, 5);

    auto bad = ok;
    bad[9] = 0; // not marked as a reply
    EXPECT_FALSE(ParseSmbReply(bad, reply));
    bad = ok;
    bad[32] = 200; // words beyond the end
    EXPECT_FALSE(ParseSmbReply(bad, reply));
    bad = ok;
    bad[35] = 9; // byte count beyond the end
    EXPECT_FALSE(ParseSmbReply(bad, reply));
    for (std::size_t n = 0; n < ok.size() - 2; ++n)
        EXPECT_FALSE(ParseSmbReply(std::span(ok).first(n), reply)) << n;

    // An error reply that stops after the header still carries its status.
    std::vector<std::uint8_t> err = {0xFF, 'S', 'M', 'B', kSmbSendStart, 1, 0, 71, 0, 0x80};
    err.resize(33, 0);
    ASSERT_TRUE(ParseSmbReply(err, reply));
    EXPECT_EQ(reply.status, 0x00470001u);
}

TEST(NetSendAliases, AddAndRemoveAreLocalBookkeeping)
{
    NetMessageNameAdd("ANameLongerThanFifteen");
    NetMessageNameAdd("ANameLongerThanFifteen");
    auto names = NetMessageNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "ANameLongerThan"), 1);
    NetMessageNameDel("ANameLongerThanFifteen");
    names = NetMessageNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "ANameLongerThan"), 0);
    EXPECT_EQ(NetMessageNameDel("never-added"), 0);
}

class NetSendSmbd : public ::testing::Test {
protected:
    static void SetUpTestSuite() { smbd_ = new SmbdPeer(true); }
    static void TearDownTestSuite()
    {
        delete smbd_;
        smbd_ = nullptr;
    }
    void SetUp() override
    {
        if (!smbd_->Started())
            GTEST_SKIP() << "smbd did not start on loopback:\n" << smbd_->Log();
        SetNetSendOptions(OptionsFor(smbd_->Port()));
    }
    void TearDown() override { SetNetSendOptions(NetSendOptions{}); }

    static bool MessagesContain(const std::string& text)
    {
        return WaitFor([&] { return smbd_->Messages().find(text) != std::string::npos; }, 10s);
    }

    static SmbdPeer* smbd_;
};
SmbdPeer* NetSendSmbd::smbd_ = nullptr;

TEST_F(NetSendSmbd, DeliversShortAndMultiBlockTextsWithTheNameCut)
{
    std::string from = "SenderNameOfTwenty20";
    EXPECT_EQ(NetMessageBufferSend("127.0.0.1", &from, "db1 is down"), kNetSendOk);
    EXPECT_TRUE(MessagesContain("from=SenderNameOfTwe\ndb1 is down")) << smbd_->Messages();

    // 400 bytes take four text blocks; each block's text must arrive in order.
    std::string longText;
    for (int i = 0; longText.size() < 400; ++i)
        longText += "block-" + std::to_string(i) + " ";
    EXPECT_EQ(NetMessageBufferSend("127.0.0.1", nullptr, longText), kNetSendOk);
    EXPECT_TRUE(MessagesContain(longText)) << smbd_->Messages();
    EXPECT_TRUE(MessagesContain("from=" + LocalNetbiosName()));
}

TEST_F(NetSendSmbd, WorkerDeliversAndReportsToTheReplyWindow)
{
    RecordingUiChannel desktop;
    SetUiChannel(&desktop);
    std::mutex m;
    std::vector<std::pair<std::uintptr_t, std::intptr_t>> done;
    WindowId window = desktop.RegisterWindow([&](const WindowMessage& msg) {
        std::lock_guard lock(m);
        if (msg.id == WM_NETSEND_DONE)
            done.emplace_back(msg.wparam, msg.lparam);
    });
    CurrentSettings().messenger.retryTimes = 1;
    {
        cnetsendthread worker;
        worker.Resume();
        EXPECT_EQ(worker.Post(window, 0x10001, "127.0.0.1", "first via worker", "OldName"), 0);
        EXPECT_EQ(worker.Post(window, 0x10002, "127.0.0.1", "second via worker", "NewName"), 0);
        EXPECT_TRUE(WaitFor([&] { std::lock_guard lock(m); return done.size() == 2; }, 20s));
        // Changing the sender name unregistered the old alias.
        auto names = NetMessageNames();
        EXPECT_EQ(std::count(names.begin(), names.end(), "OldName"), 0);
        EXPECT_EQ(std::count(names.begin(), names.end(), "NewName"), 1);
        worker.RequestStop();
        EXPECT_EQ(worker.StopAndJoin(), 1);
    }
    auto names = NetMessageNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "NewName"), 0);
    desktop.Drain();
    {
        std::lock_guard lock(m);
        ASSERT_EQ(done.size(), 2u);
        EXPECT_EQ(done[0], std::make_pair(std::uintptr_t{0x10001}, std::intptr_t{0}));
        EXPECT_EQ(done[1], std::make_pair(std::uintptr_t{0x10002}, std::intptr_t{0}));
    }
    EXPECT_TRUE(MessagesContain("from=OldName\nfirst via worker"));
    EXPECT_TRUE(MessagesContain("from=NewName\nsecond via worker"));
    desktop.ReleaseWaiters();
}

TEST(NetSendRefusals, ReceiverWithoutMessageCommandDoesNotAccept)
{
    SmbdPeer smbd(false);
    if (!smbd.Started())
        GTEST_SKIP() << "smbd did not start on loopback:\n" << smbd.Log();
    SetNetSendOptions(OptionsFor(smbd.Port()));
    std::string from = "admin";
    EXPECT_EQ(NetMessageBufferSend("127.0.0.1", &from, "refused"), kNetSendNotAccepted);
    SetNetSendOptions(NetSendOptions{});
}

TEST(NetSendRefusals, DeadAndSilentReceiversFailWithinTheirTimeOuts)
{
    EXPECT_EQ(NetMessageBufferSend("not-an-address", nullptr, "x"), kNetSendInvalidParameter);

    SetNetSendOptions(OptionsFor(FreePort(false)));
    EXPECT_EQ(NetMessageBufferSend("127.0.0.1", nullptr, "x"), kNetSendBadNetPath);

    HangUpReceiver silent;
    silent.SetSilent();
    SetNetSendOptions(OptionsFor(silent.Port(), 300));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(NetMessageBufferSend("127.0.0.1", nullptr, "x"), kNetSendTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    SetNetSendOptions(NetSendOptions{});
}

TEST(NetSendRetries, EachAttemptSendsWithAndWithoutTheSenderName)
{
    RecordingUiChannel desktop;
    SetUiChannel(&desktop);
    std::atomic<int> doneCount{0};
    std::atomic<std::intptr_t> status{-1};
    std::atomic<std::uintptr_t> cookie{0};
    WindowId window = desktop.RegisterWindow([&](const WindowMessage& msg) {
        cookie = msg.wparam;
        status = msg.lparam;
        ++doneCount;
    });
    HangUpReceiver receiver;
    SetNetSendOptions(OptionsFor(receiver.Port()));
    {
        cnetsendthread worker;
        worker.Resume();
        CurrentSettings().messenger.retryTimes = 3;
        ASSERT_EQ(worker.Post(window, 42, "127.0.0.1", "never arrives", "admin"), 0);
        EXPECT_TRUE(WaitFor([&] { return doneCount == 1; }, 20s));
        EXPECT_EQ(receiver.Accepted(), 6);

        // A count below 1 still makes one attempt rather than reporting success.
        CurrentSettings().messenger.retryTimes = 0;
        ASSERT_EQ(worker.Post(window, 43, "127.0.0.1", "never arrives", "admin"), 0);
        EXPECT_TRUE(WaitFor([&] { return doneCount == 2; }, 20s));
        EXPECT_EQ(receiver.Accepted(), 8);
        worker.RequestStop();
        EXPECT_EQ(worker.StopAndJoin(), 1);
    }
    EXPECT_EQ(cookie, 43u);
    EXPECT_EQ(status, kNetSendUnexpected);
    CurrentSettings().messenger.retryTimes = 1;
    SetNetSendOptions(NetSendOptions{});
    desktop.ReleaseWaiters();
}
