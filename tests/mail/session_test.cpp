// The SMTP session against a scripted server: every failure path ends with
// its result, last error and last response, in bounded time, and the server
// receives exactly the commands it should.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <unistd.h>

#include "mail/base64.h"
#include "mail/smtp_connection.h"
#include "scripted_server.h"
#include "tests/support/process.h"

using namespace varnell;
using namespace varnell::test;
using std::chrono::milliseconds;

namespace {

std::string HostName()
{
    char buf[100] = {};
    gethostname(buf, sizeof(buf) - 1);
    return buf[0] ? buf : "localhost";
}

// A connection with short waits so the failure paths finish quickly.
void Quick(CSMTPConnection& c, std::uint32_t timeoutMs = 1000)
{
    c.replyTimeoutMs = timeoutMs;
    c.pollWaitMs = 50;
}

long long MsSince(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - t).count();
}

const std::vector<ScriptStep> kHeloOk = {Say("220 ready\r\n"), Hear(), Say("250 hello\r\n")};

std::vector<ScriptStep> Then(std::vector<ScriptStep> a, const std::vector<ScriptStep>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void FillMessage(CSMTPMessage& m, int recipients)
{
    m.from = CSMTPAddress("monitor@example.org", "Monitor");
    for (int i = 0; i < recipients; ++i)
        m.AddRecipient(CSMTPAddress("r" + std::to_string(i) + "@example.org"));
    m.subject = "www is down";
    m.SetBodyText("www is down");
}

// Greets with HELO and sends a message to that many recipients, which the
// server refuses.
void SendRefused(CSMTPConnection& c, std::uint16_t port, int recipients)
{
    CSMTPMessage m;
    FillMessage(m, recipients);
    Quick(c);
    ASSERT_EQ(c.Connect("127.0.0.1", port), 1);
    EXPECT_EQ(c.SendMail(m, false), 0);
    EXPECT_EQ(c.GetLastError(), kSmtpErrCommandRefused);
}

} // namespace

TEST(SmtpSession, HeloDeliveryTranscriptByteForByte)
{
    ScriptedServer server(Then(kHeloOk, {Hear(), Say("250 ok\r\n"), Hear(), Say("250 ok\r\n"), Hear(),
                                         Say("250 ok\r\n"), Hear(), Say("354 go\r\n"), Pause(100),
                                         Say("250 queued\r\n"), Pause(100), Say("221 bye\r\n")}));
    CSMTPMessage m;
    FillMessage(m, 2);
    // Item names can carry any line break (the CSV import takes them).
    m.SetBodyText(".dot\rline\nend\r.x");
    std::string header;
    {
        CSMTPConnection c;
        Quick(c, 2000);
        ASSERT_EQ(c.Connect("127.0.0.1", server.Port()), 1) << c.GetLastError();
        EXPECT_TRUE(c.IsConnected());
        header = m.GetHeader(true);
        ASSERT_EQ(c.SendMail(m, true), 1) << c.GetLastCommandResponse();
        EXPECT_EQ(c.Disconnect(), 1);
        EXPECT_FALSE(c.IsConnected());
    }
    const std::string got = server.Received();
    const std::string head = "HELO " + HostName() + "\r\nMAIL FROM:<monitor@example.org>\r\n"
                             "RCPT TO:<r0@example.org>\r\nRCPT TO:<r1@example.org>\r\nDATA\r\n";
    ASSERT_EQ(got.substr(0, head.size()), head);
    // The Date line may tick over between the two GetHeader calls.
    const std::size_t headerEnd = got.find("\r\n\r\n", head.size());
    ASSERT_NE(headerEnd, std::string::npos);
    EXPECT_EQ(got.substr(head.size(), 40), header.substr(0, 40));
    EXPECT_NE(got.find("X-Priority: 1\r\nX-MSMail-Priority: High\r\nX-Mailer: Varnell Mailer 1.21\r\n\r\n"),
              std::string::npos);
    EXPECT_EQ(got.substr(headerEnd + 4), "..dot\r\nline\r\nend\r\n..x\r\n.\r\nQUIT\r\n");
}

