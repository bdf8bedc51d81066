// Mail over TLS against aiosmtpd (scripts/peers/smtpd.py) with a CA and server
// certificates made by the test: what arrives, in what order the server heard
// the commands, and that every failure ends in time, says why, and lets no
// logon and no envelope reach the server.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sys/socket.h>
#include <unistd.h>

#include "mail/smtp_connection.h"
#include "tests/mail/scripted_server.h"
#include "tests/support/peers.h"
#include "tests/support/pki.h"
#include "tests/support/process.h"

using namespace varnell;
using namespace varnell::test;
using namespace std::chrono_literals;

namespace {

constexpr char kUser[] = "alice";
constexpr char kPassword[] = "s3cret pass";

class MailTls : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        pki_ = new TempDir();
        ca_ = MakeCa(pki_->Path(), "ca");
        otherCa_ = MakeCa(pki_->Path(), "other-ca");
        byAddress_ = MakeServerCert(pki_->Path(), "by-address", ca_, {"DNS:mail.varnell.test", "IP:127.0.0.1"});
        byName_ = MakeServerCert(pki_->Path(), "by-name", ca_, {"DNS:localhost"});
        expired_ = MakeServerCert(pki_->Path(), "expired", ca_, {"IP:127.0.0.1"}, true);
    }
    static void TearDownTestSuite() { delete pki_; }

    struct Outcome {
        int ok = 0;
        int error = 0;
        std::string reason;
        std::chrono::milliseconds took{};
    };

    // One logon session with one mail, as the mail worker runs it.
    static Outcome Deliver(const std::string& server, std::uint16_t port, SmtpSecurity security,
                           const std::string& caFile, std::uint32_t timeoutMs = 4000)
    {
        CSMTPConnection c;
        c.security = security;
        c.caFile = caFile;
        c.replyTimeoutMs = timeoutMs;
        const auto start = std::chrono::steady_clock::now();
        Outcome o;
        o.ok = c.ConnectWithLogon(server, port, kUser, kPassword);
        if (o.ok) {
            CSMTPMessage m;
            m.from = CSMTPAddress("monitor@example.org", "Monitor");
            m.AddRecipient(CSMTPAddress("ops@example.org", "ops@example.org"));
            m.subject = "www is down";
            m.SetBodyText("www is down\r\n.dot line\r\nend");
            o.ok = c.SendMail(m, false) && c.Disconnect();
        }
        o.error = c.GetLastError();
        o.reason = c.GetFailureReason();
        o.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        return o;
    }

    static void ExpectArrivedWhole(const SmtpPeer& peer)
    {
        const std::string stored = peer.Message(1);
        EXPECT_NE(stored.find("auth: alice\n"), std::string::npos) << stored;
        EXPECT_NE(stored.find("\r\nSubject: www is down\r\n"), std::string::npos) << stored;
        EXPECT_NE(stored.find("\r\n\r\nwww is down\r\n.dot line\r\nend\r\n"), std::string::npos) << stored;
        EXPECT_EQ(peer.Message(2), "");
    }

    static inline TempDir* pki_ = nullptr;
    static inline CertFiles ca_, otherCa_, byAddress_, byName_, expired_;
};

bool NoLogonNoEnvelope(const std::string& events)
{
    return events.find("AUTH") == std::string::npos && events.find("MAIL") == std::string::npos;
}

} // namespace

TEST(EhloCapabilities, KeywordsAndMechanismsAreReadFromEveryLine)
{
    const std::string reply = "250-peer.test\r\n250-starttls\r\n250-AUTH=LOGIN\r\n250-AUTH CRAM-MD5 plain\r\n250 HELP";
    EXPECT_TRUE(EhloOffers(reply, "STARTTLS"));
    EXPECT_TRUE(EhloOffersAuth(reply, "PLAIN"));
    EXPECT_TRUE(EhloOffersAuth(reply, "LOGIN")); // the older AUTH= form
    EXPECT_FALSE(EhloOffersAuth(reply, "XOAUTH2"));
    // A keyword inside another line's text or the greeting does not count.
    EXPECT_FALSE(EhloOffers("250-peer.test says STARTTLS\r\n250 8BITMIME", "STARTTLS"));
    EXPECT_FALSE(EhloOffersAuth("250-AUTHX PLAIN\r\n250 SIZE", "PLAIN"));
    EXPECT_FALSE(EhloOffers("", "STARTTLS"));
    EXPECT_FALSE(EhloOffers("250", "STARTTLS"));
}

