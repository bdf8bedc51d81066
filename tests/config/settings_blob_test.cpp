// The records of the blob: layout of what a save writes, what a load takes
// back, and the compaction of the item table.
#include <algorithm>
#include <arpa/inet.h>
#include <cstring>

#include "config/settings_blob.h"
#include "items/address6.h"
#include "tests/config/store_fixture.h"

using namespace varnell;
using namespace varnell::test;

namespace {

struct RecordView {
    std::int32_t sequence, type;
    std::span<const std::uint8_t> body;
};

std::vector<RecordView> Records(const std::vector<std::uint8_t>& blob)
{
    std::vector<RecordView> out;
    std::size_t at = 0;
    while (at + 12 <= blob.size()) {
        const auto len = LoadU32LE(&blob[at + 8]);
        if (len > blob.size() - at - 12)
            break;
        out.push_back({static_cast<std::int32_t>(LoadU32LE(&blob[at])), static_cast<std::int32_t>(LoadU32LE(&blob[at + 4])),
                       std::span<const std::uint8_t>(blob).subspan(at + 12, len)});
        at += 12 + len;
    }
    EXPECT_EQ(at, blob.size()) << "records fill the blob exactly";
    return out;
}

std::vector<std::uint8_t> Save()
{
    std::vector<std::uint8_t> blob;
    BuildSettingsBlob(CurrentSettings(), *LockItems(), blob);
    return blob;
}

std::uint32_t AddressBE(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    return std::uint32_t{a} | (std::uint32_t{b} << 8) | (std::uint32_t{c} << 16) | (std::uint32_t{d} << 24);
}

using SettingsBlob = StoreTest;

} // namespace

TEST_F(SettingsBlob, DefaultsAreWrittenAsNineRecordsInTypeOrder)
{
    const auto blob = Save();
    const auto records = Records(blob);
    ASSERT_EQ(records.size(), 9u);
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].sequence, static_cast<std::int32_t>(i));
        EXPECT_EQ(records[i].type, static_cast<std::int32_t>(i + 1));
    }
    // General: block, 13 texts (two of them set by default), 128 empty texts.
    const auto general = records[0].body;
    EXPECT_EQ(general.size(), 4474u + 13 + std::strlen("varnell.log") + std::strlen("This is a test message") + 128);
    EXPECT_EQ(LoadU32LE(general.data() + 40), 0x34A7Fu);
    EXPECT_TRUE(std::all_of(general.end() - 128, general.end(), [](std::uint8_t c) { return c == 0; }));

    // Messenger: retry 1, one receiver (this computer), template.
    const auto messenger = records[1].body;
    EXPECT_EQ(LoadU32LE(messenger.data()), 1u);
    EXPECT_EQ(LoadU32LE(messenger.data() + 4), 1u);
    EXPECT_EQ(LoadU32LE(messenger.data() + 8), kLocalAddressBE);
    EXPECT_EQ(LoadU32LE(messenger.data() + 12), 0u);

    // Reserved records end in six empty texts and carry the trailing count 6.
    EXPECT_EQ(LoadU32LE(records[3].body.data() + 4), 6u);
    EXPECT_EQ(LoadU32LE(records[4].body.data()), 0x3Fu);
    EXPECT_EQ(LoadU32LE(records[4].body.data() + 8), 6u);
    EXPECT_EQ(records[6].body.size(), 104u + 8 + 6);
    EXPECT_EQ(LoadU32LE(records[6].body.data() + 100), 6u);
    // An empty item table is just its count.
    EXPECT_EQ(records[8].body.size(), 4u);
    EXPECT_EQ(LoadU32LE(records[8].body.data()), 0u);
}

TEST_F(SettingsBlob, MailPasswordIsStoredAsPlainTextInTheMailRecord)
{
    MailSettings& mail = CurrentSettings().mail;
    mail.server = "smtp.example";
    mail.user = "operator";
    mail.password = "pa55-w0rd";
    mail.receivers = {"a@example.org", "b@example.org"};
    const auto blob = Save();
    const auto mailRecord = Records(blob)[2];
    ASSERT_EQ(mailRecord.type, kRecordMail);
    // Five integers, then server, from address, from name, user, password.
    ByteReader r(mailRecord.body);
    ASSERT_TRUE(r.Skip(20));
    std::string text;
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(r.ReadCString(text));
    EXPECT_EQ(text, "operator");
    ASSERT_TRUE(r.ReadCString(text));
    EXPECT_EQ(text, "pa55-w0rd");
    EXPECT_EQ(LoadU32LE(mailRecord.body.data() + 12), 2u) << "receiver count";
}

