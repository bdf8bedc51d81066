#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "items/address6.h"
#include "items/item_entry.h"
#include "items/item_table.h"

using namespace varnell;

namespace {

ItemEdit Edit(const std::string& name)
{
    ItemEdit e;
    e.interval = 1000;
    e.timeout = 2000;
    e.serverBE = 0x0100007F;
    e.name = name;
    e.domain = name + ".test";
    return e;
}

void AddItems(int n)
{
    for (int i = 0; i < n; ++i) {
        int slot = NewItemSlot();
        ASSERT_GE(slot, 0);
        ASSERT_TRUE(CommitNewItem(static_cast<std::uint32_t>(slot), Edit("item" + std::to_string(i))));
    }
}

} // namespace

// A slot is written only once it is reached (a load, a new item at the top),
// and then holds the start values, also after an earlier item used it.
TEST(ItemTable, NeverUsedSlotHoldsResetValues)
{
    InitItemTable();
    AddItems(9);
    InitItemTable();
    PrepareItemSlots(8);
    const DnsItem& item = LockItems()->items[7];
    EXPECT_EQ(item.interval, 0u);
    EXPECT_EQ(item.timeout, 0u);
    EXPECT_EQ(item.flags, 0x000A3F01u);
    EXPECT_EQ(item.typeIndex, 0u);
    EXPECT_EQ(item.requestId, 7u);
    EXPECT_EQ(item.rowPosition, -1);
    EXPECT_EQ(item.server.family, 2);
    EXPECT_EQ(item.server.portBE, 0x3500); // 53 in network byte order
    EXPECT_EQ(LockItems()->blocks[7].rttMin, 0xFFFFFFFFu);
    EXPECT_TRUE(LockItems()->blocks[7].name.empty());
    EXPECT_EQ(LockItems()->highWater, 0u);
}

TEST(ItemTable, DeletingRowsKeepsMapAndPositionsInOrder)
{
    InitItemTable();
    AddItems(3);
    ASSERT_EQ(LockItems()->rowCount, 3u);
    ASSERT_TRUE(DeleteItemRow(0));
    EXPECT_EQ(LockItems()->rowCount, 2u);
    EXPECT_EQ(LockItems()->liveCount, 2u);
    EXPECT_EQ(LockItems()->highWater, 3u); // slot 0 is a hole until the next load
    EXPECT_EQ(LockItems()->rowToSlot[0], 1);
    EXPECT_EQ(LockItems()->rowToSlot[1], 2);
    EXPECT_EQ(LockItems()->items[1].rowPosition, 0);
    EXPECT_EQ(LockItems()->items[2].rowPosition, 1);
    EXPECT_EQ(LockItems()->items[0].rowPosition, -1);
    EXPECT_NE(LockItems()->items[0].flags & kFlagDeleted, 0u);
    EXPECT_FALSE(DeleteItemRow(2));
}

TEST(ItemTable, DeletingTheOnlyItemEmptiesTheTable)
{
    InitItemTable();
    AddItems(1);
    ASSERT_TRUE(DeleteItemRow(0));
    EXPECT_EQ(LockItems()->rowCount, 0u);
    EXPECT_EQ(LockItems()->liveCount, 0u);
    EXPECT_EQ(LockItems()->highWater, 0u);
    EXPECT_EQ(NewItemSlot(), 0);
}

TEST(ItemTable, FullTableReusesOnlyIdleDeletedSlots)
{
    InitItemTable();
    AddItems(static_cast<int>(kItemSlots));
    EXPECT_EQ(LockItems()->highWater, kItemSlots);
    EXPECT_EQ(NewItemSlot(), -1);
    EXPECT_FALSE(CommitNewItem(kItemSlots, Edit("beyond")));

    ASSERT_TRUE(DeleteItemRow(10)); // slot 10
    SetOutstanding(LockItems()->items[10], 1);
    EXPECT_EQ(NewItemSlot(), -1) << "a slot with a pending request must not be reused";
    SetOutstanding(LockItems()->items[10], 0);
    ASSERT_EQ(NewItemSlot(), 10);
    LockItems()->blocks[10].sent = 99;
    ASSERT_TRUE(CommitNewItem(10, Edit("reused")));
    EXPECT_EQ(LockItems()->blocks[10].name, "reused");
    EXPECT_EQ(LockItems()->blocks[10].sent, 0u);
    EXPECT_EQ(LockItems()->items[10].rowPosition, static_cast<std::int32_t>(kItemSlots - 1));
    EXPECT_EQ(LockItems()->rowToSlot[kItemSlots - 1], 10);
    EXPECT_EQ(LockItems()->items[10].flags & kFlagDeleted, 0u);
}