TEST(SmtpSession, RefusedGreetingSendsQuitAndKeepsTheReply)
{
    {
        ScriptedServer server({Say("554 no service here\r\n"), Hear(), Say("221 bye\r\n")});
        CSMTPConnection c;
        Quick(c);
        EXPECT_EQ(c.Connect("127.0.0.1", server.Port()), 0);
        EXPECT_EQ(c.GetLastError(), kSmtpErrUnexpectedReply);
        EXPECT_EQ(c.GetLastCommandResponse(), "554 no service here");
        EXPECT_FALSE(c.FailureIsTemporary());
        EXPECT_EQ(c.GetLastReplyCode(), 221);
        EXPECT_EQ(c.GetState(), SmtpState::kClosed);
        EXPECT_EQ(server.Received(), "QUIT\r\n");
    }
    // The QUIT that follows is itself refused: that sets the last error, but
    // the reply that made the connect fail stays readable.
    ScriptedServer server({Say("554 no\r\n"), Hear(), Say("500 what\r\n")});
    CSMTPConnection c;
    Quick(c);
    EXPECT_EQ(c.Connect("127.0.0.1", server.Port()), 0);
    EXPECT_EQ(c.GetLastError(), kSmtpErrCommandRefused);
    EXPECT_EQ(c.GetLastCommandResponse(), "554 no");
    EXPECT_FALSE(c.FailureIsTemporary());
    // A busy server's 421 is temporary, though it hangs up before the QUIT.
    ScriptedServer busy({Say("421 busy\r\n"), Hangup()});
    CSMTPConnection b;
    Quick(b);
    EXPECT_EQ(b.Connect("127.0.0.1", busy.Port()), 0);
    EXPECT_TRUE(b.FailureIsTemporary());
}

TEST(SmtpSession, SilentServerTimesOutAndKeepsThePartialText)
{
    ScriptedServer server({Say("220 hal"), Hear(), Pause(5000)});
    CSMTPConnection c;
    Quick(c, 300);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.Connect("127.0.0.1", server.Port()), 0);
    const long long elapsed = MsSince(start);
    // The greeting wait and the QUIT wait each give up after the time-out.
    EXPECT_GE(elapsed, 600);
    EXPECT_LT(elapsed, 3000);
    EXPECT_EQ(c.GetLastError(), kSmtpErrTimedOut);
    EXPECT_TRUE(c.FailureIsTemporary());
    EXPECT_EQ(c.GetLastCommandResponse(), "220 hal");
    EXPECT_EQ(server.Received(), "QUIT\r\n");
}

TEST(SmtpSession, TrickledRepliesOutlastTheTimeOut)
{
    // Each byte restarts the wait: 50 ms apart against a 400 ms time-out,
    // the greeting takes over a second and still counts.
    ScriptedServer server(
        {Trickle("220-first\r\n220 ready\r\n", 50), Hear(), Say("250 hi\r\n"), Hear(), Say("221 bye\r\n")});
    CSMTPConnection c;
    Quick(c, 400);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(c.Connect("127.0.0.1", server.Port()), 1) << c.GetLastError() << " " << c.GetLastCommandResponse();
    EXPECT_GT(MsSince(start), 1000);
    EXPECT_EQ(c.Disconnect(), 1);
}

TEST(SmtpSession, ReplyLinesOverTheBufferNeverComplete)
{
    {
        // 997 characters and the line end fill the buffer exactly: accepted.
        ScriptedServer server(Then({Say("220 " + std::string(993, 'a') + "\r\n"), Hear(), Say("250 hi\r\n")},
                                   {Hear(), Say("221 bye\r\n")}));
        CSMTPConnection c;
        Quick(c);
        EXPECT_EQ(c.Connect("127.0.0.1", server.Port()), 1) << c.GetLastError();
    }
    ScriptedServer server({Say("220 " + std::string(994, 'a') + "\r\n"), Hear(), Pause(5000)});
    CSMTPConnection c;
    Quick(c, 300);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.Connect("127.0.0.1", server.Port()), 0);
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_EQ(c.GetLastError(), kSmtpErrTimedOut);
    EXPECT_LE(c.GetLastCommandResponse().size(), CSMTPConnection::kReplyBufferSize - 1);
}