TEST_F(SettingsBlob, EverySettingComesBack)
{
    Settings& s = CurrentSettings();
    s.general.SetFlags(0x2A55Au);
    s.general.SetRepeatSeconds(7);
    s.general.block[4300] = 0xAB; // reserved bytes are carried
    s.general.texts[kTextLogPath] = "/var/tmp/events.log";
    s.general.texts[kTextSoundPath] = "/usr/share/sounds/alarm.wav";
    s.messenger.retryTimes = 3;
    s.messenger.receivers = {AddressBE(10, 0, 0, 1), AddressBE(10, 0, 0, 2), AddressBE(192, 168, 1, 9)};
    s.messenger.messageTemplate = "<EVENT> only";
    s.mail.flags = 0x3;
    s.mail.port = 2525;
    s.mail.fromAddress = "varnell@example.org";
    s.mail.receivers = {"ops@example.org", "", "pager@example.org"};
    s.record5.ints = {0x1F, 42};
    s.record5.texts = {"five-a", "five-b"};
    s.record7.block[50] = 9;
    s.record7.texts[7] = "seventh";
    for (std::uint8_t i = 0; i < 90; ++i)
        s.syslog.servers.push_back(AddressBE(127, 0, 1, i));
    s.syslog.testMessage = "syslog says hi";

    const auto blob = Save();
    const Settings saved = s;
    CurrentSettings() = DefaultSettings(0);
    ApplySettingsBlob(blob, CurrentSettings(), *LockItems());
    const Settings& back = CurrentSettings();

    EXPECT_EQ(back.general.block, saved.general.block);
    EXPECT_EQ(back.general.texts, saved.general.texts);
    EXPECT_EQ(back.messenger.retryTimes, 3);
    EXPECT_EQ(back.messenger.receivers, saved.messenger.receivers);
    EXPECT_EQ(back.messenger.messageTemplate, "<EVENT> only");
    EXPECT_EQ(back.mail.flags, 0x3u);
    EXPECT_EQ(back.mail.port, 2525);
    EXPECT_EQ(back.mail.fromAddress, saved.mail.fromAddress);
    EXPECT_EQ(back.mail.receivers, saved.mail.receivers);
    EXPECT_EQ(back.record5.ints, saved.record5.ints);
    EXPECT_EQ(back.record5.texts, saved.record5.texts);
    EXPECT_EQ(back.record5.trailingCount, 6);
    EXPECT_EQ(back.record7.block, saved.record7.block);
    EXPECT_EQ(back.record7.texts, saved.record7.texts);
    ASSERT_EQ(back.syslog.servers.size(), 88u) << "the server table holds 88";
    EXPECT_TRUE(std::equal(back.syslog.servers.begin(), back.syslog.servers.end(), saved.syslog.servers.begin()));
    EXPECT_EQ(back.syslog.testMessage, "syslog says hi");
}

TEST_F(SettingsBlob, TextsAreCutAtTheirLoadLimits)
{
    GeneralSettings& g = CurrentSettings().general;
    for (std::size_t i = 0; i < kGeneralTextCount; ++i)
        g.texts[i] = std::string(1400, static_cast<char>('a' + i));
    g.texts[kTextExecPath] = std::string(300, 'x');
    const auto blob = Save();
    ApplySettingsBlob(blob, CurrentSettings(), *LockItems());
    EXPECT_EQ(g.texts[kTextExecPath], std::string(271, 'x'));
    const std::size_t expected[kGeneralTextCount] = {271, 271, 255, 255, 269, 255, 1287, 127, 65, 65, 269, 255, 255};
    for (std::size_t i = 1; i < kGeneralTextCount; ++i)
        EXPECT_EQ(g.texts[i], std::string(expected[i], static_cast<char>('a' + i))) << "text " << i + 1;
}

TEST_F(SettingsBlob, UnknownRecordTypesAreSkippedByLength)
{
    Bytes syslog;
    syslog.I32(1).I32(static_cast<std::int64_t>(AddressBE(127, 0, 0, 9))).I32(0).Text("tmpl").Text("test");
    Bytes blob;
    blob.Record(10, Bytes().Text("from a newer program").I32(8).I32(1).I32(4))
        .Record(0, Bytes().Zeros(16))
        .Record(-3, Bytes().Zeros(3))
        .Record(0x7FFFFFFF, Bytes())
        .Record(kRecordSyslog, syslog);
    ApplySettingsBlob(blob.b, CurrentSettings(), *LockItems());
    ASSERT_EQ(CurrentSettings().syslog.servers.size(), 1u);
    EXPECT_EQ(CurrentSettings().syslog.servers[0], AddressBE(127, 0, 0, 9));
    EXPECT_EQ(CurrentSettings().syslog.messageTemplate, "tmpl");
}

