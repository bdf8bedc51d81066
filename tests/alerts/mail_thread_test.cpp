#include "alerts/mail_thread.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "probe/engine.h"

#include "tests/alerts/reply_window_fixture.h"
#include "tests/support/peers.h"
#include "tests/support/process.h"

using namespace varnell;
using namespace std::chrono_literals;

namespace {

using test::SmtpPeer;

class MailThreadTest : public test::ReplyWindowTest {};

TEST_F(MailThreadTest, OneMessagePerEventForAllReceivers)
{
    SmtpPeer peer;
    ASSERT_TRUE(peer.Start({"watcher", "s3cret"}));
    cmailthread worker;
    worker.Resume();
    // The event form: recipients as plain strings; a user is stored but logon is off.
    const char* receivers[] = {"ops@example.test", "noc@example.test", "oncall@example.test"};
    ASSERT_EQ(worker.Post(window_, "127.0.0.1", peer.Port(), "varnell@example.test", "Varnell", false, "watcher",
                          "s3cret", 3, receivers, "dns1.example.test is down", "dns1.example.test is down", false),
              0);
    // The test-button form, with logon and high priority.
    ASSERT_EQ(worker.Post(window_, "127.0.0.1", peer.Port(), "varnell@example.test", "Varnell", true, "watcher",
                          "s3cret", std::vector<std::string>{"ops@example.test"}, "dns2.example.test is up",
                          "dns2.example.test is up", true),
              0);
    ASSERT_TRUE(test::WaitFor([&] { return Done().size() == 2; }, 30s));
    auto done = Done();
    EXPECT_EQ(done[0].id, WM_ACTION_DONE);
    EXPECT_EQ(done[0].lparam, 0);
    EXPECT_EQ(done[1].wparam, 2u);
    EXPECT_EQ(done[1].lparam, 0);

    std::string first = peer.Message(1);
    EXPECT_NE(first.find("auth: -\n"), std::string::npos) << first; // never logged on
    EXPECT_NE(first.find("to: ops@example.test\nto: noc@example.test\nto: oncall@example.test\n"), std::string::npos)
        << first;
    EXPECT_NE(first.find("Subject: dns1.example.test is down\r\n"), std::string::npos) << first;
    EXPECT_NE(first.find("\r\n\r\ndns1.example.test is down"), std::string::npos) << first;
    EXPECT_EQ(first.find("X-Priority"), std::string::npos);

    std::string second = peer.Message(2);
    EXPECT_NE(second.find("auth: watcher\n"), std::string::npos) << second;
    EXPECT_NE(second.find("X-Priority: 1\r\n"), std::string::npos) << second;
    EXPECT_EQ(peer.Message(3), "");
}

TEST_F(MailThreadTest, RefusedServerFailsAndTheQueueGoesOn)
{
    SmtpPeer peer;
    ASSERT_TRUE(peer.Start());
    std::uint16_t closed = test::FreePort(false);
    cmailthread worker;
    worker.Resume();
    std::vector<std::string> to{"ops@example.test"};
    EXPECT_EQ(worker.Post(window_, "127.0.0.1", closed, "a@example.test", "A", false, "", "", to, "s", "b", false),
              0);
    EXPECT_EQ(worker.Post(window_, "127.0.0.1", peer.Port(), "a@example.test", "A", false, "", "", to, "ok", "b",
                          false),
              0);
    // No recipient: refused before anything is queued.
    EXPECT_EQ(worker.Post(window_, "127.0.0.1", peer.Port(), "a@example.test", "A", false, "", "", {}, "s", "b",
                          false),
              -1);
    EXPECT_EQ(worker.Post(window_, "127.0.0.1", peer.Port(), "a", "A", false, "", "", 0, nullptr, "s", "b", false),
              -1);
    ASSERT_TRUE(test::WaitFor([&] { return Done().size() == 2; }, 30s));
    auto done = Done();
    EXPECT_EQ(done[0].lparam, 1); // failed at once, a test is not tried again; and why
    EXPECT_EQ(done[0].text, "Connection refused");
    EXPECT_EQ(done[1].lparam, 0);
    EXPECT_EQ(done[1].text, "");
    EXPECT_NE(peer.Message(1).find("Subject: ok"), std::string::npos);
}

TEST_F(MailThreadTest, StopRequestEndsASessionWithASilentServerAtOnce)
{
    // Listening and never accepting: the connection is made, nothing is ever said.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&sa), len), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    cmailthread worker;
    worker.Resume();
    std::vector<std::string> to{"ops@example.test"};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(worker.Post(window_, "127.0.0.1", ntohs(sa.sin_port), "a@example.test", "A", false, "", "", to, "s",
                              "b", false),
                  0);
    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1); // the first session waits for the greeting
    const auto start = std::chrono::steady_clock::now();
    worker.RequestStop();
    EXPECT_EQ(worker.StopAndJoin(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    // The session under way ends as failed; the rest stay queued, unsent.
    const auto done = Done();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].lparam, 1);
    EXPECT_EQ(worker.Pending(), 2u);
    close(listener);
}

TEST_F(MailThreadTest, TwentyQueuedMailsGoOutOneAfterAnotherInOrder)
{
    SmtpPeer peer;
    ASSERT_TRUE(peer.Start());
    cmailthread worker; // not running yet: everything queues up first
    std::vector<std::string> to{"ops@example.test"};
    for (int i = 1; i <= 20; ++i)
        ASSERT_EQ(worker.Post(kNoWindow, "127.0.0.1", peer.Port(), "a@example.test", "A", false, "", "", to,
                              "event " + std::to_string(i), "body", false),
                  0);
    worker.Resume();
    ASSERT_TRUE(test::WaitFor([&] { return worker.Pending() == 0 && !peer.Message(20).empty(); }, 60s));
    for (int i = 1; i <= 20; ++i)
        EXPECT_NE(peer.Message(i).find("Subject: event " + std::to_string(i) + "\r\n"), std::string::npos) << i;
    EXPECT_TRUE(Done().empty()); // no reply window, nothing posted
}

