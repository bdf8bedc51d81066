#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "items/item_entry.h"
#include "items/item_table.h"
#include "monitor/item_csv.h"

using namespace varnell;

namespace {

// The header of files written before recursion_available existed: they still import.
constexpr const char* kHeader = "name,domain,type,server,interval_ms,timeout_ms,continuous_lost,notify_down,notify_up,"
                                "notify_change,recursion_desired,high_priority,suspended,description\r\n";
constexpr const char* kExportHeader = "name,domain,type,server,interval_ms,timeout_ms,continuous_lost,notify_down,"
                                      "notify_up,notify_change,recursion_desired,high_priority,suspended,description,"
                                      "recursion_available,expect_mode,expect,expect_rcode,dnssec,sig_warn_days,"
                                      "transport,tls_name,url,tls_pin,cert_warn_days\r\n";

class ItemCsvTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitItemTable();
        CurrentSettings().mail.flags &= ~kMailHighPriority;
    }
    static std::vector<std::string> Names()
    {
        std::vector<std::string> names;
        for (std::uint32_t r = 0; r < LockItems()->rowCount; ++r)
            names.push_back(LockItems()->blocks[LockItems()->rowToSlot[r]].name);
        return names;
    }
    static const ItemBlock& Block(std::uint32_t row) { return LockItems()->blocks[LockItems()->rowToSlot[row]]; }
    static const DnsItem& Item(std::uint32_t row) { return LockItems()->items[LockItems()->rowToSlot[row]]; }
};

std::string Row(const std::string& name, const std::string& rest = "ok.example.test,A,192.0.2.1")
{
    return name + "," + rest + "\n";
}

// Expects nothing imported and exactly these (line, start of reason) problems.
void ExpectRefused(const std::string& text, const std::vector<std::pair<std::size_t, std::string>>& expected)
{
    const std::uint32_t before = LockItems()->liveCount;
    std::vector<CsvProblem> problems;
    EXPECT_EQ(ImportItemsCsv(text, problems), -1);
    EXPECT_EQ(LockItems()->liveCount, before) << "a bad row must import nothing";
    ASSERT_EQ(problems.size(), expected.size()) << text;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(problems[i].line, expected[i].first) << problems[i].reason;
        EXPECT_EQ(problems[i].reason.rfind(expected[i].second, 0), 0u)
            << "line " << problems[i].line << ": " << problems[i].reason;
    }
}

} // namespace

TEST_F(ItemCsvTest, QuotedFieldsKeepCommasQuotesAndLineBreaksAndLinesCountPhysically)
{
    const std::string text = "name,domain,type,server,description\n"
                             "\"web, front\",www.example.test,a,192.0.2.1,\"says \"\"hi\"\"\r\nsecond line\n\"\n"
                             "\n"
                             "mail,example.test, MX ,192.0.2.2,\n";
    std::vector<CsvProblem> problems;
    ASSERT_EQ(ImportItemsCsv(text, problems), 2) << (problems.empty() ? "" : problems[0].reason);
    EXPECT_EQ(Names(), (std::vector<std::string>{"web, front", "mail"}));
    EXPECT_EQ(Block(0).description, "says \"hi\"\r\nsecond line\n");
    EXPECT_EQ(Item(0).typeIndex, 0u); // type names match without regard to case or spaces
    EXPECT_EQ(Item(1).typeIndex, 2u);
    // Absent columns take the item dialog's defaults.
    EXPECT_EQ(Item(1).interval, 1000u);
    EXPECT_EQ(Item(1).timeout, 2000u);
    EXPECT_EQ(LostCount(Item(1)), 6u);
    EXPECT_EQ(Item(1).flags & 0x7E00u, 0x3E00u); // notify x3, RD, RA on; high priority off
    EXPECT_EQ(Item(1).flags & kFlagSuspended, 0u);

    // A record spread over lines 2 to 4 moves the next one to line 5.
    InitItemTable();
    problems.clear();
    ExpectRefused("name,domain,type,server,description\n"
                  "a,a.example.test,A,192.0.2.1,\"one\ntwo\nthree\"\n"
                  "b,b.example.test,A,192.0.2.999,x\n",
                  {{5, "error dns server ip address !"}});
}

