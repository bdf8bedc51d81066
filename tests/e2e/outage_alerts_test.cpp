// One outage as the operator lives it: the real program, started without a
// window on a prepared store, watches two items on a real unbound; the server
// goes away and comes back with a changed address. Every alert channel that
// leaves the machine is received by a real peer (rsyslogd on UDP 514, smbd on
// TCP 139, an SMTP server with STARTTLS and AUTH LOGIN, its certificate from a
// CA made by the test), the log file and the launched
// program are read back, and the store saved at SIGTERM must hold the new
// known addresses and nothing else changed.
//
// The program sends syslog to port 514 and network messages to port 139 of
// each receiver, and binds UDP 53 for its probes, so this test needs root (as
// CI has); it skips itself otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "config/settings.h"
#include "config/settings_blob.h"
#include "config/settings_store.h"
#include "items/item_table.h"
#include "probe/engine.h"
#include "tests/e2e/blob_parts.h"
#include "tests/support/peers.h"
#include "tests/support/pki.h"
#include "tests/support/process.h"
#include "tests/support/unbound_peer.h"

using namespace varnell;
using namespace varnell::test;
using namespace std::chrono_literals;

namespace {

// smbd binds the loopback interface's own address; the DNS server and the
// collector get addresses of this run's own (see SetUp).
constexpr const char* kSmbAddress = "127.0.0.1";
constexpr const char* kMailUser = "monitor";
constexpr const char* kMailPassword = "e2e-secret";

std::string Zone(const std::string& wwwAddresses)
{
    std::string zone = "$ORIGIN e2e.example.\n$TTL 60\n"
                       "@ IN SOA ns.e2e.example. admin.e2e.example. 1 3600 600 86400 60\n"
                       "@ IN NS ns.e2e.example.\n"
                       "@ IN MX 10 mx.e2e.example.\n"
                       "ns IN A 127.0.9.1\n"
                       "mx IN A 10.20.30.60\n";
    std::istringstream in(wwwAddresses);
    for (std::string a; in >> a;)
        zone += "www IN A " + a + "\n";
    return zone;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

std::size_t CountContaining(const std::vector<std::string>& lines, const std::string& part)
{
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; }));
}

std::size_t CountOf(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (std::size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + part.size()))
        ++n;
    return n;
}