// The mail as an event posts it: no reply window, the stored settings' values.
int PostEvent(cmailthread& worker, std::uint16_t port, const std::vector<std::string>& to, const std::string& text,
              bool logon = false)
{
    return worker.Post(kNoWindow, "127.0.0.1", port, "varnell@example.test", "Varnell", logon, "watcher", "s3cret",
                       to, text, text, false);
}

int Count(const std::string& text, const std::string& word)
{
    int n = 0;
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++n;
    return n;
}

TEST_F(MailThreadTest, GreylistedMailsArriveInOrderOnARetryAndTheRefusedRecipientIsNamed)
{
    SmtpPeer peer;
    ASSERT_TRUE(peer.Start({"--refuse", "typo@example.test", "--greylist", "1"}));
    Engine().eventWindow.store(window_);
    cmailthread worker;
    worker.retryDelaysMs = {300, 300, 300};
    const std::vector<std::string> to{"ops@example.test", "typo@example.test", "noc@example.test"};
    // Both wait before the first attempt: the second must not overtake the
    // first, which the server greylists.
    ASSERT_EQ(PostEvent(worker, peer.Port(), to, "dns1.example.test is down"), 0);
    ASSERT_EQ(PostEvent(worker, peer.Port(), to, "dns2.example.test is down"), 0);
    worker.Resume();
    ASSERT_TRUE(test::WaitFor([&] { return Done().size() == 2; }, 30s)) << peer.Events();
    Engine().eventWindow.store(kNoWindow);
    for (int n : {1, 2}) {
        const std::string mail = peer.Message(n);
        EXPECT_NE(mail.find("to: ops@example.test\nto: noc@example.test\n\n"), std::string::npos) << mail;
        EXPECT_NE(mail.find("Subject: dns" + std::to_string(n) + ".example.test is down\r\n"), std::string::npos);
        EXPECT_EQ(Done()[static_cast<std::size_t>(n - 1)].text,
                  "Send mail refused for typo@example.test (550 5.1.1 <typo@example.test>: no such user)");
    }
    EXPECT_EQ(peer.Message(3), "");
    EXPECT_EQ(Count(peer.Events(), "MAIL"), 3); // one greylisted try, then each mail once
}

TEST_F(MailThreadTest, FinalRefusalsAreReportedAtOnceAndTemporaryOnesAfterTheLastRetry)
{
    SmtpPeer peer;
    ASSERT_TRUE(peer.Start({"--refuse", "typo@example.test"}));
    Engine().eventWindow.store(window_);
    cmailthread worker;
    worker.retryDelaysMs = {50, 100, 150};
    worker.Resume();
    ASSERT_EQ(PostEvent(worker, test::FreePort(false), {"ops@example.test"}, "closed port"), 0);
    ASSERT_EQ(PostEvent(worker, peer.Port(), {"typo@example.test"}, "unknown user"), 0);
    ASSERT_TRUE(test::WaitFor([&] { return Done().size() == 2; }, 30s));
    Engine().eventWindow.store(kNoWindow);
    // The 550 is final at once, not held up by the other server's retries.
    EXPECT_EQ(Done()[0].text, "Send mail failed: the mail server refused every recipient: typo@example.test (550 "
                              "5.1.1 <typo@example.test>: no such user)");
    EXPECT_EQ(Done()[1].text, "Send mail failed after 4 tries: Connection refused");
    EXPECT_EQ(Count(peer.Events(), "MAIL"), 1);
}

TEST_F(MailThreadTest, MailsWaitingForARetryDoNotHoldTheExit)
{
    cmailthread worker; // the usual delays: the retry is a minute away
    worker.Resume();
    ASSERT_EQ(PostEvent(worker, test::FreePort(false), {"ops@example.test"}, "www is down"), 0);
    ASSERT_TRUE(test::WaitFor([&] { return worker.Pending() == 0; }, 10s));
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    worker.RequestStop();
    EXPECT_EQ(worker.StopAndJoin(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "varnell: 1 mail not sent yet, dropped at exit\n");
}

TEST_F(MailThreadTest, ALogonWithoutTlsIsReportedOnceAfterStart)
{
    SmtpPeer peer;
    ASSERT_TRUE(peer.Start({"watcher", "s3cret"}));
    Engine().eventWindow.store(window_);
    cmailthread worker;
    worker.Resume();
    const std::vector<std::string> to{"ops@example.test"};
    ASSERT_EQ(PostEvent(worker, peer.Port(), to, "one", true), 0);
    ASSERT_EQ(PostEvent(worker, peer.Port(), to, "two", true), 0);
    ASSERT_EQ(PostEvent(worker, peer.Port(), to, "three"), 0);
    // Mails go one after another: once the third is in, every row is posted.
    ASSERT_TRUE(test::WaitFor([&] { return !peer.Message(3).empty(); }, 30s));
    Engine().eventWindow.store(kNoWindow);
    const auto done = Done();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].text, "mail logon sent without TLS to 127.0.0.1");
    EXPECT_NE(peer.Message(2).find("auth: watcher\n"), std::string::npos);
}

} // namespace