TEST_F(ItemCsvTest, EveryBadRowIsReportedWithItsLineAndNothingIsImported)
{
    std::string reason;
    ASSERT_TRUE(AddItemFromFields(
        {{"name", "existing"}, {"domain", "e.example.test"}, {"type", "A"}, {"server", "192.0.2.9"}}, reason));
    const std::string longName(256, 'n');
    const std::string longLabel(64, 'l');
    std::string text = std::string(kHeader);
    text += Row("good", "good.example.test,A,192.0.2.1,1000,2000,6,1,1,1,1,0,0,fine");         // line 2
    text += Row("bad address", "x.example.test,A,192.0.2.256,,,,,,,,,,");                      // 3
    text += Row("unknown type", "x.example.test,SPF,192.0.2.1,,,,,,,,,,");                     // 4
    text += Row(longName, "x.example.test,A,192.0.2.1,,,,,,,,,,");                             // 5
    text += Row(std::string(255, 'm'), longLabel + ".example.test,A,192.0.2.1,,,,,,,,,,");     // 6
    text += Row("good", "again.example.test,A,192.0.2.1,,,,,,,,,,");                           // 7: in the file
    text += Row("existing", "again.example.test,A,192.0.2.1,,,,,,,,,,");                       // 8: in the table
    text += Row("blank type", "x.example.test, ,192.0.2.1,,,,,,,,,,");                         // 9
    text += Row("lost", "x.example.test,A,192.0.2.1,,,64,,,,,,,");                             // 10
    text += Row("flag", "x.example.test,A,192.0.2.1,,,,2,,,,,,");                              // 11
    text += Row("interval", "x.example.test,A,192.0.2.1,12abc,,,,,,,,,");                      // 12
    text += Row("short", "x.example.test,A,192.0.2.1");                                        // 13
    text += Row("quote\"inside", "x.example.test,A,192.0.2.1,,,,,,,,,,");                      // 14
    text += "\"after\"x,x.example.test,A,192.0.2.1,,,,,,,,,,\n";                               // 15
    text += "zero,x.example.test,A,0.0.0.0,,,,,,,,,,\n";                                       // 16
    text += "utf,x.example.test,A,192.0.2.1,,,,,,,,,,\xC3\x28\n";                              // 17
    text += "open,x.example.test,A,192.0.2.1,,,,,,,,,,\"never\nclosed\n";                      // 18
    ExpectRefused(text, {
                            {3, "error dns server ip address !"},
                            {4, "unknown record type \"SPF\" (A, CNAME, MX, NS, PTR, SOA, AAAA, TXT, SRV, CAA, HTTPS, "
                                "DNSKEY or DS)"},
                            {5, "The item name is longer than 255 bytes."},
                            {6, "The domain name has a label longer than 63 characters."},
                            {7, "An item named \"good\" already exists."},
                            {8, "An item named \"existing\" already exists."},
                            {9, "no value in the required column \"type\""},
                            {10, "\"continuous_lost\" is not a whole number from 0 to 63"},
                            {11, "\"notify_down\" must be 0 or 1"},
                            {12, "\"interval_ms\" is not a whole number"},
                            {13, "expected 14 fields, found 4"},
                            {14, "a double quote inside a field"},
                            {15, "text after the closing double quote"},
                            {16, "error dns server ip address !"},
                            {17, "\"description\" is not UTF-8 text"},
                            {18, "a quoted field is not closed"},
                        });

    // A header that cannot be read stops before the rows.
    ExpectRefused("name,domain,type,color\nx,x.example.test,A,192.0.2.1\n",
                  {{1, "unknown column \"color\""}, {1, "missing column \"server\""}});
    ExpectRefused("name,domain,server\nx,x.example.test,192.0.2.1\n", {{1, "missing column \"type\""}});
    ExpectRefused("name,name,domain,type,server\n", {{1, "the column \"name\" appears twice"}});
    ExpectRefused("", {{1, "no header row"}});

    // One item through the command line's road: the same rules.
    EXPECT_FALSE(AddItemFromFields({{"name", "n"}, {"domain", "d.test"}, {"type", "A"}}, reason));
    EXPECT_EQ(reason, "no value in the required column \"server\"");
    EXPECT_FALSE(AddItemFromFields(
        {{"name", "existing"}, {"domain", "d.test"}, {"type", "A"}, {"server", "192.0.2.1"}}, reason));
    EXPECT_FALSE(AddItemFromFields(
        {{"name", "n"}, {"domain", "d.test"}, {"type", "A"}, {"server", "192.0.2.1"}, {"colour", "red"}}, reason));
    EXPECT_EQ(reason, "unknown column \"colour\"");
    EXPECT_FALSE(AddItemFromFields(
        {{"name", "n"}, {"domain", "d.test"}, {"type", "AAAA"}, {"server", "2001:db8::1::2"}}, reason));
    EXPECT_EQ(reason, "error dns server ip address !");
    EXPECT_EQ(LockItems()->liveCount, 1u);
    EXPECT_TRUE(AddItemFromFields(
        {{"name", "n"}, {"domain", "d.test"}, {"type", "SOA"}, {"server", "192.0.2.1"}, {"suspended", "1"}}, reason))
        << reason;
    EXPECT_EQ(LockItems()->liveCount, 2u);
    EXPECT_NE(Item(1).flags & kFlagSuspended, 0u);
}

