// Blobs this program never wrote: cut short, with lying counts, with texts
// that never end. Loading must neither crash nor read past a record (the
// suite runs under AddressSanitizer) nor allocate what a count claims.
#include <algorithm>
#include <random>

#include "config/settings_blob.h"
#include "tests/config/store_fixture.h"

using namespace varnell;
using namespace varnell::test;

namespace {

DnsItem StoredItem(std::uint32_t textCount = 0, std::uint16_t intCount = 0)
{
    DnsItem item{};
    item.interval = 1500;
    item.flags = kNeverUsedFlags;
    item.reservedTextCount = textCount;
    item.reservedIntCount = intCount;
    return item;
}

Bytes ItemsBody(std::int64_t count, const std::vector<DnsItem>& items)
{
    Bytes body;
    body.I32(count);
    for (const DnsItem& item : items) {
        body.Raw(&item, sizeof item).Text("name").Text("desc").Text("dom");
        for (std::uint32_t k = 0; k < item.reservedTextCount && k < 64; ++k)
            body.Text("k");
        for (std::uint32_t m = 0; m < item.reservedIntCount; ++m)
            body.I32(m);
    }
    return body;
}

void Apply(const std::vector<std::uint8_t>& blob) { ApplySettingsBlob(blob, CurrentSettings(), *LockItems()); }

// What every load must leave, whatever the input.
void ExpectSane()
{
    const Settings& s = CurrentSettings();
    for (std::size_t i = 0; i < kGeneralTextCount; ++i)
        ASSERT_LE(s.general.texts[i].size(), kGeneralTextLimits[i]);
    ASSERT_LE(s.syslog.servers.size(), kMaxSyslogServers);
    const LockedItems locked = LockItems();
    const ItemTable& t = *locked;
    ASSERT_LE(t.highWater, kItemSlots);
    ASSERT_EQ(t.liveCount, t.highWater);
    for (std::uint32_t i = 0; i < t.highWater; ++i) {
        ASSERT_LE(t.items[i].knownCount, kKnownAddresses);
        ASSERT_LE(t.items[i].reservedTextCount, kReservedTexts);
        ASSERT_LE(t.items[i].reservedIntCount, kReservedInts);
        ASSERT_EQ(t.items[i].blockLink, i);
    }
}

using HostileBlob = StoreTest;

} // namespace

TEST_F(HostileBlob, CountsBeyondTheBodyAreBoundedByIt)
{
    Bytes blob;
    blob.Record(kRecordMessenger, Bytes().I32(2).I32(0x7FFFFFFF).I32(1).I32(0).I32(2).I32(0).Text("t"))
        .Record(kRecordMail, Bytes().I32(3).I32(0xFC).I32(3600).I32(0x7FFFFFFF).I32(25)
                                 .Text("s").Text("f").Text("n").Text("u").Text("p").Text("j").Text("x").Text("y")
                                 .Text("one@example.org").I32(0))
        .Record(kRecordSyslog, Bytes().I32(-5).Text("a").Text("b"));
    Bytes manyServers;
    manyServers.I32(0x40000000);
    for (int i = 0; i < 120; ++i)
        manyServers.I32(i).I32(0);
    manyServers.Text("tmpl").Text("msg");
    blob.Record(kRecordSyslog, manyServers);
    Apply(blob.b);
    ExpectSane();
    const Settings& s = CurrentSettings();
    EXPECT_EQ(s.messenger.retryTimes, 2);
    EXPECT_LE(s.messenger.receivers.size(), 3u) << "26 bytes after the counts hold at most 3 receivers";
    ASSERT_EQ(s.mail.receivers.size(), 1u);
    EXPECT_EQ(s.mail.receivers[0], "one@example.org");
    EXPECT_EQ(s.syslog.servers.size(), 88u);
}

TEST_F(HostileBlob, ItemCountsAndReservedCountsOutOfRange)
{
    // A count far above the table and the body: only the items present load.
    Bytes blob;
    blob.Record(kRecordItems, ItemsBody(0x7FFFFFFF, {StoredItem(), StoredItem()}));
    Apply(blob.b);
    ExpectSane();
    EXPECT_EQ(LockItems()->highWater, 2u);
    EXPECT_EQ(LockItems()->blocks[1].domain, "dom");

    // More further texts or integers than the block holds: the excess is
    // skipped and the walk goes on with the next item, whose texts come back
    // whole; the kept counts match what the block holds.
    for (const DnsItem& bad : {StoredItem(33, 0), StoredItem(0, 257), StoredItem(40, 300)}) {
        InitItemTable();
        Bytes b;
        b.Record(kRecordItems, ItemsBody(3, {StoredItem(2, 4), bad, StoredItem()}));
        Apply(b.b);
        ExpectSane();
        EXPECT_EQ(LockItems()->highWater, 3u);
        EXPECT_EQ(LockItems()->blocks[0].reservedTexts[1], "k");
        EXPECT_EQ(LockItems()->blocks[0].reservedInts[3], 3);
        EXPECT_EQ(LockItems()->blocks[1].domain, "dom");
        EXPECT_EQ(LockItems()->items[1].reservedTextCount, std::min(bad.reservedTextCount, kReservedTexts));
        EXPECT_EQ(LockItems()->blocks[2].name, "name");
        EXPECT_EQ(LockItems()->blocks[2].domain, "dom");
    }
    // A count no body can hold reads to the body's end: the item before stays.
    InitItemTable();
    Bytes lying;
    lying.Record(kRecordItems, ItemsBody(3, {StoredItem(2, 4), StoredItem(0xFFFFFFFFu, 0), StoredItem()}));
    Apply(lying.b);
    ExpectSane();
    EXPECT_GE(LockItems()->highWater, 1u);
    EXPECT_EQ(LockItems()->blocks[0].domain, "dom");

    // The limits themselves are fine.
    InitItemTable();
    Bytes edge;
    edge.Record(kRecordItems, ItemsBody(1, {StoredItem(32, 256)}));
    Apply(edge.b);
    EXPECT_EQ(LockItems()->highWater, 1u);

    // A known-address count past the array is cut to it.
    InitItemTable();
    DnsItem wide = StoredItem();
    wide.knownCount = 100000;
    Bytes known;
    known.Record(kRecordItems, ItemsBody(-1, {}));
    known.Record(kRecordItems, ItemsBody(1, {wide}));
    Apply(known.b);
    ExpectSane();
    EXPECT_EQ(LockItems()->items[0].knownCount, kKnownAddresses);
}

