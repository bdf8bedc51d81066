#include "items/item_table.h"

#include "items/transport_state.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <new>

#include "items/address6.h"
#include "items/answer_eval.h"

namespace varnell {

namespace {

struct RecordType {
    const char* name;
    std::uint16_t queryType;
};
constexpr RecordType kRecordTypes[kRecordTypeCount] = {
    {"A", 1}, {"CNAME", 5}, {"MX", 15}, {"NS", 2}, {"PTR", 12}, {"SOA", 6}, {"AAAA", 28},
    // Read for their content (dns/record_text.h): their answer is a set of records.
    {"TXT", 16}, {"SRV", 33}, {"CAA", 257}, {"HTTPS", 65}, {"DNSKEY", 48}, {"DS", 43},
};

ItemTable& Table()
{
    // 2048 records and blocks are about 30 MB, allocated once and never freed;
    // only the slots in use become resident. An allocation this large is a
    // fresh mapping of zero pages, which calloc hands over without writing them
    // (and which the leak checker scans for the blocks' strings, unlike a
    // mapping of our own).
    static ItemTable* table = [] {
        void* pages = std::calloc(1, sizeof(ItemTable));
        if (pages == nullptr)
            std::abort(); // at start-up, before any item exists
        return new (pages) ItemTable; // default-initialised: the records and blocks are not written
    }();
    return *table;
}

void ApplyEdit(DnsItem& item, const ItemEdit& edit)
{
    item.interval = edit.interval;
    item.timeout = edit.timeout;
    ItemBlock& block = BlockOf(item);
    item.server.family = edit.server6 ? kEndpointFamily6 : kEndpointFamily4;
    item.server.portBE = static_cast<std::uint16_t>((53u >> 8) | (53u << 8));
    item.server.addrBE = edit.server6 ? 0 : edit.serverBE;
    std::memset(item.server.zero, 0, sizeof item.server.zero);
    block.server6 = edit.server6 ? edit.server6Address : Address6{};
    // An item whose 32 extra texts are all taken keeps no "server6=" text and
    // so loads suspended next time, with a row that names it, rather than losing
    // one of its texts.
    if (edit.server6)
        StoreServer6(item, block);
    else
        RemoveServer6(item, block);
    item.typeIndex = edit.typeIndex < kRecordTypeCount ? edit.typeIndex : 0;
    item.mailGroup = edit.mailGroup;
    auto set = [&item](std::uint32_t bit, bool on) { item.flags = on ? (item.flags | bit) : (item.flags & ~bit); };
    set(kFlagNotifyDown, edit.notifyDown);
    set(kFlagNotifyUp, edit.notifyUp);
    set(kFlagNotifyChange, edit.notifyChange);
    set(kFlagRecursionDesired, edit.recursionDesired);
    set(kFlagRecursionAvailable, edit.recursionAvailable);
    set(kFlagHighPriorityMail, edit.highPriorityMail);
    SetLostCount(item, edit.lostCount);
    block.name = edit.name;
    block.description = edit.description;
    block.domain = edit.domain;
}

std::atomic<ItemRequestsEnder> g_endRequests{nullptr};

// Engine lock held.
void EndItemRequests(std::uint32_t slot)
{
    if (ItemRequestsEnder end = g_endRequests.load())
        end(slot);
    SetOutstanding(Table().items[slot], 0);
}

void ResetSlot(std::uint32_t i)
{
    ItemTable& t = Table();
    DnsItem& item = t.items[i];
    std::memset(&item, 0, sizeof item);
    item.blockLink = i;
    item.rowPosition = -1;
    item.requestId = i;
    item.flags = kNeverUsedFlags;
    item.server.family = kEndpointFamily4;
    item.server.portBE = static_cast<std::uint16_t>((53u >> 8) | (53u << 8));
    t.rowToSlot[i] = 0;
    ResetItemBlock(t.blocks[i]);
    AnswerOf(i) = AnswerState{};
}

} // namespace

std::recursive_mutex& EngineLock()
{
    static std::recursive_mutex* lock = new std::recursive_mutex();
    return *lock;
}

LockedItems LockItems()
{
    static Guarded<ItemTable> guarded(EngineLock(), Table());
    return guarded.Lock();
}

std::uint32_t SlotOf(const DnsItem& item) { return static_cast<std::uint32_t>(&item - Table().items.data()); }

ItemBlock& BlockOf(const DnsItem& item) { return Table().blocks[SlotOf(item)]; }

void SetItemRequestsEnder(ItemRequestsEnder ender) { g_endRequests.store(ender); }

const char* RecordTypeName(std::uint32_t typeIndex)
{
    return typeIndex < kRecordTypeCount ? kRecordTypes[typeIndex].name : "";
}

std::uint16_t RecordQueryType(std::uint32_t typeIndex)
{
    return typeIndex < kRecordTypeCount ? kRecordTypes[typeIndex].queryType : 1;
}

void ResetItemBlock(ItemBlock& block)
{
    block.~ItemBlock();
    new (&block) ItemBlock();
}

int ItemTextIndex(const DnsItem& item, const ItemBlock& block, std::string_view prefix)
{
    const std::uint32_t n = std::min(item.reservedTextCount, kReservedTexts);
    for (std::uint32_t k = 0; k < n; ++k) {
        if (block.reservedTexts[k].starts_with(prefix))
            return static_cast<int>(k);
    }
    return -1;
}

bool StoreItemText(DnsItem& item, ItemBlock& block, std::string_view prefix, std::string text)
{
    const int k = ItemTextIndex(item, block, prefix);
    if (k >= 0) {
        block.reservedTexts[static_cast<std::size_t>(k)] = std::move(text);
        return true;
    }
    if (item.reservedTextCount >= kReservedTexts)
        return false;
    block.reservedTexts[item.reservedTextCount++] = std::move(text);
    return true;
}

void ItemBlocks::Build(std::size_t count)
{
    for (; built < count && built < kItemSlots; ++built)
        new (storage + built * sizeof(ItemBlock)) ItemBlock();
}

bool ReplaceItemTexts(DnsItem& item, ItemBlock& block, bool (*owned)(std::string_view text),
                      std::vector<std::string> texts)
{
    std::vector<std::string> kept;
    const std::uint32_t n = std::min(item.reservedTextCount, kReservedTexts);
    for (std::uint32_t k = 0; k < n; ++k)
        if (!owned(block.reservedTexts[k]))
            kept.push_back(block.reservedTexts[k]);
    if (kept.size() + texts.size() > kReservedTexts)
        return false;
    std::move(texts.begin(), texts.end(), std::back_inserter(kept));
    for (std::uint32_t k = 0; k < kReservedTexts; ++k)
        block.reservedTexts[k] = k < kept.size() ? std::move(kept[k]) : std::string();
    item.reservedTextCount = static_cast<std::uint32_t>(kept.size());
    return true;
}

void InitItemTable()
{
    std::lock_guard lock(EngineLock());
    ItemTable& t = Table();
    for (std::uint32_t i = 0; i < t.touched; ++i)
        ResetSlot(i);
    ResetTransportStates();
    t.highWater = 0;
    t.liveCount = 0;
    t.rowCount = 0;
}

void PrepareItemSlots(std::uint32_t count)
{
    std::lock_guard lock(EngineLock());
    ItemTable& t = Table();
    for (; t.touched < count && t.touched < kItemSlots; ++t.touched)
        ResetSlot(t.touched);
}

void FillItemList(const std::function<void(DnsItem&)>& insertRow)
{
    ItemTable& t = Table();
    t.rowCount = 0;
    for (std::uint32_t i = 0; i < t.liveCount && i < kItemSlots; ++i) {
        DnsItem& item = t.items[i];
        {
            std::lock_guard lock(EngineLock());
            item.requestId = i;
            item.rowPosition = static_cast<std::int32_t>(t.rowCount);
            t.blocks[i].state &= ~(kStateRunMask | kStateImageMask | kStateFailing | kStateReserved10);
        }
        t.rowToSlot[t.rowCount] = static_cast<std::uint16_t>(i);
        ++t.rowCount;
        if (insertRow)
            insertRow(item);
    }
}

ItemEdit EditOf(const DnsItem& item)
{
    const LockedItems items = LockItems();
    const ItemBlock& block = items->blocks[SlotOf(item)];
    ItemEdit e;
    e.interval = item.interval;
    e.timeout = item.timeout;
    e.serverBE = item.server.addrBE;
    e.server6 = IsServer6Item(item);
    e.server6Address = block.server6;
    e.typeIndex = item.typeIndex;
    e.mailGroup = item.mailGroup;
    e.lostCount = LostCount(item);
    e.notifyDown = (item.flags & kFlagNotifyDown) != 0;
    e.notifyUp = (item.flags & kFlagNotifyUp) != 0;
    e.notifyChange = (item.flags & kFlagNotifyChange) != 0;
    e.recursionDesired = (item.flags & kFlagRecursionDesired) != 0;
    e.recursionAvailable = (item.flags & kFlagRecursionAvailable) != 0;
    e.highPriorityMail = (item.flags & kFlagHighPriorityMail) != 0;
    e.name = block.name;
    e.description = block.description;
    e.domain = block.domain;
    return e;
}

int NewItemSlot()
{
    ItemTable& t = Table();
    if (t.highWater < kItemSlots) {
        // The dialog of a new item starts from the slot's record: reached now.
        PrepareItemSlots(t.highWater + 1);
        return static_cast<int>(t.highWater);
    }
    // Full up to the top: reuse a deleted slot, but only once none of its requests
    // is still pending, so no late reply of the old item is taken for the new one.
    std::lock_guard lock(EngineLock());
    for (std::uint32_t i = 0; i < kItemSlots; ++i) {
        const DnsItem& item = t.items[i];
        if ((item.flags & kFlagDeleted) != 0 && Outstanding(item) == 0 && item.rowPosition < 0)
            return static_cast<int>(i);
    }
    return -1;
}

bool CommitNewItem(std::uint32_t slot, const ItemEdit& edit)
{
    ItemTable& t = Table();
    if (slot >= kItemSlots || t.rowCount >= kItemSlots)
        return false;
    const bool atTop = slot == t.highWater;
    std::lock_guard lock(EngineLock());
    PrepareItemSlots(slot + 1);
    DnsItem& item = t.items[slot];
    if (!atTop && ((item.flags & kFlagDeleted) == 0 || Outstanding(item) != 0))
        return false;
    if (!atTop) {
        // A reclaimed slot starts as a fresh item: nothing of the deleted one stays.
        ResetSlot(slot);
    } else {
        // Statistics of an item deleted from the top of the table do not carry over.
        ResetItemBlock(t.blocks[slot]);
        AnswerOf(slot) = AnswerState{};
        item.flags &= ~(kFlagDeleted | kFlagSuspended | kFlagOutstandingMask);
    }
    // The block's texts were reset with it: the record's counts of them follow,
    // and so does what was kept beside them.
    item.reservedTextCount = 0;
    TransportOf(slot) = TransportState{};
    item.reservedIntCount = 0;
    ApplyEdit(item, edit);
    item.nextDue = 0;
    item.knownCount = 0;
    item.rowPosition = static_cast<std::int32_t>(t.rowCount);
    t.rowToSlot[t.rowCount] = static_cast<std::uint16_t>(slot);
    ++t.rowCount;
    ++t.liveCount;
    if (atTop)
        ++t.highWater;
    return true;
}

void CommitItemUpdate(std::uint32_t slot, const ItemEdit& edit)
{
    if (slot >= kItemSlots)
        return;
    std::lock_guard lock(EngineLock());
    ApplyEdit(Table().items[slot], edit);
    // What the item learnt of its servers was learnt for the old settings, and
    // a reply to the old settings (another server, name or type) must not be
    // gathered for the new ones.
    EndItemRequests(slot);
}

bool DeleteItemRow(std::uint32_t row)
{
    ItemTable& t = Table();
    if (row >= t.rowCount)
        return false;
    const std::uint16_t slot = t.rowToSlot[row];
    // The scheduler reads the high-water mark under the lock on every step of a pass,
    // so it is lowered inside the same lock as the record changes.
    std::lock_guard lock(EngineLock());
    {
        t.items[slot].flags |= kFlagDeleted;
        t.items[slot].rowPosition = -1;
        // Its pending requests end here: the slot may be taken by the next new
        // item at once (the top of the table), which must inherit neither their
        // timeouts (a spurious 16 or 18) nor a late reply taken as its answer.
        EndItemRequests(slot);
        for (std::uint32_t i = 0; i < t.highWater; ++i) {
            DnsItem& other = t.items[i];
            if ((other.flags & kFlagDeleted) == 0 && other.rowPosition > static_cast<std::int32_t>(row))
                --other.rowPosition;
        }
    }
    --t.rowCount;
    --t.liveCount;
    for (std::uint32_t r = row; r < t.rowCount; ++r)
        t.rowToSlot[r] = t.rowToSlot[r + 1];
    if (slot + 1u == t.highWater && row + 1u == t.highWater)
        --t.highWater;
    return true;
}

void SuspendItem(std::uint32_t slot)
{
    if (slot >= kItemSlots)
        return;
    std::lock_guard lock(EngineLock());
    Table().items[slot].flags |= kFlagSuspended;
}

void ResumeItem(std::uint32_t slot)
{
    if (slot >= kItemSlots)
        return;
    std::lock_guard lock(EngineLock());
    Table().items[slot].flags &= ~kFlagSuspended;
}

} // namespace varnell