TEST_F(MailTls, StartTlsRefusesEveryServerItCannotVerifyThenDeliversAfterTheHandshake)
{
    SmtpPeer peer;
    ASSERT_TRUE(peer.Start({kUser, kPassword, "--starttls", byAddress_.cert, byAddress_.key}));

    const struct {
        const char* what;
        std::string server, caFile, reason;
    } refused[] = {
        {"untrusted CA", "127.0.0.1", otherCa_.cert, "unable to get local issuer certificate"},
        {"system store only", "127.0.0.1", "", "unable to get local issuer certificate"},
        {"wrong host name", "localhost", ca_.cert, "hostname mismatch"},
        {"unreadable CA file", "127.0.0.1", pki_->File("missing.pem"), "cannot be read"},
        {"CA file without a certificate", "127.0.0.1", byAddress_.key, "holds no usable certificate"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.what);
        const Outcome o = Deliver(r.server, peer.Port(), SmtpSecurity::kStartTls, r.caFile);
        EXPECT_EQ(o.ok, 0);
        EXPECT_EQ(o.error, kSmtpErrTls);
        EXPECT_NE(o.reason.find(r.reason), std::string::npos) << o.reason;
        EXPECT_LT(o.took, 3000ms);
    }
    EXPECT_TRUE(NoLogonNoEnvelope(peer.Events())) << peer.Events();
    EXPECT_EQ(peer.Message(1), "");

    const Outcome o = Deliver("127.0.0.1", peer.Port(), SmtpSecurity::kStartTls, ca_.cert);
    ASSERT_EQ(o.ok, 1) << o.error << " " << o.reason;
    ExpectArrivedWhole(peer);
    // The session as the server heard it: capabilities asked again after the
    // handshake, and the logon only then.
    const std::string events = peer.Events();
    const std::string session = "STARTTLS\nEHLO " + [] {
        char host[100] = {};
        gethostname(host, sizeof host - 1);
        return std::string(host);
    }() + "\nAUTH LOGIN\nAUTH LOGIN accepted\nMAIL\nQUIT\n";
    ASSERT_GE(events.size(), session.size());
    EXPECT_EQ(events.substr(events.size() - session.size()), session) << events;
}

TEST_F(MailTls, ImplicitTlsChecksTheNameAndLogsOnWithPlainWhenThatIsAllOnOffer)
{
    SmtpPeer peer;
    ASSERT_TRUE(peer.Start({kUser, kPassword, "--implicit", byName_.cert, byName_.key, "--only-plain"}));
    const Outcome o = Deliver("localhost", peer.Port(), SmtpSecurity::kImplicitTls, ca_.cert);
    ASSERT_EQ(o.ok, 1) << o.error << " " << o.reason;
    ExpectArrivedWhole(peer);
    EXPECT_NE(peer.Events().find("AUTH PLAIN\nAUTH PLAIN accepted\nMAIL\n"), std::string::npos) << peer.Events();
    // The address is checked as an address: this certificate names no address.
    const Outcome byIp = Deliver("127.0.0.1", peer.Port(), SmtpSecurity::kImplicitTls, ca_.cert);
    EXPECT_EQ(byIp.error, kSmtpErrTls);
    EXPECT_NE(byIp.reason.find("IP address mismatch"), std::string::npos) << byIp.reason;
}

TEST_F(MailTls, ExpiredCertificateAndMissingStartTlsEndBeforeAnyLogon)
{
    SmtpPeer expired;
    ASSERT_TRUE(expired.Start({kUser, kPassword, "--starttls", expired_.cert, expired_.key}));
    Outcome o = Deliver("127.0.0.1", expired.Port(), SmtpSecurity::kStartTls, ca_.cert);
    EXPECT_EQ(o.error, kSmtpErrTls);
    EXPECT_NE(o.reason.find("certificate has expired"), std::string::npos) << o.reason;
    EXPECT_TRUE(NoLogonNoEnvelope(expired.Events())) << expired.Events();

    SmtpPeer plainOnly;
    ASSERT_TRUE(plainOnly.Start({kUser, kPassword}));
    o = Deliver("127.0.0.1", plainOnly.Port(), SmtpSecurity::kStartTls, ca_.cert);
    EXPECT_EQ(o.ok, 0);
    EXPECT_EQ(o.error, kSmtpErrNoStartTls);
    EXPECT_EQ(o.reason, "the server does not offer STARTTLS");
    // The server offered a logon in the clear; it was not taken.
    EXPECT_TRUE(NoLogonNoEnvelope(plainOnly.Events())) << plainOnly.Events();
}

