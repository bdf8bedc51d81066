// Deliveries to a real SMTP server (scripts/peers/smtpd.py on aiosmtpd) on a
// free loopback port: what it stores is what a mail system would receive.
#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include "mail/smtp_connection.h"
#include "tests/support/process.h"

using namespace varnell;
using namespace varnell::test;
using std::chrono::milliseconds;

namespace {

constexpr char kUser[] = "alice";
constexpr char kPassword[] = "pa:ss word";

struct StoredMail {
    std::vector<std::string> meta; // "helo: ...", "auth: ...", "from: ...", "to: ..."
    std::string content;           // header block and body as received after DATA
};

StoredMail ReadStored(const std::string& path)
{
    const std::string all = ReadFile(path);
    StoredMail m;
    const std::size_t split = all.find("\n\n");
    if (split == std::string::npos)
        return m;
    std::size_t start = 0;
    for (std::size_t end; (end = all.find('\n', start)) != std::string::npos && start < split; start = end + 1)
        m.meta.push_back(all.substr(start, end - start));
    m.content = all.substr(split + 2);
    return m;
}

std::string HostName()
{
    char buf[100] = {};
    gethostname(buf, sizeof(buf) - 1);
    return buf;
}

class AiosmtpdPeer : public ::testing::Test {
protected:
    void SetUp() override
    {
        port_ = FreePort(false);
        // Debian's own interpreter: another python3 earlier on PATH may lack aiosmtpd.
        ASSERT_TRUE(server_.Start({"/usr/bin/python3", SourceDir() + "/scripts/peers/smtpd.py", std::to_string(port_),
                                   dir_.Path(), kUser, kPassword},
                                  {}, "", dir_.File("smtpd.err")));
        ASSERT_TRUE(WaitFor([&] { return TcpPortOpen(port_); }, milliseconds(15000)))
            << "smtpd.py did not start: " << ReadFile(dir_.File("smtpd.err"));
    }

    void Send(CSMTPConnection& c, const std::string& text, bool highPriority, int recipients = 3)
    {
        CSMTPMessage m;
        m.from = CSMTPAddress("monitor@example.org", "DNS Monitor");
        // Recipients are filled as the mail worker fills them: name and address alike.
        for (int i = 0; i < recipients; ++i) {
            const std::string r = "ops" + std::to_string(i) + "@example.org";
            m.AddRecipient(CSMTPAddress(r, r));
        }
        m.subject = text;
        m.SetBodyText(text);
        ASSERT_EQ(c.SendMail(m, highPriority), 1) << c.GetLastError() << " " << c.GetLastCommandResponse();
        EXPECT_EQ(c.Disconnect(), 1);
    }

    std::string Events() { return ReadFile(dir_.File("events.log")); }

    TempDir dir_;
    std::uint16_t port_ = 0;
    ChildProcess server_;
};

} // namespace

TEST_F(AiosmtpdPeer, HeloSessionDeliversOneMessageToEveryRecipient)
{
    CSMTPConnection c;
    ASSERT_EQ(c.Connect("127.0.0.1", port_), 1) << c.GetLastError() << " " << c.GetLastCommandResponse();
    Send(c, "www.example.org is down", false);

    const StoredMail m = ReadStored(dir_.File("message-1.txt"));
    EXPECT_EQ(m.meta, (std::vector<std::string>{"helo: " + HostName(), "auth: -", "from: monitor@example.org",
                                                "to: ops0@example.org", "to: ops1@example.org",
                                                "to: ops2@example.org"}));
    EXPECT_EQ(m.content.rfind("From: DNS Monitor <monitor@example.org>\r\n"
                              "To: ops0@example.org <ops0@example.org>,ops1@example.org <ops1@example.org>,"
                              "ops2@example.org <ops2@example.org>\r\n"
                              "Subject: www.example.org is down\r\nDate: ",
                              0),
              0u)
        << m.content;
    EXPECT_NE(m.content.find("\r\nX-Mailer: Varnell Mailer 1.21\r\n\r\nwww.example.org is down"), std::string::npos);
    EXPECT_EQ(m.content.find("Priority"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir_.File("message-2.txt")));
    // No logon without being asked, though the server offers one.
    EXPECT_EQ(Events(), "HELO " + HostName() + "\nMAIL\nQUIT\n");
}

TEST_F(AiosmtpdPeer, LogonSessionDeliversAHighPriorityMessage)
{
    CSMTPConnection c;
    ASSERT_EQ(c.ConnectWithLogon("127.0.0.1", port_, kUser, kPassword), 1)
        << c.GetLastError() << " " << c.GetLastCommandResponse();
    Send(c, ".lead dot\r\n.\r\nthe ip of www is changed to 10.0.0.1; ", true, 1);

    const StoredMail m = ReadStored(dir_.File("message-1.txt"));
    ASSERT_EQ(m.meta.size(), 4u);
    EXPECT_EQ(m.meta[1], std::string("auth: ") + kUser);
    EXPECT_NE(m.content.find("\r\nX-Priority: 1\r\nX-MSMail-Priority: High\r\nX-Mailer: Varnell Mailer 1.21\r\n"),
              std::string::npos);
    // The server removes the dot stuffing again: the body arrives as written.
    EXPECT_NE(m.content.find("\r\n\r\n.lead dot\r\n.\r\nthe ip of www is changed to 10.0.0.1; \r\n"),
              std::string::npos)
        << m.content;
    EXPECT_EQ(Events(), "EHLO " + HostName() + "\nAUTH LOGIN\nAUTH LOGIN accepted\nMAIL\nQUIT\n");
}

TEST_F(AiosmtpdPeer, WrongPasswordFailsCleanly)
{
    CSMTPConnection c;
    c.replyTimeoutMs = 5000;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.ConnectWithLogon("127.0.0.1", port_, kUser, "guess"), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(4000));
    EXPECT_EQ(c.GetLastError(), kSmtpErrUnexpectedReply);
    EXPECT_EQ(c.GetLastCommandResponse().substr(0, 4), "535 ");
    EXPECT_FALSE(c.IsConnected());
    EXPECT_EQ(Events(), "EHLO " + HostName() + "\nAUTH LOGIN\nAUTH LOGIN refused\nQUIT\n");
    EXPECT_FALSE(std::filesystem::exists(dir_.File("message-1.txt")));
}

TEST_F(AiosmtpdPeer, ChangeEventWithManyAddressesIsAccepted)
{
    // 256 addresses make a subject and body line of about 4 KB; the server
    // refuses lines over 1000 octets unless they are folded and broken.
    std::string text = "the ip of www.example.org is changed to ";
    for (int i = 0; i < 256; ++i)
        text += "192.168.100." + std::to_string(i) + "; ";
    CSMTPConnection c;
    ASSERT_EQ(c.Connect("127.0.0.1", port_), 1);
    Send(c, text, false, 1);
    const StoredMail m = ReadStored(dir_.File("message-1.txt"));
    EXPECT_NE(m.content.find("Subject: the ip of www.example.org is changed to 192.168.100.0; "), std::string::npos);
    EXPECT_NE(m.content.find("192.168.100.255; "), std::string::npos);
}
