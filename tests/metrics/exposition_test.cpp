// The exposition text as a scraper reads it: checked by promtool for an empty
// table, one item with every figure known, and a full table of hostile names.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include "config/settings_blob.h"
#include "items/answer_eval.h"
#include "items/item_table.h"
#include "items/transport_state.h"
#include "items/result_eval.h"
#include "metrics/exposition.h"
#include "tests/support/process.h"

using namespace varnell;
using varnell::test::ReadFile;
using varnell::test::TempDir;
using varnell::test::WriteFile;

extern char** environ;

namespace {

// promtool reads the page from its standard input; started without a shell.
::testing::AssertionResult PromtoolAccepts(const std::string& page)
{
    TempDir dir;
    WriteFile(dir.File("page.txt"), page);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, dir.File("page.txt").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, dir.File("out.txt").c_str(), O_WRONLY | O_CREAT, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    char* argv[] = {const_cast<char*>("promtool"), const_cast<char*>("check"), const_cast<char*>("metrics"), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "promtool", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = -1;
    if (rc != 0 || waitpid(pid, &status, 0) != pid)
        return ::testing::AssertionFailure() << "promtool did not run";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return ::testing::AssertionFailure() << ReadFile(dir.File("out.txt"));
    return ::testing::AssertionSuccess();
}

std::uint32_t AddItem(const std::string& name, const std::string& description, const std::string& domain)
{
    ItemEdit e;
    e.interval = 1000;
    e.timeout = 800;
    e.serverBE = htonl(0x7F000001);
    e.typeIndex = 2;
    e.name = name;
    e.description = description;
    e.domain = domain;
    const int slot = NewItemSlot();
    EXPECT_TRUE(CommitNewItem(static_cast<std::uint32_t>(slot), e));
    return static_cast<std::uint32_t>(slot);
}

std::string IdOf(std::uint32_t slot)
{
    const int k = ItemTextIndex(LockItems()->items[slot], LockItems()->blocks[slot], kItemIdPrefix);
    return k < 0 ? "" : LockItems()->blocks[slot].reservedTexts[static_cast<std::size_t>(k)].substr(kItemIdPrefix.size());
}

// The labels of the item's varnell_item_up line: what identifies its series.
std::string SeriesOf(const std::string& page, const std::string& id)
{
    const std::size_t at = page.find(",id=\"" + id + "\"} ");
    const std::size_t start = page.rfind("\nvarnell_item_up{", at);
    return at == std::string::npos || start == std::string::npos ? "" : page.substr(start, at - start);
}

std::size_t CountLines(const std::string& page, const std::string& prefix)
{
    std::size_t count = 0;
    for (std::size_t at = 0; (at = page.find("\n" + prefix, at)) != std::string::npos; ++at)
        ++count;
    return count;
}

} // namespace

TEST(Exposition, LabelValuesAreEscapedAndMadeValidUtf8)
{
    EXPECT_EQ(EscapeLabelValue("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
    EXPECT_EQ(EscapeLabelValue("caf\xC3\xA9 \xF0\x9F\x98\x80"), "caf\xC3\xA9 \xF0\x9F\x98\x80");
    const std::string bad = "\xEF\xBF\xBD";
    EXPECT_EQ(EscapeLabelValue("\xFF"), bad);                         // Latin-1 byte from an old store
    EXPECT_EQ(EscapeLabelValue("x\xE2\x82"), "x" + bad + bad);         // cut short at the end
    EXPECT_EQ(EscapeLabelValue("\xC0\xAF"), bad + bad);                // overlong '/'
    EXPECT_EQ(EscapeLabelValue("\xED\xA0\x80"), bad + bad + bad);      // surrogate
    EXPECT_EQ(EscapeLabelValue("\xF4\x90\x80\x80"), bad + bad + bad + bad); // above U+10FFFF
}

TEST(Exposition, EmptyOneAndFullTablesPassPromtool)
{
    InitItemTable();
    const std::string empty = FormatExposition(TakeMetricsSnapshot());
    EXPECT_TRUE(PromtoolAccepts(empty));
    EXPECT_NE(empty.find("\nvarnell_items 0\n"), std::string::npos);
    EXPECT_NE(empty.find("\nvarnell_build_info{version=\""), std::string::npos);

    // One item that has been down and has answered again, with every figure set.
    const std::uint32_t s = AddItem("one", "first", "mail.test");
    {
        ItemBlock& b = LockItems()->blocks[s];
        LockItems()->items[s].server.portBE = htons(5353);
        b.state = kStateDownReported | 3;
        b.rttLast = 50, b.rttLastUs = 50250, b.rttMin = 7, b.rttMax = 1234, b.rttAvg = 61;
        b.sent = 10, b.probesFailed = 4, b.replies = 6, b.answerCount = 2, b.lastEventTime = 1700000000;
    }
    const std::string one = FormatExposition(TakeMetricsSnapshot());
    EXPECT_TRUE(PromtoolAccepts(one));
    const std::string labels =
        "{item=\"one\",domain=\"mail.test\",type=\"MX\",server=\"127.0.0.1:5353\",transport=\"udp\",id=\"" +
        IdOf(s) + "\"} ";
    for (const std::string& line :
         {"varnell_item_up" + labels + "0", "varnell_item_down" + labels + "1", "varnell_item_suspended" + labels + "0",
          "varnell_item_timeout_seconds" + labels + "0.800", "varnell_item_rtt_seconds" + labels + "0.050250",
          "varnell_item_rtt_min_seconds" + labels + "0.007", "varnell_item_rtt_max_seconds" + labels + "1.234",
          "varnell_item_rtt_avg_seconds" + labels + "0.061", "varnell_item_requests_total" + labels + "10",
          "varnell_item_failures_total" + labels + "4", "varnell_item_replies_total" + labels + "6",
          "varnell_item_addresses" + labels + "2",
          "varnell_item_last_event_timestamp_seconds" + labels + "1700000000", std::string("varnell_items 1")})
        EXPECT_NE(one.find("\n" + line + "\n"), std::string::npos) << line;
    EXPECT_EQ(one.find("\nvarnell_item_tls_handshake_seconds{"), std::string::npos) << "none for UDP";

    // Over TLS: the transport label, the handshake and the certificate's end.
    {
        TransportState& t = TransportOf(s);
        t.settings.transport = Transport::kTls;
        t.handshakeUs = 1500;
        t.certNotAfter = 1893456000;
    }
    const std::string tls = FormatExposition(TakeMetricsSnapshot());
    EXPECT_TRUE(PromtoolAccepts(tls));
    std::string tlsLabels = labels;
    tlsLabels.replace(tlsLabels.find("\"udp\""), 5, "\"tls\"");
    EXPECT_NE(tls.find("\nvarnell_item_tls_handshake_seconds" + tlsLabels + "0.001500\n"), std::string::npos);
    EXPECT_NE(tls.find("\nvarnell_item_certificate_expiry_timestamp_seconds" + tlsLabels + "1893456000\n"),
              std::string::npos);
    TransportOf(s) = TransportState{};

    // An IPv6 server: its colons need no escape, its port goes after brackets.
    const std::uint32_t six = AddItem("six", "", "six.test");
    ItemEdit e = EditOf(LockItems()->items[six]);
    e.server6 = true;
    e.server6Address = Address6{{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x53}};
    CommitItemUpdate(six, e);
    LockItems()->items[six].server.portBE = htons(5353);
    const std::string two = FormatExposition(TakeMetricsSnapshot());
    EXPECT_TRUE(PromtoolAccepts(two));
    EXPECT_NE(two.find("\nvarnell_item_up{item=\"six\",domain=\"six.test\",type=\"MX\","
                       "server=\"[2001:db8::53]:5353\","),
              std::string::npos);
    LockItems()->items[six].server.portBE = htons(53);
    EXPECT_NE(FormatExposition(TakeMetricsSnapshot()).find(",server=\"2001:db8::53\","), std::string::npos);

    // A full table of hostile texts, a few of them alike, a suspended item that
    // was never probed, and a deleted one.
    InitItemTable();
    const std::string hostile[] = {"q\"uote", "back\\slash\\", "line\nbreak\r", "caf\xC3\xA9", "\xFF\xFE latin",
                                   "cut \xE2\x82", "}{,=\"", ""};
    for (std::uint32_t i = 0; i < kItemSlots; ++i) {
        const std::string& h = hostile[i % std::size(hostile)];
        AddItem(i % 100 == 0 ? h : h + std::to_string(i), "d " + h, h + ".test");
    }
    SuspendItem(5);
    ASSERT_TRUE(DeleteItemRow(7));
    LockItems()->blocks[9].rttMin = 3;
    const std::string full = FormatExposition(TakeMetricsSnapshot());
    EXPECT_TRUE(PromtoolAccepts(full));
    EXPECT_EQ(CountLines(full, "varnell_item_up{"), kItemSlots - 1);
    EXPECT_EQ(CountLines(full, "varnell_item_rtt_seconds{"), 1u);
    const std::size_t suspended = full.find("\nvarnell_item_suspended{item=\"cut \xEF\xBF\xBD\xEF\xBF\xBD" "5\"");
    ASSERT_NE(suspended, std::string::npos);
    EXPECT_EQ(full.substr(full.find("} ", suspended), 4), "} 1\n");
    EXPECT_EQ(full.find("item=\"7\""), std::string::npos);
}

// A series belongs to one item: deleting or editing an item leaves the others'
// series as they were, a slot taken over starts new ones, and the id stays with
// its item through a save and a load.
TEST(Exposition, SeriesStayWithTheirItem)
{
    InitItemTable();
    const std::uint32_t a = AddItem("twin", "", "twin.test");
    const std::uint32_t b = AddItem("twin", "", "twin.test");
    const std::uint32_t c = AddItem("top", "", "top.test");
    const std::string first = FormatExposition(TakeMetricsSnapshot());
    const std::string idA = IdOf(a), idB = IdOf(b), idC = IdOf(c);
    ASSERT_EQ(idB.size(), kItemIdDigits);
    EXPECT_NE(idA, idB);
    const std::string seriesB = SeriesOf(first, idB);
    ASSERT_FALSE(seriesB.empty());

    ASSERT_TRUE(DeleteItemRow(2)); // c, the top of the table: its slot is taken next
    ASSERT_EQ(static_cast<std::uint32_t>(NewItemSlot()), c);
    AddItem("top", "", "top.test");
    ASSERT_TRUE(DeleteItemRow(0)); // a
    ItemEdit e = EditOf(LockItems()->items[b]);
    e.description = "edited";
    CommitItemUpdate(b, e);
    const std::string second = FormatExposition(TakeMetricsSnapshot());
    EXPECT_EQ(SeriesOf(second, idB), seriesB);
    EXPECT_EQ(second.find(idA), std::string::npos);
    EXPECT_EQ(second.find(idC), std::string::npos);
    const std::string idNew = IdOf(c);

    // Saved and loaded (compacted into slots 0 and 1), each keeps its id; a
    // copied id is given up by the later item.
    std::vector<std::uint8_t> blob;
    Settings settings = DefaultSettings(0);
    BuildSettingsBlob(settings, *LockItems(), blob);
    InitItemTable();
    ApplySettingsBlob(blob, settings, *LockItems());
    EXPECT_EQ(SeriesOf(FormatExposition(TakeMetricsSnapshot()), idB), seriesB);
    EXPECT_EQ(IdOf(1), idNew);
    LockItems()->blocks[1].reservedTexts[0] = "id=" + idB;
    TakeMetricsSnapshot();
    EXPECT_EQ(IdOf(0), idB);
    EXPECT_NE(IdOf(1), idB);
}

// Every failed probe counts, whatever failed; the list's own "failed" figure
// keeps counting send failures only.
TEST(Exposition, FailuresCountEveryFailedProbe)
{
    InitItemTable();
    const std::uint32_t s = AddItem("probe", "", "probe.test");
    DnsItem& item = LockItems()->items[s];
    ItemBlock& block = LockItems()->blocks[s];
    for (const int code : {+kResultTimeout, +kResultNameError, 2, +kResultSendFailed, +kResultPartReply})
        OnDnsResult(&item, code);
    block.sendTime = 1000, block.receiveTime = 1000 + item.timeout + 1; // a late reply
    OnDnsResult(&item, kResultOk);
    block.receiveTime = 1005;
    OnDnsResult(&item, kResultOk);
    const std::string page = FormatExposition(TakeMetricsSnapshot());
    EXPECT_NE(page.find("\nvarnell_item_failures_total{item=\"probe\",domain=\"probe.test\",type=\"MX\","
                        "server=\"127.0.0.1\",transport=\"udp\",id=\"" + IdOf(s) + "\"} 6\n"),
              std::string::npos);
    EXPECT_EQ(block.failed, 0u);
}

// The condition and signature series are there for the items that have them.
TEST(Exposition, ConditionSeriesOnlyForItemsWithConditions)
{
    InitItemTable();
    ResetAnswerStates();
    const std::uint32_t plain = AddItem("plain", "", "plain.test");
    const std::uint32_t signed_ = AddItem("signed", "", "signed.test");
    AnswerConditions c;
    ASSERT_EQ(ReadConditionFields({"", "", "", "validated", "7"}, c), "");
    {
        std::lock_guard lock(EngineLock());
        ASSERT_TRUE(SetItemConditions(LockItems()->items[signed_], c));
        AnswerOf(signed_).conditionOk = 0;
        AnswerOf(signed_).signatureExpiry = 1797000000;
        AnswerOf(plain).signatureExpiry = 1797000000; // read, but not asked for: not shown
    }
    const std::string page = FormatExposition(TakeMetricsSnapshot());
    const std::string labels = "{item=\"signed\",domain=\"signed.test\",type=\"MX\",server=\"127.0.0.1\",transport=\"udp\",id=\"" +
                               IdOf(signed_) + "\"}";
    EXPECT_NE(page.find("\nvarnell_item_condition_ok" + labels + " 0\n"), std::string::npos) << page;
    EXPECT_NE(page.find("\nvarnell_item_signature_expiry_timestamp_seconds" + labels + " 1797000000\n"),
              std::string::npos);
    EXPECT_EQ(page.find("varnell_item_condition_ok{item=\"plain\""), std::string::npos);
    EXPECT_EQ(page.find("varnell_item_signature_expiry_timestamp_seconds{item=\"plain\""), std::string::npos);
}

TEST(Exposition, ShippedAlertRulesPassPromtool)
{
    TempDir dir;
    varnell::test::ChildProcess promtool;
    ASSERT_TRUE(promtool.Start({"promtool", "check", "rules",
                                varnell::test::SourceDir() + "/packaging/prometheus/varnell-rules.yml"},
                               {}, dir.File("out.txt"), dir.File("out.txt")));
    EXPECT_EQ(promtool.Wait(std::chrono::seconds(20)), 0) << ReadFile(dir.File("out.txt"));
}