TEST_F(SettingsBlob, DeletedItemsAreNotStoredAndReloadCompacts)
{
    for (int i = 0; i < 5; ++i)
        AddItem("n" + std::to_string(i));
    LockedItems locked = LockItems();
    ItemTable& t = *locked;
    SetOutstanding(t.items[2], 3);
    t.items[2].nextDue = 123456;
    SuspendItem(4);
    ASSERT_TRUE(DeleteItemRow(3)); // n3
    ASSERT_TRUE(DeleteItemRow(1)); // n1
    ASSERT_EQ(t.highWater, 5u);

    const auto blob = Save();
    EXPECT_EQ(LoadU32LE(Records(blob)[8].body.data()), 3u) << "stored count is the live count";
    ASSERT_EQ(WriteSettingsBlob(blob.data(), blob.size()), 1);

    InitItemTable();
    ASSERT_EQ(LoadSettings(), 0);
    EXPECT_EQ(t.highWater, 3u);
    EXPECT_EQ(t.liveCount, 3u);
    const char* names[3] = {"n0", "n2", "n4"};
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(t.blocks[i].name, names[i]);
        EXPECT_EQ(t.blocks[i].domain, std::string(names[i]) + ".example");
        EXPECT_EQ(t.items[i].blockLink, i);
        EXPECT_EQ(t.items[i].flags & (kFlagDeleted | kFlagOutstandingMask), 0u);
        EXPECT_EQ(t.items[i].nextDue, 0u);
    }
    EXPECT_EQ(t.items[2].flags & kFlagSuspended, kFlagSuspended) << "suspension survives a restart";
    EXPECT_EQ(t.items[0].interval, 1000u);
    EXPECT_EQ(t.items[1].server.addrBE, 0x0200007Fu);
}

TEST_F(SettingsBlob, FullTableRoundTripsByteForByte)
{
    LockedItems locked = LockItems();
    ItemTable& t = *locked;
    for (std::uint32_t i = 0; i < kItemSlots; ++i) {
        AddItem("host-" + std::to_string(i), 0x0100007F + (i << 24));
        DnsItem& item = t.items[i];
        item.typeIndex = i % kRecordTypeCount;
        item.mailGroup = -static_cast<std::int32_t>(i);
        item.knownCount = i % 5;
        for (std::uint32_t k = 0; k < item.knownCount; ++k)
            item.known[k].addrBE = i * 7 + k;
        item.reserved1[i % 668] = static_cast<std::uint8_t>(i);
    }
    // A few items carry the reserved texts and integers.
    t.items[5].reservedTextCount = 2;
    t.blocks[5].reservedTexts = {"r0", "r1"};
    t.items[2047].reservedTextCount = kReservedTexts;
    t.blocks[2047].reservedTexts.fill("full");
    t.items[9].reservedIntCount = 256;
    for (int m = 0; m < 256; ++m)
        t.blocks[9].reservedInts[m] = m * -3;

    SaveSettings();
    const auto before = Save();
    InitItemTable();
    CurrentSettings() = DefaultSettings(0);
    ASSERT_EQ(LoadSettings(), 0);
    EXPECT_EQ(t.highWater, kItemSlots);
    EXPECT_EQ(t.liveCount, kItemSlots);
    EXPECT_EQ(t.blocks[2047].reservedTexts[31], "full");
    EXPECT_EQ(t.blocks[9].reservedInts[255], -765);
    EXPECT_TRUE(Save() == before);
}