TEST_F(ItemCsvTest, TransportColumnsAreCheckedTogether)
{
    const std::string head = "name,domain,type,server,transport,url,tls_pin,cert_warn_days\n";
    ExpectRefused(head + "a,a.test,A,192.0.2.1,https,,,\n" + "b,b.test,A,192.0.2.1,quic,,,\n" +
                      "c,c.test,A,192.0.2.1,udp,,,7\n" + "d,d.test,A,192.0.2.1,tls,,sha256/x,\n",
                  {{2, "url:"}, {3, "transport:"}, {4, "cert_warn_days:"}, {5, "tls_pin:"}});
    std::string reason;
    EXPECT_TRUE(AddItemFromFields({{"name", "doh"}, {"domain", "d.test"}, {"type", "A"}, {"server", "192.0.2.1"},
                                   {"transport", "HTTPS"}, {"url", "https://dns.test/q"}},
                                  reason))
        << reason;
    EXPECT_EQ(ExportItemsCsv().substr(std::string(kExportHeader).size()),
              "doh,d.test,A,192.0.2.1,1000,2000,6,1,1,1,1,0,0,,1,,,,,,https,,https://dns.test/q,,\r\n");
}

TEST_F(ItemCsvTest, ExportWritesWhatImportReadsByteForByte)
{
    CurrentSettings().mail.flags |= kMailHighPriority; // defaults must not leak into a full row
    const std::string text = std::string(kExportHeader) +
                             "\"a, \"\"b\"\"\",example.test.,SOA,203.0.113.254,500,0,63,0,1,0,0,1,1,"
                             "\"two\nlines, \"\"quoted\"\"\",0,,,,,,tls,dns.example.test,,"
                             "sha256/AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=,14\r\n"
                             "plain,www.example.test,A,192.0.2.1,1000,2000,6,1,1,1,1,0,0,,1,,,,,,udp,,,,\r\n"
                             "ptr,1.2.0.192.in-addr.arpa,PTR,10.0.0.1,86400000,1,1,1,0,1,0,1,0,caf\xC3\xA9,1,,,,,,https,,"
                             "https://dns.example.test/dns-query,,\r\n"
                             "six,www.example.test,AAAA,2001:db8::53,1000,2000,6,1,1,1,1,0,0,,1,,,,,,tcp,,,,\r\n"
                             "t-caa,shop.example,CAA,192.0.2.1,1000,2000,6,1,1,1,1,0,0,,1,contains,"
                             "\"0 issue \"\"ca.example\"\"\n0 issuewild \"\";\"\"\",,validated,7,udp,,,,\r\n"
                             "u-gone,old.example,TXT,192.0.2.1,1000,2000,6,1,1,1,1,0,0,,1,matches,\"^\"\"v=spf1\",NXDOMAIN,,,"
                             "udp,,,,\r\n";
    std::vector<CsvProblem> problems;
    ASSERT_EQ(ImportItemsCsv(text, problems), 6) << (problems.empty() ? "" : problems[0].reason);
    EXPECT_EQ(ExportItemsCsv(), text);
    EXPECT_NE(Item(0).flags & kFlagSuspended, 0u);
    EXPECT_NE(Item(0).flags & kFlagHighPriorityMail, 0u);
    EXPECT_EQ(Item(1).flags & kFlagHighPriorityMail, 0u);

    // Sorted by name whatever the list order: a row deleted, the same name
    // added back at the end of the list, and the text is as it was.
    ASSERT_TRUE(DeleteItemRow(1));
    EXPECT_EQ(ExportItemsCsv(), text.substr(0, text.find("plain,")) + text.substr(text.find("ptr,")));
    ASSERT_EQ(ImportItemsCsv(std::string(kExportHeader) + "plain,www.example.test,A,192.0.2.1,1000,2000,6,1,1,1,1,"
                                                          "0,0,,1,,,,,,udp,,,,\r\n",
                             problems),
              1);
    EXPECT_EQ(ExportItemsCsv(), text);

    // A short interval is raised as the dialog raises it, and then stays; an
    // IPv6 server is written in its RFC 5952 text, and then stays.
    InitItemTable();
    ASSERT_EQ(ImportItemsCsv("name,domain,type,server,interval_ms\nfast,f.test,NS,192.0.2.3,100\n"
                             "long,l.test,A,2001:DB8:0:0:0:0:0:0053,1000\n",
                             problems),
              2);
    EXPECT_EQ(Item(0).interval, 500u);
    const std::string once = ExportItemsCsv();
    EXPECT_NE(once.find(",2001:db8::53,"), std::string::npos) << once;
    InitItemTable();
    ASSERT_EQ(ImportItemsCsv(once, problems), 2);
    EXPECT_EQ(ExportItemsCsv(), once);
}