TEST(SmtpSession, RefusedRecipientsAreNamedAndTheOthersGetTheMail)
{
    // 251 (will forward) is an acceptance; the refused one is left out.
    ScriptedServer server(Then(kHeloOk, {Hear(), Say("250 ok\r\n"), Hear(), Say("250 ok\r\n"), Hear(),
                                         Say("550 no such user\r\n"), Hear(), Say("251 forwarded\r\n"), Hear(),
                                         Say("354 go\r\n"), Pause(100), Say("250 queued\r\n"), Hear(),
                                         Say("221 bye\r\n")}));
    CSMTPMessage m;
    FillMessage(m, 3);
    {
        CSMTPConnection c;
        Quick(c);
        ASSERT_EQ(c.Connect("127.0.0.1", server.Port()), 1);
        ASSERT_EQ(c.SendMail(m, false), 1) << c.GetLastCommandResponse();
        ASSERT_EQ(c.GetRefusedRecipients().size(), 1u);
        EXPECT_EQ(c.GetRefusedRecipients()[0].address, "r1@example.org");
        EXPECT_EQ(c.GetRefusedRecipients()[0].reply, "550 no such user");
        EXPECT_EQ(c.Disconnect(), 1);
    }
    const std::string got = server.Received();
    EXPECT_NE(got.find("\r\nRCPT TO:<r0@example.org>\r\nRCPT TO:<r1@example.org>\r\nRCPT TO:<r2@example.org>\r\n"
                       "DATA\r\n"),
              std::string::npos)
        << got;

    // Nobody accepted: nothing is sent, and the failure is temporary when any
    // refusal was (a greylisting server), final when all were final.
    for (const std::string first : {"451 4.7.1 try later", "553 no"}) {
        ScriptedServer none(Then(kHeloOk, {Hear(), Say("250 ok\r\n"), Hear(), Say(first + "\r\n"), Hear(),
                                           Say("550 5.1.1 unknown\r\n"), Hear(), Say("221 bye\r\n")}));
        CSMTPConnection c;
        SendRefused(c, none.Port(), 2);
        EXPECT_EQ(c.FailureIsTemporary(), first[0] == '4');
        EXPECT_EQ(c.GetFailureReason(), "the mail server refused every recipient: r0@example.org (" + first +
                                            "), r1@example.org (550 5.1.1 unknown)");
        c.Disconnect();
        EXPECT_EQ(none.Received().find("DATA"), std::string::npos);
    }
}

TEST(SmtpSession, RefusedSenderAndRefusedEndOfDataAreCommandErrors)
{
    {
        ScriptedServer server(Then(kHeloOk, {Hear(), Say("451 try later\r\n"), Hear(), Say("221 bye\r\n")}));
        CSMTPConnection c;
        SendRefused(c, server.Port(), 1);
        EXPECT_EQ(c.GetLastCommandResponse(), "451 try later");
        EXPECT_TRUE(c.FailureIsTemporary());
    }
    ScriptedServer server(Then(kHeloOk, {Hear(), Say("250 ok\r\n"), Hear(), Say("250 ok\r\n"), Hear(),
                                         Say("354 go\r\n"), Pause(100), Say("554 5.6.0 rejected\r\n"),
                                         Hear(), Say("221 bye\r\n")}));
    CSMTPConnection c;
    SendRefused(c, server.Port(), 1);
    EXPECT_EQ(c.GetLastCommandResponse(), "554 5.6.0 rejected");
    EXPECT_FALSE(c.FailureIsTemporary());
}