TEST_F(MailTls, SilentHandshakeEndsInTheTimeOutOrAtTheStopRequest)
{
    // Implicit TLS: the server accepts and never answers the client's hello.
    {
        ScriptedServer silent({Pause(10000)});
        const Outcome o = Deliver("127.0.0.1", silent.Port(), SmtpSecurity::kImplicitTls, ca_.cert, 700);
        EXPECT_EQ(o.error, kSmtpErrTls);
        EXPECT_NE(o.reason.find("did not finish in time"), std::string::npos) << o.reason;
        EXPECT_GE(o.took, 650ms);
        EXPECT_LT(o.took, 2500ms);
    }
    // STARTTLS: the server agrees, then goes silent; nothing but the hello follows.
    {
        ScriptedServer silent({Say("220 ready\r\n"), Hear(), Say("250-peer\r\n250 STARTTLS\r\n"), Hear(),
                               Say("220 go ahead\r\n"), Pause(10000)});
        CSMTPConnection c;
        c.security = SmtpSecurity::kStartTls;
        c.caFile = ca_.cert;
        const auto start = std::chrono::steady_clock::now();
        c.stopRequested = [&] { return std::chrono::steady_clock::now() - start > 300ms; };
        EXPECT_EQ(c.ConnectWithLogon("127.0.0.1", silent.Port(), kUser, kPassword), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
        EXPECT_EQ(c.GetLastError(), kSmtpErrStopped);
        const std::string heard = silent.Received();
        EXPECT_EQ(heard.find("AUTH"), std::string::npos);
        EXPECT_EQ(heard.find("MAIL"), std::string::npos);
        EXPECT_EQ(heard.rfind("EHLO ", 0), 0u) << heard;
    }
}

TEST_F(MailTls, HandshakeFailuresKeepOpenSslsReason)
{
    // Implicit TLS chosen against a port that speaks SMTP in the clear.
    SmtpPeer plain;
    ASSERT_TRUE(plain.Start());
    Outcome o = Deliver("127.0.0.1", plain.Port(), SmtpSecurity::kImplicitTls, ca_.cert);
    EXPECT_EQ(o.error, kSmtpErrTls);
    EXPECT_EQ(o.reason, "the TLS handshake failed: wrong version number");

    // A server that offers nothing newer than TLS 1.1.
    const std::uint16_t port = FreePort(false);
    TempDir log;
    ChildProcess old;
    ASSERT_TRUE(old.Start({"openssl", "s_server", "-quiet", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
                           byName_.cert, "-key", byName_.key, "-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"},
                          {}, "", log.File("err")));
    if (!WaitFor([&] { return !old.Running() || TcpPortOpen(port); }, 10s) || !old.Running())
        GTEST_SKIP() << "openssl s_server cannot offer TLS 1.1 here: " << ReadFile(log.File("err"));
    o = Deliver("localhost", port, SmtpSecurity::kImplicitTls, ca_.cert);
    EXPECT_EQ(o.error, kSmtpErrTls);
    EXPECT_EQ(o.reason, "the TLS handshake failed: tlsv1 alert protocol version");
}

TEST(MailTlsNames, ANameOpenSslCannotTakeEndsTheSessionBeforeTheHandshake)
{
    // A NUL inside the name, and a name too long for SNI: either would leave
    // the certificate's name unchecked or the server unnamed.
    for (const std::string& name : {std::string("localhost\0evil.example", 22), std::string(300, 'a')}) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
        TlsChannel tls;
        std::string reason;
        EXPECT_FALSE(tls.Start(pair[0], name, "", 2000, {}, reason));
        EXPECT_EQ(reason, "the server name cannot be checked against its certificate");
        EXPECT_FALSE(tls.Active());
        char byte = 0;
        EXPECT_EQ(recv(pair[1], &byte, 1, 0), -1) << "a client hello went out";
        close(pair[0]);
        close(pair[1]);
    }
}