TEST_F(HostileBlob, TextWithoutTerminatorEndsOnlyItsRecord)
{
    Bytes general;
    general.Zeros(kGeneralBlockSize).Text("/bin/run-me").Text("events.log").Raw("no end in sight", 15);
    Bytes blob;
    blob.Record(kRecordGeneral, general)
        .Record(kRecordSyslog, Bytes().I32(1).I32(0x0900007F).I32(0).Raw("tmpl", 4))
        .Record(kRecordMail, Bytes().I32(3).I32(1).I32(3600).I32(0).I32(587).Text("mx.example").Raw("from", 4));
    Apply(blob.b);
    ExpectSane();
    const Settings& s = CurrentSettings();
    EXPECT_EQ(s.general.texts[kTextExecPath], "/bin/run-me");
    EXPECT_EQ(s.general.texts[kTextLogPath], "events.log");
    EXPECT_EQ(s.general.texts[kTextSenderName], "") << "the unterminated text is not taken";
    EXPECT_EQ(s.general.texts[kTextMsgTest], "This is a test message");
    ASSERT_EQ(s.syslog.servers.size(), 1u);
    EXPECT_EQ(s.syslog.messageTemplate, "PEER is <IP_ADDR>/<HOST_NAME> <EVENT>");
    EXPECT_EQ(s.mail.port, 587);
    EXPECT_EQ(s.mail.server, "mx.example");
    EXPECT_EQ(s.mail.fromAddress, "");
}

TEST_F(HostileBlob, BrokenRecordHeadersEndTheWalk)
{
    const Bytes syslog = Bytes().I32(1).I32(0x0A00007F).I32(0).Text("x").Text("y");
    // A negative length.
    Bytes negative;
    negative.I32(0).I32(kRecordMail).I32(-12).Record(kRecordSyslog, syslog);
    Apply(negative.b);
    EXPECT_TRUE(CurrentSettings().syslog.servers.empty());
    // A body running past the end; the records before it are applied.
    Bytes past;
    past.Record(kRecordSyslog, syslog).I32(1).I32(kRecordGeneral).I32(5000).Zeros(100);
    Apply(past.b);
    EXPECT_EQ(CurrentSettings().syslog.servers.size(), 1u);
    // A general block cut short is not half copied.
    CurrentSettings() = DefaultSettings(0);
    Bytes shortBlock;
    shortBlock.Record(kRecordGeneral, Bytes().Zeros(100));
    Apply(shortBlock.b);
    EXPECT_EQ(CurrentSettings().general.Flags(), kDefaultGeneralFlags);
    // Headers cut in the middle.
    for (std::size_t n = 1; n < 12; ++n)
        Apply(std::vector<std::uint8_t>(syslog.b.begin(), syslog.b.begin() + static_cast<long>(n)));
    ExpectSane();
}

TEST_F(HostileBlob, EveryTruncationAndRandomDamageLoadsSafely)
{
    for (int i = 0; i < 3; ++i)
        AddItem("t" + std::to_string(i));
    LockItems()->items[1].reservedTextCount = 2;
    LockItems()->items[2].reservedIntCount = 3;
    CurrentSettings().mail.receivers = {"x@example.org"};
    CurrentSettings().syslog.servers = {1, 2, 3};
    std::vector<std::uint8_t> good;
    BuildSettingsBlob(CurrentSettings(), *LockItems(), good);

    for (std::size_t len = 0; len < good.size(); len += (len < 200 || len > good.size() - 12000) ? 1 : 7) {
        Apply(std::vector<std::uint8_t>(good.begin(), good.begin() + static_cast<long>(len)));
        ExpectSane();
    }

    // Damage a header or count field, or any byte, at random.
    std::mt19937 rng(20261208);
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::uint8_t> bad = good;
        const int flips = 1 + static_cast<int>(rng() % 8);
        for (int f = 0; f < flips; ++f) {
            const std::size_t at = rng() % bad.size();
            bad[at] = static_cast<std::uint8_t>(rng() % 3 == 0 ? 0xFF : rng());
        }
        Apply(bad);
        ExpectSane();
    }
}