// An AAAA item's known addresses travel as its "known6=" text and an IPv6
// server as its "server6=" text beside the other extra texts; an unreadable one
// suspends the item and says so.
TEST_F(SettingsBlob, Ipv6TextsComeBackAndUnreadableOnesAreSuspended)
{
    LockedItems locked = LockItems();
    ItemTable& t = *locked;
    const std::uint32_t a = AddItem("v6");
    const std::uint32_t b = AddItem("other");
    const std::uint32_t bad = AddItem("broken");
    const std::uint32_t plain = AddItem("v4");
    for (const std::uint32_t s : {a, b, bad})
        t.items[s].typeIndex = kRecordTypeAaaa;
    // IPv6 servers: one well stored (an AAAA item as well), and the ways a
    // stored one can be unreadable.
    ItemEdit v6 = EditOf(t.items[a]);
    v6.server6 = true;
    ASSERT_EQ(ParseServer6("2001:db8::53", v6.server6Address), "");
    CommitItemUpdate(a, v6);
    const std::uint32_t noText = AddItem("no text");
    const std::uint32_t badText = AddItem("bad text");
    const std::uint32_t stray = AddItem("stray");
    v6.name = "no text";
    CommitItemUpdate(noText, v6);
    RemoveServer6(t.items[noText], t.blocks[noText]);
    v6.name = "bad text";
    CommitItemUpdate(badText, v6);
    t.blocks[badText].reservedTexts[0] = "server6=ff02::1";
    t.items[stray].reservedTextCount = 1;
    t.blocks[stray].reservedTexts[0] = "server6=2001:db8::53";
    // Known addresses as a probe leaves them, after an extra text the item had.
    t.items[a].reservedTextCount = 2;
    t.blocks[a].reservedTexts[1] = "kept";
    t.blocks[a].known6Count = 2;
    inet_pton(AF_INET6, "2001:db8::1", t.blocks[a].known6[0].bytes);
    inet_pton(AF_INET6, "2001:db8::a:2", t.blocks[a].known6[1].bytes);
    ASSERT_TRUE(StoreKnown6(t.items[a], t.blocks[a]));
    EXPECT_EQ(t.blocks[a].reservedTexts[2], "known6=2001:db8::1; 2001:db8::a:2");
    // The event texts' trailing "; " is read as well; rewriting keeps the text's place.
    t.items[b].reservedTextCount = 2;
    t.blocks[b].reservedTexts[0] = "known6=2001:DB8::5; ";
    t.blocks[b].reservedTexts[1] = "after";
    t.items[bad].reservedTextCount = 1;
    t.blocks[bad].reservedTexts[0] = "known6=2001:db8::1; 192.0.2.1";

    SaveSettings();
    const auto before = Save();
    InitItemTable();
    TakeItemLoadNotes();
    ASSERT_EQ(LoadSettings(), 0);
    for (const std::uint32_t s : {bad, noText, badText, stray}) {
        EXPECT_EQ(t.items[s].flags & kFlagSuspended, kFlagSuspended) << t.blocks[s].name;
        ResumeItem(s);
    }
    EXPECT_EQ(t.items[a].flags & kFlagSuspended, 0u);
    EXPECT_TRUE(Save() == before) << "every record and extra text comes back as it was";
    EXPECT_EQ(t.items[a].server.family, kEndpointFamily6);
    EXPECT_EQ(ServerAddressText(t.items[a]), "2001:db8::53");
    EXPECT_EQ(ServerAddressText(t.items[badText]), "::") << "no address is taken from an unreadable text";
    EXPECT_EQ(t.blocks[a].known6Count, 2u);
    EXPECT_EQ(FirstKnownAddressText(t.items[a]), "2001:db8::1");
    EXPECT_EQ(t.blocks[b].known6Count, 1u);
    EXPECT_EQ(FirstKnownAddressText(t.items[plain]), "0.0.0.0");
    EXPECT_EQ(t.items[b].flags & kFlagSuspended, 0u);
    EXPECT_EQ(t.blocks[bad].known6Count, 0u);
    EXPECT_EQ(TakeItemLoadNotes(), (std::vector<std::string>{
                                       "broken is suspended: its stored known6= addresses cannot be read",
                                       "no text is suspended: its stored server6= address cannot be read",
                                       "bad text is suspended: its stored server6= address cannot be read",
                                       "stray is suspended: its stored server6= address cannot be read"}));
    ASSERT_TRUE(StoreKnown6(t.items[b], t.blocks[b]));
    EXPECT_EQ(t.blocks[b].reservedTexts[0], "known6=2001:db8::5");
    EXPECT_EQ(t.blocks[b].reservedTexts[1], "after");
    EXPECT_EQ(t.items[b].reservedTextCount, 2u);

    for (const char* malformed : {"known6=;", "known6=2001:db8::1;; 2001:db8::2", "known6=2001:db8::1 2001:db8::2"}) {
        t.blocks[bad].reservedTexts[0] = malformed;
        EXPECT_FALSE(LoadKnown6(t.items[bad], t.blocks[bad])) << malformed;
    }
    t.blocks[bad].reservedTexts[0] = "known6=";
    EXPECT_TRUE(LoadKnown6(t.items[bad], t.blocks[bad])) << "no known addresses yet";
}