// Whatever the item dialog stores comes back from its export: empty names
// (several), the root as an empty domain, both recursion flags off.
TEST_F(ItemCsvTest, EveryItemTheDialogCanMakeComesBackFromItsExport)
{
    auto make = [](const std::string& name, const std::string& domain, bool rd, bool ra) {
        ItemEntry entry;
        entry.name = name;
        entry.domain = domain;
        entry.server = "192.0.2.7";
        entry.description = "line one\nline \"two\", three";
        entry.recursionDesired = rd;
        entry.recursionAvailable = ra;
        ItemEdit edit;
        ASSERT_EQ(CheckItemEntry(entry, EntryTarget{}, edit), "");
        const int slot = NewItemSlot();
        ASSERT_GE(slot, 0);
        ASSERT_TRUE(CommitNewItem(static_cast<std::uint32_t>(slot), edit));
    };
    make("", "", true, false);
    make("", ".", false, false);
    make("  padded ", "www.example.test", false, true);
    make("", "example.test", true, true);
    const std::string first = ExportItemsCsv();
    InitItemTable();
    std::vector<CsvProblem> problems;
    ASSERT_EQ(ImportItemsCsv(first, problems), 4) << (problems.empty() ? "" : problems[0].reason);
    EXPECT_EQ(ExportItemsCsv(), first);
    EXPECT_EQ(Item(0).flags & (kFlagRecursionDesired | kFlagRecursionAvailable), kFlagRecursionDesired);
    EXPECT_EQ(Block(3).name, "  padded "); // sorted after the empty names

    // An export larger than an import reads is refused by both, with one reason.
    InitItemTable();
    const std::string rows = kHeader + std::string("n,d.test,A,192.0.2.1,,,,,,,,,,") +
                             std::string(kItemsCsvLimit, 'x') + "\n";
    EXPECT_EQ(ImportItemsCsv(rows, problems), -1);
    ASSERT_FALSE(problems.empty());
    EXPECT_EQ(problems.back().reason, CsvSizeProblem(rows.size()));
    EXPECT_EQ(CsvSizeProblem(kItemsCsvLimit), "");
}