std::uint32_t Ipv4(const char* dotted)
{
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

// The event texts, in the order each item produces them: a changed address is
// reported with the first answer, "up" only after a run of answers.
const std::vector<std::string> kWwwEvents = {"the ip of www is changed to 10.20.30.40; 10.20.30.41; ", "www is down",
                                             "the ip of www is changed to 10.20.30.50; ", "www is up"};
const std::vector<std::string> kMxEvents = {"the ip of mx is changed to 10.20.30.60; ", "mx is down", "mx is up"};

class OutageAlerts : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: the program uses ports 53, 139 and 514";
        if (TcpPortOpen(139, kSmbAddress))
            GTEST_SKIP() << "port 139 is taken (another run of this test?)";
        // Addresses and a sender name of this run only, so that another run on
        // the same machine cannot mix its alerts into ours.
        const std::string base = "127.9." + std::to_string(getpid() % 250 + 1) + ".";
        dnsAddress_ = base + "1";
        syslogAddress_ = base + "2";
        sender_ = "E2E" + std::to_string(getpid() % 1000000);
        setenv("XDG_CONFIG_HOME", dir_.Path().c_str(), 1);
    }
    void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }

    // Items, alert settings and receivers written with the program's own store.
    void WriteStore(std::uint16_t dnsPort, std::uint16_t mailPort)
    {
        Settings s = DefaultSettings(LookUpLocalAddress());
        std::uint32_t flags = s.general.Flags() & ~(kGenPopup | kGenSound);
        flags |= kGenExecute | kGenMail | kGenNetMessage | kGenLog | kGenSyslog;
        s.general.SetFlags(flags);
        s.general.texts[kTextLogPath] = dir_.File("events.log");
        s.general.texts[kTextExecPath] = dir_.File("on-event.sh");
        s.general.texts[kTextSenderName] = sender_;
        s.syslog.servers = {Ipv4(syslogAddress_.c_str())};
        s.messenger.receivers = {Ipv4(kSmbAddress)};
        s.mail.server = "127.0.0.1";
        s.mail.port = mailPort;
        s.mail.flags |= kMailNeedLogon;
        s.mail.user = kMailUser;
        s.mail.password = kMailPassword;
        s.mail.fromAddress = "varnell@e2e.example";
        s.mail.fromName = "Varnell";
        s.mail.receivers = {"oncall@e2e.example"};
        s.extra.mailSecurity = kMailStartTls;
        s.extra.mailCaFile = ca_.cert;
        CurrentSettings() = s;

        InitItemTable();
        const std::pair<const char*, const char*> items[] = {{"www", "www.e2e.example"}, {"mx", "e2e.example"}};
        for (const auto& [name, domain] : items) {
            ItemEdit e;
            e.name = name;
            e.domain = domain;
            e.description = std::string("e2e ") + name;
            e.typeIndex = std::string(name) == "www" ? 0u : 2u; // A, MX
            e.interval = 400;
            e.timeout = 1000; // loopback answers in well under that, even on a loaded machine
            e.lostCount = 2;
            e.serverBE = Ipv4(dnsAddress_.c_str());
            const int slot = NewItemSlot();
            ASSERT_GE(slot, 0);
            ASSERT_TRUE(CommitNewItem(static_cast<std::uint32_t>(slot), e));
            LockItems()->items[static_cast<std::size_t>(slot)].server.portBE = htons(dnsPort);
        }
        for (std::size_t i = 0; i < 2; ++i)
            written_[i] = LockItems()->items[i];
        BuildSettingsBlob(s, *LockItems(), blob_);
        ASSERT_EQ(WriteSettingsBlob(blob_.data(), blob_.size(), EncodeExtraSettings(s.extra)), 1);
    }

    std::vector<std::string> SyslogEvents() const
    {
        std::vector<std::string> out;
        for (const auto& line : syslog_.Lines())
            if (line.find(" is ") != std::string::npos)
                out.push_back(line);
        return out;
    }
    bool SyslogHas(const std::string& text) const { return CountContaining(SyslogEvents(), text) > 0; }
    // What a failed wait shows: the program's output and what reached the collector.
    std::string Seen() const
    {
        std::string text = "program output:\n" + ReadFile(dir_.File("varnell.out")) + "syslog:\n";
        for (const auto& line : syslog_.Lines())
            text += line + "\n";
        return text;
    }

    // The network messages this run's program sent.
    std::string OurMessages(const std::string& all) const
    {
        std::string ours;
        const std::string tag = "from=" + sender_ + "\n";
        for (std::size_t at = all.find("from="); at != std::string::npos;) {
            const std::size_t next = all.find("from=", at + 5);
            if (all.compare(at, tag.size(), tag) == 0)
                ours += all.substr(at, next == std::string::npos ? std::string::npos : next - at);
            at = next;
        }
        return ours;
    }

    TempDir dir_;
    CertFiles ca_;
    std::string dnsAddress_, syslogAddress_, sender_;
    RsyslogPeer syslog_;
    std::vector<std::uint8_t> blob_;
    DnsItem written_[2]{};
};

