#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <stdexcept>

#include "mail/smtp_message.h"

using namespace varnell;

namespace {

// The header lines, without the final empty line; checks the CRLF endings.
std::vector<std::string> HeaderLines(const std::string& header)
{
    EXPECT_GE(header.size(), 2u);
    EXPECT_EQ(header.substr(header.size() - 4), "\r\n\r\n");
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = header.find("\r\n", start)) != std::string::npos; start = end + 2) {
        if (end == start)
            break;
        lines.push_back(header.substr(start, end - start));
    }
    return lines;
}

} // namespace

TEST(SmtpMessage, HeaderCarriesAddressesSubjectDateAndMailer)
{
    CSMTPMessage m;
    m.from = CSMTPAddress("alert@example.org", "Varnell Monitor");
    EXPECT_EQ(m.AddRecipient(CSMTPAddress("a@example.org")), 0);
    EXPECT_EQ(m.AddRecipient(CSMTPAddress("b@example.org")), 1);
    m.subject = "www is down";
    const std::vector<std::string> lines = HeaderLines(m.GetHeader(false));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "From: Varnell Monitor <alert@example.org>");
    EXPECT_EQ(lines[1], "To: a@example.org,b@example.org");
    EXPECT_EQ(lines[2], "Subject: www is down");
    EXPECT_TRUE(std::regex_match(lines[3], std::regex("Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
                                                      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                                      "[0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [+-][0-9]{4}")))
        << lines[3];
    EXPECT_EQ(lines[4], "X-Mailer: Varnell Mailer 1.21");
}

TEST(SmtpMessage, RecipientNamedByItsOwnAddressAndIndexChecks)
{
    CSMTPMessage m;
    m.AddRecipient(CSMTPAddress("ops@example.org", "ops@example.org"));
    EXPECT_EQ(m.GetNumberOfRecipients(), 1);
    EXPECT_EQ(HeaderLines(m.GetHeader(false))[1], "To: ops@example.org <ops@example.org>");
    EXPECT_EQ(m.GetRecipient(0).emailAddress, "ops@example.org");
    EXPECT_THROW(m.GetRecipient(1), std::out_of_range);
    EXPECT_THROW(m.GetRecipient(-1), std::out_of_range);
}

TEST(SmtpMessage, HighPriorityAddsExactlyTwoLinesBeforeTheMailer)
{
    CSMTPMessage m;
    m.AddRecipient(CSMTPAddress("a@example.org"));
    const std::vector<std::string> normal = HeaderLines(m.GetHeader(false));
    const std::vector<std::string> high = HeaderLines(m.GetHeader(true));
    ASSERT_EQ(high.size(), normal.size() + 2);
    EXPECT_EQ(high[3].substr(0, 6), "Date: ");
    EXPECT_EQ(high[4], "X-Priority: 1");
    EXPECT_EQ(high[5], "X-MSMail-Priority: High");
    EXPECT_EQ(high[6], "X-Mailer: Varnell Mailer 1.21");
    // Nothing of the kind without the flag, and no optional lines by default.
    for (const std::string& l : normal)
        EXPECT_TRUE(l.find("Priority") == std::string::npos && l.find("Reply-To") == std::string::npos &&
                    l.find("MIME") == std::string::npos)
            << l;
}

TEST(SmtpMessage, ReplyToAndAttachmentsAddTheirLinesAndMultipartLayout)
{
    CSMTPMessage m;
    m.AddRecipient(CSMTPAddress("a@example.org"));
    m.replyTo = CSMTPAddress("desk@example.org", "Desk");
    m.SetBodyText("hello");
    CSMTPAttachment att;
    att.SetTitle("report.txt");
    att.SetContent(std::span(reinterpret_cast<const std::uint8_t*>("foobar"), 6));
    m.AddAttachment(&att);
    const std::string header = m.GetHeader(false);
    const std::string mime = "MIME-Version: 1.0\r\nContent-type: multipart/mixed; boundary=\"#BOUNDARY#\"\r\n";
    EXPECT_EQ(mime.size(), 73u);
    EXPECT_NE(header.find("X-Mailer: Varnell Mailer 1.21\r\nReply-To: Desk <desk@example.org>\r\n" + mime + "\r\n"),
              std::string::npos)
        << header;
    EXPECT_EQ(m.GetContent(),
              "\r\n--#BOUNDARY#\r\nContent-Type: text/plain; charset=us-ascii\r\n"
              "Content-Transfer-Encoding: quoted-printable\r\n\r\nhello"
              "\r\n\r\n--#BOUNDARY#\r\nContent-Type: application/octet-stream; name=report.txt\r\n"
              "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=report.txt\r\n\r\n"
              "Zm9vYmFy\r\n--#BOUNDARY#--");
}