TEST(SmtpSession, LogonAfterAMultiLineEhloSplitAcrossPackets)
{
    ScriptedServer server({Say("220 ready\r\n"), Hear(), Say("250-peer\r\n250-SIZE"), Pause(60),
                           Say(" 1000\r\n250-AUTH LOGIN\r\n"), Pause(60), Say("250 HELP\r\n"), Hear(),
                           Say("334 VXNlciBOYW1lAA==\r\n"), Hear(), Say("334 UGFzc3dvcmQA\r\n"), Hear(),
                           Say("235 ok\r\n"), Hear(), Say("221 bye\r\n")});
    {
        CSMTPConnection c;
        Quick(c, 1000);
        ASSERT_EQ(c.ConnectWithLogon("127.0.0.1", server.Port(), "alice", "s3cret!"), 1)
            << c.GetLastError() << " " << c.GetLastCommandResponse();
        EXPECT_TRUE(c.LogonSentInClear());
    }
    EXPECT_EQ(server.Received(), "EHLO " + HostName() + "\r\nAUTH LOGIN\r\n" + Base64Encode("alice") + "\r\n" +
                                     Base64Encode("s3cret!") + "\r\nQUIT\r\n");
}

TEST(SmtpSession, LeftoverEhloLinesAreSkippedWhileAwaitingTheChallenge)
{
    // A server that sends more 250 lines after its EHLO reply has ended.
    ScriptedServer server({Say("220 ready\r\n"), Hear(), Say("250 peer\r\n"), Pause(60),
                           Say("250-AUTH LOGIN\r\n250 HELP\r\n"), Hear(), Say("334 x\r\n"), Hear(),
                           Say("334 y\r\n"), Hear(), Say("235 ok\r\n"), Hear(), Say("221 bye\r\n")});
    CSMTPConnection c;
    Quick(c, 1000);
    ASSERT_EQ(c.ConnectWithLogon("127.0.0.1", server.Port(), "u", "p"), 1) << c.GetLastCommandResponse();
}

TEST(SmtpSession, RefusedPasswordFailsCleanlyWithQuit)
{
    ScriptedServer server({Say("220 ready\r\n"), Hear(), Say("250 peer\r\n"), Hear(), Say("334 a\r\n"), Hear(),
                           Say("334 b\r\n"), Hear(), Say("535 5.7.8 bad credentials\r\n"), Hear(),
                           Say("221 bye\r\n")});
    CSMTPConnection c;
    Quick(c);
    EXPECT_EQ(c.ConnectWithLogon("127.0.0.1", server.Port(), "u", "wrong"), 0);
    EXPECT_EQ(c.GetLastError(), kSmtpErrUnexpectedReply);
    EXPECT_EQ(c.GetLastCommandResponse(), "535 5.7.8 bad credentials");
    EXPECT_FALSE(c.IsConnected());
    EXPECT_NE(server.Received().find(Base64Encode("wrong") + "\r\nQUIT\r\n"), std::string::npos);
}

TEST(SmtpSession, ReplyCodeIsTheFirstThreeCharactersOnly)
{
    EXPECT_EQ(ParseReplyCode("2501 odd"), 250);
    EXPECT_EQ(ParseReplyCode("25"), 0);
    EXPECT_EQ(ParseReplyCode("2x0 ok"), 0);
    EXPECT_TRUE(IsFinalReplyLine("2501"));
    EXPECT_TRUE(IsFinalReplyLine("250"));
    EXPECT_FALSE(IsFinalReplyLine("250-more"));
    {
        ScriptedServer server({Say("220 ready\r\n"), Hear(), Say("2501 fine\r\n"), Hear(), Say("221 bye\r\n")});
        CSMTPConnection c;
        Quick(c);
        EXPECT_EQ(c.Connect("127.0.0.1", server.Port()), 1);
    }
    ScriptedServer server({Say("220 ready\r\n"), Hear(), Say("25\r\n"), Hear(), Say("221 bye\r\n")});
    CSMTPConnection c;
    Quick(c);
    EXPECT_EQ(c.Connect("127.0.0.1", server.Port()), 0);
    EXPECT_EQ(c.GetLastError(), kSmtpErrUnexpectedReply);
    EXPECT_EQ(c.GetLastCommandResponse(), "25");
}

