// The monitored item table: 2048 fixed slots, each an item record (DnsItem, which
// is also the stored form of an item and so a file format) and its per-run string
// block (ItemBlock: texts, statistics and the parsed data of the latest reply).
//
// Who touches what:
// - The user-interface thread owns the row bookkeeping (high-water mark, live and
//   row counts, row-to-slot map, row positions) and edits records through the
//   operations below, which take the engine lock while they write a record so a
//   probe never sees a half-written item.
// - The scheduler and the receiver read records and change the outstanding-request
//   bits, the reply data and the counters, always under the engine lock.
// - Result evaluation reads the block on the user-interface thread with the lock.
// - The metrics server's thread adds an item's "id=" extra text, under the lock.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/guarded.h"
#include "base/net/ip_address.h"
#include "dns/record_reader.h"

namespace varnell {

static_assert(std::endian::native == std::endian::little,
              "stored records are little-endian and are written as held in memory");

inline constexpr std::uint32_t kItemSlots = 2048;
inline constexpr std::uint32_t kKnownAddresses = 320;
inline constexpr std::uint32_t kAnswerAddresses = 256;
inline constexpr std::uint32_t kReplyRecords = 64;
inline constexpr std::uint32_t kNamesArea = 2888;
inline constexpr std::uint32_t kQueryBuffer = 592;
inline constexpr std::uint32_t kReservedTexts = 32;
inline constexpr std::uint32_t kReservedInts = 256;

// Socket address of the item's DNS server as stored: family little-endian, port
// and address in network byte order, eight zero bytes. An IPv6 server keeps
// family 10 and the port here with the address bytes zero; its address is the
// item's "server6=" text (items/address6.h).
inline constexpr std::uint16_t kEndpointFamily4 = 2;
inline constexpr std::uint16_t kEndpointFamily6 = 10;
struct ItemEndpoint {
    std::uint16_t family;  // kEndpointFamily4 or kEndpointFamily6
    std::uint16_t portBE;  // network byte order, always 53
    std::uint32_t addrBE;  // network byte order
    std::uint8_t zero[8];
};
static_assert(sizeof(ItemEndpoint) == 16);

// One address of the known or answer set: IPv4 in network byte order, then four
// reserved bytes (written as 0, never compared).
struct AddressEntry {
    std::uint32_t addrBE;
    std::uint32_t reserved;
};
static_assert(sizeof(AddressEntry) == 8);

// Flags word of an item record (offset 24).
enum ItemFlags : std::uint32_t {
    kFlagSendLimitMask = 0xFFu,       // transmissions per request, always 1
    kFlagReserved8 = 0x100u,
    kFlagNotifyDown = 0x200u,
    kFlagNotifyUp = 0x400u,
    kFlagNotifyChange = 0x800u,
    kFlagRecursionDesired = 0x1000u,  // RD bit of the query
    kFlagRecursionAvailable = 0x2000u,// sent as the RA bit of the query
    kFlagHighPriorityMail = 0x4000u,
    kFlagDeleted = 0x8000u,
    kFlagSuspended = 0x10000u,
    kFlagLostMask = 0x7E0000u,        // continuous-lost count N, bits 17-22
    kFlagOutstandingMask = 0x1F800000u, // outstanding requests, bits 23-28
    kFlagProbeBlockMask = 0x1F818000u,  // deleted, suspended or outstanding: not probed
};
inline constexpr unsigned kFlagLostShift = 17;
inline constexpr unsigned kFlagOutstandingShift = 23;
inline constexpr std::uint32_t kNeverUsedFlags = 0x000A3F01u;

// The item record, 3292 bytes, stored byte for byte (little-endian).
struct DnsItem {
    std::uint32_t interval;          // ms between probes
    std::uint32_t timeout;           // ms to wait for a reply
    ItemEndpoint server;
    std::uint32_t flags;             // ItemFlags
    std::uint32_t typeIndex;         // record type index 0..12
    std::int32_t mailGroup;          // stored, never read
    std::uint32_t knownCount;        // addresses last reported
    AddressEntry known[kKnownAddresses];
    std::uint32_t reservedTextCount; // K: further stored texts, 0 for every item
    std::uint8_t reserved1[668];
    std::uint16_t reservedIntCount;  // M: further stored integers, 0 for every item
    std::uint16_t reserved2;
    std::uint32_t requestId;         // pending-request slot of the last query
    std::int32_t rowPosition;        // list row, -1 when not listed
    std::uint32_t nextDue;           // tick ms; 0 = due now
    std::uint32_t blockLink;         // run-time only: the slot index; ignored on load
};
static_assert(sizeof(DnsItem) == 3292);
static_assert(std::is_trivially_copyable_v<DnsItem>);
static_assert(offsetof(DnsItem, interval) == 0);
static_assert(offsetof(DnsItem, timeout) == 4);
static_assert(offsetof(DnsItem, server) == 8);
static_assert(offsetof(DnsItem, flags) == 24);
static_assert(offsetof(DnsItem, typeIndex) == 28);
static_assert(offsetof(DnsItem, mailGroup) == 32);
static_assert(offsetof(DnsItem, knownCount) == 36);
static_assert(offsetof(DnsItem, known) == 40);
static_assert(offsetof(DnsItem, reservedTextCount) == 2600);
static_assert(offsetof(DnsItem, reserved1) == 2604);
static_assert(offsetof(DnsItem, reservedIntCount) == 3272);
static_assert(offsetof(DnsItem, reserved2) == 3274);
static_assert(offsetof(DnsItem, requestId) == 3276);
static_assert(offsetof(DnsItem, rowPosition) == 3280);
static_assert(offsetof(DnsItem, nextDue) == 3284);
static_assert(offsetof(DnsItem, blockLink) == 3288);

inline std::uint32_t LostCount(const DnsItem& item) { return (item.flags & kFlagLostMask) >> kFlagLostShift; }
inline void SetLostCount(DnsItem& item, std::uint32_t n)
{
    item.flags = (item.flags & ~kFlagLostMask) | ((n & 0x3Fu) << kFlagLostShift);
}
inline std::uint32_t Outstanding(const DnsItem& item)
{
    return (item.flags & kFlagOutstandingMask) >> kFlagOutstandingShift;
}
inline void SetOutstanding(DnsItem& item, std::uint32_t n)
{
    item.flags = (item.flags & ~kFlagOutstandingMask) | ((n & 0x3Fu) << kFlagOutstandingShift);
}

// State word of the string block.
enum ItemState : std::uint32_t {
    kStateRunMask = 0x3Fu,      // run counter K
    kStateImageMask = 0x1C0u,   // image given to a newly inserted row
    kStateFailing = 0x200u,     // F
    kStateReserved10 = 0x400u,  // tested with F, never set
    kStateDownReported = 0x800u // D
};

// A follow-up query of the latest probe that got no answer to use: the name it
// asked (an offset into the names area; kNamesArea when there was no room for
// it) and what it came to, a result code (an RCODE, 16, 17 or 20).
struct FollowUpFailure {
    std::uint32_t name;
    std::int32_t code;
};
inline constexpr std::uint32_t kFollowUpFailures = 8;

// Per-run string block of a slot; held in memory only.
struct ItemBlock {
    std::string name;
    std::string description;
    std::string domain;
    std::array<std::string, kReservedTexts> reservedTexts;
    std::uint32_t state = 0;
    std::uint32_t sendTime = 0;      // send time of the primary query answered last
    std::uint32_t receiveTime = 0;   // when its reply arrived
    // The same two moments on the monotonic clock in ns, when both were read
    // (0: not; the ticks' milliseconds serve).
    std::uint64_t sendNs = 0;
    std::uint64_t receiveNs = 0;
    std::uint32_t rttMin = 0xFFFFFFFFu;
    std::uint32_t rttMax = 0;
    std::uint32_t rttAvg = 0;
    std::uint32_t reserved = 0;
    std::uint32_t sent = 0;
    std::uint32_t failed = 0;
    std::uint32_t replies = 0;
    std::int64_t rttSum = 0;
    // Read by the metrics endpoint beside the list's figures: the last accepted
    // round trip (ms), when the item last raised an event (calendar seconds, 0 =
    // never), and every probe that failed (time-out, error reply, late reply, send
    // failure), where the list's "failed" counts the send failures only.
    std::uint32_t rttLast = 0;
    std::uint32_t rttLastUs = 0; // the same in microseconds, as finely as it was measured
    std::int64_t lastEventTime = 0;
    std::uint32_t probesFailed = 0;
    // Addresses gathered by the latest probe: IPv4 in answers, or, for an AAAA
    // item, IPv6 in answers6; answerCount counts the ones of the item's family.
    // No reply holds more address records than the record area.
    std::uint32_t answerCount = 0;
    AddressEntry answers[kAnswerAddresses] = {};
    Address6 answers6[kReplyRecords] = {};
    // An AAAA item's known addresses: the record's known area holds IPv4 only and
    // is the stored form, so these live here and are stored as the item's
    // "known6=" text (items/address6.h).
    std::uint32_t known6Count = 0;
    Address6 known6[kReplyRecords] = {};
    // The DNS server of an IPv6-server item, read from its "server6=" text.
    Address6 server6 = {};
    std::int32_t reservedInts[kReservedInts] = {};
    std::uint32_t answerRecords = 0;     // section counts
    std::uint32_t authorityRecords = 0;
    std::uint32_t additionalRecords = 0;
    std::uint32_t externalRecords = 0;
    std::uint32_t answerStart = 0;       // indexes into records
    std::uint32_t authorityStart = 0;
    std::uint32_t additionalStart = 0;
    std::uint32_t nextFree = 0;
    ReplyRecord records[kReplyRecords] = {};
    std::uint32_t namesCursor = 0;
    char names[kNamesArea] = {};
    // The latest probe's result: the code of its primary reply (its RCODE, or 19
    // when it was refused), whatever its follow-up queries came to; those that
    // failed are listed here for the reply text (the first kFollowUpFailures;
    // the count goes on).
    std::int32_t primaryCode = 0;
    std::uint32_t followUpFailureCount = 0;
    FollowUpFailure followUpFailures[kFollowUpFailures] = {};
    std::uint8_t queryBuffer[kQueryBuffer] = {};
};

// The string blocks of the slots, built in slot order the first time a slot
// is reached: a block costs its memory only once its slot has been used (the
// table's storage is mapped from zero pages, which stay unresident until
// written).
struct ItemBlocks {
    ItemBlock& operator[](std::size_t i)
    {
        if (i >= built) [[unlikely]]
            Build(i + 1);
        return *std::launder(reinterpret_cast<ItemBlock*>(storage + i * sizeof(ItemBlock)));
    }
    const ItemBlock& operator[](std::size_t i) const { return const_cast<ItemBlocks&>(*this)[i]; }
    void Build(std::size_t count);