TEST(SmtpMessage, LineBreaksInHeaderValuesCannotAddHeaderLines)
{
    CSMTPMessage m;
    m.from = CSMTPAddress("a@example.org\r\nBcc: victim@example.org", "Name\nX-Evil: 1");
    m.AddRecipient(CSMTPAddress("b@example.org\r", "B\r\nCc: c@example.org"));
    m.subject = "item\r\nBcc: victim@example.org\r\n\r\nforged body is down";
    m.replyTo = CSMTPAddress("r@example.org\n", "");
    const std::vector<std::string> lines = HeaderLines(m.GetHeader(false));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "From: NameX-Evil: 1 <a@example.orgBcc: victim@example.org>");
    EXPECT_EQ(lines[1], "To: BCc: c@example.org <b@example.org>");
    EXPECT_EQ(lines[2], "Subject: itemBcc: victim@example.orgforged body is down");
    EXPECT_EQ(lines[5], "Reply-To: r@example.org");
}

TEST(SmtpMessage, OverlongHeaderLinesAreFoldedAtBlanks)
{
    CSMTPMessage m;
    std::string subject = "the ip of www.example.org is changed to ";
    for (int i = 0; i < 200; ++i)
        subject += "192.168." + std::to_string(i / 250) + "." + std::to_string(i % 250) + "; ";
    m.subject = subject;
    const std::string header = m.GetHeader(false);
    std::string unfolded;
    std::size_t start = 0;
    for (std::size_t end; (end = header.find("\r\n", start)) != std::string::npos; start = end + 2) {
        EXPECT_LE(end - start, kMaxMailLine);
        const std::string line = header.substr(start, end - start);
        if (line.rfind("Subject: ", 0) == 0)
            unfolded = line;
        else if (!line.empty() && line[0] == ' ' && !unfolded.empty())
            unfolded += line; // unfolding removes only the CRLF
        else if (!unfolded.empty())
            break;
    }
    EXPECT_EQ(unfolded, "Subject: " + subject);
}

TEST(SmtpMessage, BodyLinesEndInCrLfAndAreDotStuffed)
{
    // CR LF, a bare CR and a bare LF each end a line.
    CSMTPMessage m;
    m.SetBodyText(".first\r\n.second\r..third\nplain.line\n\n.");
    EXPECT_EQ(m.GetBodyText(), "..first\r\n..second\r\n...third\r\nplain.line\r\n\r\n..");
    // Without attachments the content is the body alone.
    EXPECT_EQ(m.GetContent(), m.GetBodyText());
    // A lone end-of-data marker inside the text cannot end the DATA phase
    // early, whatever breaks surround it.
    m.SetBodyText("a\r\n.\r\nb");
    EXPECT_EQ(m.GetBodyText(), "a\r\n..\r\nb");
    m.SetBodyText("a\r.\rb\n.\n");
    EXPECT_EQ(m.GetBodyText(), "a\r\n..\r\nb\r\n..\r\n");
    m.SetBodyText("");
    EXPECT_EQ(m.GetBodyText(), "");
}

TEST(SmtpMessage, OverlongBodyLinesAreBrokenAndStayStuffed)
{
    // A change event naming many addresses is one long line; servers refuse
    // lines over 998 characters.
    std::string text = "the ip of x is changed to ";
    for (int i = 0; i < 256; ++i)
        text += "10.0." + std::to_string(i) + ".1; ";
    std::string unbroken(2500, 'x');
    unbroken[997] = '.';
    CSMTPMessage m;
    m.SetBodyText(text + "\r\n" + unbroken);
    const std::string& body = m.GetBodyText();
    std::size_t start = 0;
    int lines = 0;
    for (;;) {
        std::size_t end = body.find("\r\n", start);
        const std::string line = body.substr(start, end == std::string::npos ? std::string::npos : end - start);
        EXPECT_LE(line.size(), kMaxMailLine);
        // The hard break put the dot at a line start: it was doubled.
        if (!line.empty() && line[0] == '.') {
            EXPECT_EQ(line.substr(0, 2), "..");
        }
        ++lines;
        if (end == std::string::npos)
            break;
        start = end + 2;
    }
    EXPECT_GE(lines, 5);
    // Blanks became the breaks, so the addresses themselves are intact.
    EXPECT_NE(body.find("10.0.255.1;"), std::string::npos);
}

TEST(SmtpMessage, DateIsRfc5322WithANumericZone)
{
    const char* oldTz = std::getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    setenv("TZ", "CET-1CEST", 1);
    tzset();
    // 2026-12-08 02:16:44 UTC is a Tuesday; one hour ahead in winter.
    EXPECT_EQ(FormatMailDate(1796696204), "Tue, 08 Dec 2026 03:16:44 +0100");
    setenv("TZ", "UTC0", 1);
    tzset();
    EXPECT_EQ(FormatMailDate(0), "Thu, 01 Jan 1970 00:00:00 +0000");
    setenv("TZ", "<-0330>3:30", 1);
    tzset();
    EXPECT_EQ(FormatMailDate(0), "Wed, 31 Dec 1969 20:30:00 -0330");
    if (oldTz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}