TEST(SmtpSession, QuitAnsweredWithAnotherCode)
{
    ScriptedServer server(Then(kHeloOk, {Hear(), Say("250 but not bye\r\n")}));
    CSMTPConnection c;
    Quick(c);
    ASSERT_EQ(c.Connect("127.0.0.1", server.Port()), 1);
    EXPECT_EQ(c.Disconnect(), 0);
    EXPECT_EQ(c.GetLastError(), kSmtpErrCommandRefused);
    EXPECT_EQ(c.GetLastCommandResponse(), "250 but not bye");
    EXPECT_EQ(c.GetState(), SmtpState::kClosed);
    // A second Disconnect has nothing left to do.
    EXPECT_EQ(c.Disconnect(), 0);
}

TEST(SmtpSession, ConnectionClosedInTheMiddleOfAReplyFailsAtOnce)
{
    ScriptedServer server(Then(kHeloOk, {Hear(), Say("250-part of"), Hangup()}));
    CSMTPMessage m;
    FillMessage(m, 1);
    CSMTPConnection c;
    Quick(c, 5000);
    ASSERT_EQ(c.Connect("127.0.0.1", server.Port()), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.SendMail(m, false), 0);
    EXPECT_EQ(c.GetLastError(), ECONNRESET);
    EXPECT_EQ(c.GetLastCommandResponse(), "250-part of");
    EXPECT_EQ(c.GetState(), SmtpState::kBroken);
    // No QUIT to a peer that is gone, and no waiting for the time-out.
    EXPECT_EQ(c.Disconnect(), 0);
    EXPECT_LT(MsSince(start), 2000);
    EXPECT_EQ(c.SendMail(m, false), 0);
    EXPECT_EQ(c.GetLastError(), ENOTCONN);
}

TEST(SmtpSession, UnreachableOrUnresolvableServer)
{
    {
        // A label over 63 characters is refused by the resolver library
        // itself, so no query leaves the machine.
        CSMTPConnection c;
        EXPECT_EQ(c.Connect(std::string(64, 'x') + ".invalid", 25), 0);
        EXPECT_EQ(c.GetLastError(), kSmtpErrInvalidArgument);
        EXPECT_FALSE(c.FailureIsTemporary());
        EXPECT_EQ(c.GetState(), SmtpState::kClosed);
    }
    CSMTPConnection c;
    EXPECT_EQ(c.Connect("127.0.0.1", FreePort(false)), 0);
    EXPECT_EQ(c.GetLastError(), ECONNREFUSED);
    EXPECT_TRUE(c.FailureIsTemporary());
    EXPECT_EQ(c.GetLastCommandResponse(), "");
}

TEST(SmtpSession, LineBreaksInEnvelopeAddressesCannotAddCommands)
{
    ScriptedServer server(Then(kHeloOk, {Hear(), Say("250 ok\r\n"), Hear(), Say("550 stop\r\n"), Hear(),
                                         Say("221 bye\r\n")}));
    CSMTPMessage m;
    m.from = CSMTPAddress("a@example.org>\r\nRCPT TO:<victim@example.org");
    m.AddRecipient(CSMTPAddress("b@example.org\r\nDATA"));
    {
        CSMTPConnection c;
        Quick(c);
        ASSERT_EQ(c.Connect("127.0.0.1", server.Port()), 1);
        EXPECT_EQ(c.SendMail(m, false), 0);
    }
    const std::string got = server.Received();
    EXPECT_NE(got.find("\r\nMAIL FROM:<a@example.org>RCPT TO:<victim@example.org>\r\n"
                       "RCPT TO:<b@example.orgDATA>\r\nQUIT\r\n"),
              std::string::npos)
        << got;
}

TEST(SmtpSession, OverlongCredentialsAreRefusedBeforeAuthIsSent)
{
    // A refusal after the 334 would leave the server reading QUIT as Base64.
    ScriptedServer server({Say("220 ready\r\n"), Hear(), Say("250 peer\r\n"), Hear(), Say("221 bye\r\n")});
    CSMTPConnection c;
    Quick(c);
    EXPECT_EQ(c.ConnectWithLogon("127.0.0.1", server.Port(), "u", std::string(800, 'p')), 0);
    EXPECT_EQ(c.GetLastError(), kSmtpErrInvalidArgument);
    EXPECT_FALSE(c.LogonSentInClear());
    EXPECT_EQ(server.Received(), "EHLO " + HostName() + "\r\nQUIT\r\n");
}