TEST_F(OutageAlerts, EveryChannelReportsTheOutageOnceAndTheStoreKeepsTheNewAddresses)
{
    UnboundPeer dns;
    ASSERT_TRUE(dns.Start({{"e2e.example", Zone("10.20.30.40 10.20.30.41")}}, {dnsAddress_})) << dns.Log();
    ASSERT_TRUE(syslog_.Start(syslogAddress_, 514));
    ca_ = MakeCa(dir_.Path(), "ca");
    const CertFiles mailCert = MakeServerCert(dir_.Path(), "mail", ca_, {"IP:127.0.0.1"});
    SmtpPeer smtp;
    ASSERT_TRUE(smtp.Start({kMailUser, kMailPassword, "--starttls", mailCert.cert, mailCert.key}));
    SmbdPeer smbd(true, 139);
    ASSERT_TRUE(smbd.Started()) << smbd.Log();

    // The launched program writes its words, one event a line. Launches run side
    // by side, so each line goes out in one appending write.
    const std::string execOut = dir_.File("launched.txt");
    WriteFile(dir_.File("on-event.sh"),
              "#!/bin/sh\nline=$(printf '%s|' \"$@\")\nprintf '%s\\n' \"$line\" >> '" + execOut + "'\n");
    ASSERT_EQ(chmod(dir_.File("on-event.sh").c_str(), 0755), 0);

    ASSERT_NO_FATAL_FAILURE(WriteStore(dns.Port(), smtp.Port()));

    ChildProcess program;
    const std::string out = dir_.File("varnell.out");
    ASSERT_TRUE(program.Start({BinaryDir() + "/varnell"},
                              {"XDG_CONFIG_HOME=" + dir_.Path(), "QT_QPA_PLATFORM=offscreen"}, out, out));

    // First answers: both items report their addresses.
    ASSERT_TRUE(WaitFor([&] { return SyslogHas(kWwwEvents[0]) && SyslogHas(kMxEvents[0]); }, 15s))
        << Seen();
    // The server goes away: both go down once.
    dns.Stop();
    ASSERT_TRUE(WaitFor([&] { return SyslogHas("www is down") && SyslogHas("mx is down"); }, 15s)) << Seen();
    // Several more lost probes must not repeat the down event.
    std::this_thread::sleep_for(2500ms);
    // Back with www on a new address: up for both, a change for www only.
    ASSERT_TRUE(dns.Restart({{"e2e.example", Zone("10.20.30.50")}})) << dns.Log();
    ASSERT_TRUE(WaitFor([&] { return SyslogHas(kWwwEvents[2]) && SyslogHas("www is up") && SyslogHas("mx is up"); },
                        15s))
        << Seen();
    // The queued channels catch up: one mail and one message per event.
    const std::size_t events = kWwwEvents.size() + kMxEvents.size();
    EXPECT_TRUE(WaitFor([&] { return !smtp.Message(static_cast<int>(events)).empty(); }, 15s)) << smtp.Events();
    EXPECT_TRUE(WaitFor([&] { return CountOf(OurMessages(smbd.Messages()), "from=") >= events; }, 15s)) << smbd.Log();
    EXPECT_TRUE(WaitFor([&] { return Lines(ReadFile(execOut)).size() >= events; }, 10s));
    std::this_thread::sleep_for(1s); // nothing more may arrive

    const int status = program.Stop(SIGTERM, 7s);
    ASSERT_NE(status, -1) << "still running seven seconds after SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << Seen();

    // Each event exactly once on every channel, in each item's own order.
    const auto logLines = Lines(ReadFile(dir_.File("events.log")));
    const auto syslogLines = SyslogEvents();
    const auto launched = Lines(ReadFile(execOut));
    const std::string messages = OurMessages(smbd.Messages());
    EXPECT_EQ(logLines.size(), events) << ReadFile(dir_.File("events.log"));
    EXPECT_EQ(syslogLines.size(), events) << Seen();
    EXPECT_EQ(launched.size(), events) << ReadFile(execOut);
    for (const auto* sequence : {&kWwwEvents, &kMxEvents}) {
        std::size_t previous = 0;
        for (const std::string& text : *sequence) {
            SCOPED_TRACE(text);
            // The log line holds the event text after its time stamp.
            const auto at = std::find_if(logLines.begin(), logLines.end(), [&](const std::string& l) {
                return l.size() >= text.size() && l.compare(l.size() - text.size(), text.size(), text) == 0;
            });
            ASSERT_NE(at, logLines.end());
            const auto index = static_cast<std::size_t>(at - logLines.begin());
            EXPECT_GE(index, previous);
            previous = index;
            EXPECT_EQ(CountContaining(logLines, text), 1u);
            EXPECT_EQ(CountContaining(syslogLines, text), 1u);
            EXPECT_EQ(CountOf(messages, text), 1u) << messages;
            // The program got the text as its words: blanks split, nothing interpreted.
            std::string words;
            std::istringstream in(text);
            for (std::string w; in >> w;)
                words += w + "|";
            EXPECT_EQ(std::count(launched.begin(), launched.end(), words), 1) << ReadFile(execOut);
        }
    }

    // Syslog: the configured facility and severity, the event text in the message.
    const std::string pri = std::to_string(CurrentSettings().general.Facility() * 8 +
                                           CurrentSettings().general.Severity()) + "|";
    for (const auto& line : syslogLines)
        EXPECT_EQ(line.rfind(pri, 0), 0u) << line;

    // Mail: one session per event, logged on, to the receiver, the text inside.
    std::string mailText;
    for (int n = 1; n <= static_cast<int>(events) + 1; ++n)
        mailText += smtp.Message(n);
    EXPECT_EQ(CountOf(mailText, "auth: monitor\n"), events) << smtp.Events();
    // Every session (each ends with QUIT) logged on only after its handshake.
    const std::string transcript = smtp.Events();
    EXPECT_EQ(CountOf(transcript, "STARTTLS\n"), events) << transcript;
    for (std::size_t start = 0, end; (end = transcript.find("QUIT\n", start)) != std::string::npos; start = end + 5) {
        const std::string session = transcript.substr(start, end - start);
        EXPECT_LT(session.find("STARTTLS\n"), session.find("AUTH LOGIN\n")) << session;
    }
    EXPECT_EQ(CountOf(mailText, "to: oncall@e2e.example\n"), events);
    for (const auto* sequence : {&kWwwEvents, &kMxEvents})
        for (const std::string& text : *sequence)
            EXPECT_GE(CountOf(mailText, text), 1u) << text;
    // The password never leaves in clear text in a log the program writes.
    EXPECT_EQ(ReadFile(out).find(kMailPassword), std::string::npos);
    EXPECT_EQ(ReadFile(dir_.File("events.log")).find(kMailPassword), std::string::npos);

    // Network messages come from the configured sender name.
    EXPECT_EQ(CountOf(messages, "from=" + sender_ + "\n"), events) << smbd.Messages();

    // The saved store: settings as written, items as written but for the
    // addresses last reported.
    std::vector<std::uint8_t> saved;
    ASSERT_GT(ReadSettingsBlob(saved), 0);
    EXPECT_EQ(SettingsRecords(saved), SettingsRecords(blob_));
    Settings back;
    InitItemTable();
    ApplySettingsBlob(saved, back, *LockItems());
    ASSERT_EQ(LockItems()->liveCount, 2u);
    const std::vector<std::vector<std::uint32_t>> known = {{Ipv4("10.20.30.50")}, {Ipv4("10.20.30.60")}};
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const DnsItem& a = written_[i];
        const DnsItem& b = LockItems()->items[i];
        const std::uint32_t runBits = kFlagDeleted | kFlagOutstandingMask;
        EXPECT_EQ(a.flags & ~runBits, b.flags & ~runBits);
        EXPECT_EQ(a.interval, b.interval);
        EXPECT_EQ(a.timeout, b.timeout);
        EXPECT_EQ(0, std::memcmp(&a.server, &b.server, sizeof a.server));
        EXPECT_EQ(a.typeIndex, b.typeIndex);
        ASSERT_EQ(b.knownCount, known[i].size());
        for (std::size_t k = 0; k < known[i].size(); ++k)
            EXPECT_EQ(b.known[k].addrBE, known[i][k]);
    }
    EXPECT_EQ(LockItems()->blocks[0].name, "www");
    EXPECT_EQ(LockItems()->blocks[1].domain, "e2e.example");
}

} // namespace