TEST(ItemTable, SuspendAndResumeKeepOutstandingRequestsAndAnUpdateEndsThem)
{
    InitItemTable();
    AddItems(1);
    SetOutstanding(LockItems()->items[0], 2);
    SuspendItem(0);
    EXPECT_NE(LockItems()->items[0].flags & kFlagSuspended, 0u);
    EXPECT_EQ(Outstanding(LockItems()->items[0]), 2u);
    ItemEdit e = EditOf(LockItems()->items[0]);
    e.lostCount = 70; // six bits only
    e.notifyUp = false;
    CommitItemUpdate(0, e);
    EXPECT_EQ(LostCount(LockItems()->items[0]), 70u & 0x3Fu);
    EXPECT_EQ(LockItems()->items[0].flags & kFlagNotifyUp, 0u);
    EXPECT_EQ(Outstanding(LockItems()->items[0]), 0u);
    ResumeItem(0);
    EXPECT_EQ(LockItems()->items[0].flags & kFlagSuspended, 0u);
}

// Six bits are kept; a count that keeps none would mean down only after 65
// failures, and is refused.
TEST(ItemTable, EntryRulesRefuseALostCountKeptAsZero)
{
    InitItemTable();
    ItemEntry entry;
    entry.name = "lost";
    entry.domain = "lost.test";
    entry.server = "192.0.2.1";
    ItemEdit edit;
    for (const std::int32_t lost : {0, 64, 128}) {
        entry.lostCount = lost;
        EXPECT_EQ(CheckItemEntry(entry, {}, edit), kLostCountZeroMessage) << lost;
    }
    for (const auto& [lost, kept] : {std::pair{1, 1u}, {63, 63u}, {70, 6u}}) {
        entry.lostCount = lost;
        ASSERT_EQ(CheckItemEntry(entry, {}, edit), "") << lost;
        EXPECT_EQ(edit.lostCount, kept);
    }
}

TEST(ItemTable, FillItemListGivesLiveItemsTheirRows)
{
    InitItemTable();
    AddItems(3);
    LockItems()->blocks[1].state = 0xFFF;
    std::vector<std::uint32_t> inserted;
    FillItemList([&](DnsItem& item) { inserted.push_back(SlotOf(item)); });
    EXPECT_EQ(inserted, (std::vector<std::uint32_t>{0, 1, 2}));
    EXPECT_EQ(LockItems()->blocks[1].state, 0x800u); // only the down-reported bit survives
    EXPECT_EQ(LockItems()->items[2].requestId, 2u);
}

// An IPv6 server comes in through the one entry check, is stored as family 10
// with zero address bytes and its "server6=" text, and goes away again, text
// and all, when the item is given an IPv4 server.
TEST(ItemTable, Ipv6ServerIsCheckedStoredAndSwitchedBack)
{
    InitItemTable();
    ItemEntry entry;
    entry.name = "v6";
    entry.domain = "v6.test";
    const std::pair<const char*, const char*> refused[] = {
        {"2001:db8::g", "error dns server ip address !"},
        {"::", "The DNS server address :: names no computer: a reply never comes from it."},
        {"ff02::1", "The DNS server address is an IPv6 multicast address (ff00::/8): a reply never comes from it."},
        {"::ffff:192.0.2.1", "The DNS server address is an IPv4 address written as IPv6 (::ffff:0:0/96): enter the "
                             "IPv4 address itself."},
        {"fe80::1", "The DNS server address is an IPv6 link-local address (fe80::/10), which needs an interface an "
                    "item cannot name."},
    };
    ItemEdit edit;
    for (const auto& [text, why] : refused) {
        entry.server = text;
        EXPECT_EQ(CheckItemEntry(entry, {}, edit), why) << text;
    }
    entry.server = " 2001:DB8:0:0::53 ";
    ASSERT_EQ(CheckItemEntry(entry, {}, edit), "");
    ASSERT_TRUE(CommitNewItem(0, edit));
    DnsItem& item = LockItems()->items[0];
    ItemBlock& block = LockItems()->blocks[0];
    EXPECT_EQ(item.server.family, kEndpointFamily6);
    EXPECT_EQ(item.server.portBE, 0x3500);
    EXPECT_EQ(item.server.addrBE, 0u);
    EXPECT_EQ(item.reservedTextCount, 1u);
    EXPECT_EQ(block.reservedTexts[0], "server6=2001:db8::53");
    EXPECT_EQ(ServerAddressText(item), "2001:db8::53");

    // Another server keeps the text's place among texts the item had; the
    // unchanged edit writes the same record again.
    item.reservedTextCount = 3;
    block.reservedTexts[1] = "kept";
    block.reservedTexts[2] = "known6=2001:db8::1";
    ItemEdit again = EditOf(item);
    ASSERT_TRUE(again.server6);
    ASSERT_EQ(ParseServer6("2001:db8::54", again.server6Address), "");
    CommitItemUpdate(0, again);
    EXPECT_EQ(block.reservedTexts[0], "server6=2001:db8::54");
    EXPECT_EQ(item.reservedTextCount, 3u);

    entry.server = "192.0.2.53";
    ASSERT_EQ(CheckItemEntry(entry, {0}, edit), "");
    CommitItemUpdate(0, edit);
    EXPECT_EQ(item.server.family, kEndpointFamily4);
    EXPECT_EQ(ServerAddressText(item), "192.0.2.53");
    EXPECT_EQ(item.reservedTextCount, 2u);
    EXPECT_EQ(block.reservedTexts[0], "kept");
    EXPECT_EQ(block.reservedTexts[1], "known6=2001:db8::1");
    EXPECT_EQ(block.reservedTexts[2], "");
}