TEST_F(ItemCsvTest, ConditionsAreCheckedLikeEveryColumn)
{
    const std::string header = "name,domain,type,server,expect_mode,expect,expect_rcode,dnssec,sig_warn_days\n";
    ExpectRefused(header + Row("a", "a.test,A,192.0.2.1,sometimes,192.0.2.1,,,") +
                      Row("b", "b.test,A,192.0.2.1,,192.0.2.1,,,") + Row("c", "c.test,A,192.0.2.1,matches,(,,,") +
                      Row("d", "d.test,A,192.0.2.1,,,NOTAUTH,,") + Row("e", "e.test,A,192.0.2.1,,,,yes,") +
                      Row("f", "f.test,A,192.0.2.1,,,,,7d") + Row("g", "g.test,A,192.0.2.1,equals,,,,"),
                  {{2, "expect_mode must be"},
                   {3, "values given without an expect_mode"},
                   {4, "the pattern does not compile"},
                   {5, "expect_rcode must be"},
                   {6, "dnssec must be"},
                   {7, "sig_warn_days must be"},
                   {8, "expect_mode equals needs values"}});
    std::vector<CsvProblem> problems;
    ASSERT_EQ(ImportItemsCsv(header + Row("ok", "ok.test,a,192.0.2.1,EQUALS,192.0.2.1,nxdomain,Validated,30"),
                             problems),
              1);
    EXPECT_NE(ExportItemsCsv().find(",equals,192.0.2.1,NXDOMAIN,validated,30,udp,,,,\r\n"), std::string::npos);
}

TEST_F(ItemCsvTest, AFullTableTakesNoRowBeyondItsLastSlot)
{
    std::string rows = std::string(kHeader);
    for (std::uint32_t i = 0; i < kItemSlots + 1; ++i)
        rows += "item" + std::to_string(i) + ",i" + std::to_string(i) + ".example.test,A,127.0.0.1,,,,,,,,,,\n";
    // The 2049th row (line 2050) does not fit; it is reported once, and nothing goes in.
    ExpectRefused(rows, {{kItemSlots + 2, "The item table is full: delete an item first."}});

    // Without it the table fills to the last slot; then even one row more is refused.
    const std::string fits = rows.substr(0, rows.rfind("item2048,"));
    std::vector<CsvProblem> problems;
    ASSERT_EQ(ImportItemsCsv(fits, problems), static_cast<int>(kItemSlots));
    EXPECT_EQ(LockItems()->liveCount, kItemSlots);
    ExpectRefused(std::string(kHeader) + "more,more.test,A,127.0.0.1,,,,,,,,,,\n"
                                         "more2,more2.test,A,127.0.0.1,,,,,,,,,,\n",
                  {{2, "The item table is full: delete an item first."}});
    std::string reason;
    EXPECT_FALSE(AddItemFromFields({{"name", "m"}, {"domain", "m.test"}, {"type", "A"}, {"server", "127.0.0.1"}}, reason));
    EXPECT_EQ(reason, "The item table is full: delete an item first.");

    // A deleted row frees its slot for exactly one more.
    ASSERT_TRUE(DeleteItemRow(5));
    ExpectRefused(std::string(kHeader) + "more,more.test,A,127.0.0.1,,,,,,,,,,\n"
                                         "more2,more2.test,A,127.0.0.1,,,,,,,,,,\n",
                  {{3, "The item table is full: delete an item first."}});
    ASSERT_EQ(ImportItemsCsv(std::string(kHeader) + "more,more.test,A,127.0.0.1,,,,,,,,,,\n", problems), 1);
    EXPECT_EQ(LockItems()->liveCount, kItemSlots);
}