    std::size_t built = 0;
    alignas(ItemBlock) std::byte storage[kItemSlots * sizeof(ItemBlock)];
};

// The process-wide table.
struct ItemTable {
    std::array<DnsItem, kItemSlots> items;
    ItemBlocks blocks;
    std::uint32_t highWater = 0;
    std::uint32_t liveCount = 0;
    std::uint32_t rowCount = 0;
    // Slots below this may hold an item's data, those above are as mapped
    // (zero, never written): a reset clears only the ones below.
    std::uint32_t touched = 0;
    std::array<std::uint16_t, kItemSlots> rowToSlot;
};
static_assert(std::is_trivially_default_constructible_v<DnsItem>, "a record is written only once its slot is used");

// The engine lock: re-entrant, guards the item table and the pending-request
// table (probe/request_table.h), each item's outstanding count, flags and reply
// data between the engine threads and the user-interface thread's writes.
std::recursive_mutex& EngineLock();

// The item table, reachable only through an accessor that holds the engine
// lock while it lives. Take one per pass or batch, not one per item.
using LockedItems = Guarded<ItemTable>::Access;
LockedItems LockItems();

// The slot of a record of the table, and the string block beside it: a caller
// that has the record got it through the lock and still holds it.
std::uint32_t SlotOf(const DnsItem& item);
ItemBlock& BlockOf(const DnsItem& item);

// Resets every slot (start-up, and tests).
void InitItemTable();
// Resets the slots below count that were never used since the table was
// made, so that they may be written (a load, a new item at the top).
void PrepareItemSlots(std::uint32_t count);
// Resets one slot's string block to its start values (a new item, or a reused slot).
void ResetItemBlock(ItemBlock& block);
// Gives every live item a row in order; insertRow is called once per row.
void FillItemList(const std::function<void(DnsItem&)>& insertRow);

// The item's extra stored texts that carry what the record has no room for,
// each found by its prefix ("known6=", "server6=", "id="); engine lock held.
// Index of the first text beginning with prefix, or -1.
int ItemTextIndex(const DnsItem& item, const ItemBlock& block, std::string_view prefix);
// Replaces that text, or adds it after the others; false when all are taken.
bool StoreItemText(DnsItem& item, ItemBlock& block, std::string_view prefix, std::string text);
// Replaces every text that owned(text) claims with texts, which go after the
// others in their order; false, with nothing changed, when they do not fit.
bool ReplaceItemTexts(DnsItem& item, ItemBlock& block, bool (*owned)(std::string_view text),
                      std::vector<std::string> texts);

// What the item dialog edits, applied in one step under the engine lock.
struct ItemEdit {
    std::uint32_t interval = 0;
    std::uint32_t timeout = 0;
    std::uint32_t serverBE = 0;       // IPv4, network byte order
    bool server6 = false;             // the server is server6Address, not serverBE
    Address6 server6Address{};
    std::uint32_t typeIndex = 0;
    std::int32_t mailGroup = 0;
    std::uint32_t lostCount = 5;      // 0..63
    bool notifyDown = true, notifyUp = true, notifyChange = true;
    bool recursionDesired = true, recursionAvailable = true, highPriorityMail = false;
    std::string name, description, domain;
};
ItemEdit EditOf(const DnsItem& item);

// The slot a new item would take: the high-water mark, or, with the table full,
// the lowest deleted slot that no request refers to any more. -1 when none.
int NewItemSlot();
// Writes a new item into slot (from NewItemSlot) and gives it the next row.
// Returns false (and writes nothing) when the slot is not free.
bool CommitNewItem(std::uint32_t slot, const ItemEdit& edit);
// Rewrites a live item's settings; its counters and state stay, its pending
// requests end unanswered (ItemRequestsEnder).
void CommitItemUpdate(std::uint32_t slot, const ItemEdit& edit);
// Removes the item shown in row r (the row itself is removed by the caller).
// Returns false when r is not a row.
bool DeleteItemRow(std::uint32_t row);
void SuspendItem(std::uint32_t slot);
void ResumeItem(std::uint32_t slot);

// What the probing threads hold for an item (its pending requests, the servers
// it found to refuse EDNS) was asked for the item as it was. An edited or
// deleted item ends it through this hook, called with the engine lock held; the
// probing room installs it as its request table comes into being, since before
// that no item has anything to end. The item's outstanding count goes to 0
// either way.
using ItemRequestsEnder = void (*)(std::uint32_t itemSlot);
void SetItemRequestsEnder(ItemRequestsEnder ender);

// "A", "CNAME", "MX", "NS", "PTR", "SOA", "AAAA", "TXT", "SRV", "CAA", "HTTPS",
// "DNSKEY", "DS", and their query types.
inline constexpr std::uint32_t kRecordTypeCount = 13;
inline constexpr std::uint32_t kRecordTypeAaaa = 6;
inline bool IsAaaaItem(const DnsItem& item) { return item.typeIndex == kRecordTypeAaaa; }
const char* RecordTypeName(std::uint32_t typeIndex);
std::uint16_t RecordQueryType(std::uint32_t typeIndex);

} // namespace varnell
