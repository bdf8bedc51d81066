// An item as an operator enters it (the item dialog, a CSV row, the command
// line) and the one set of rules that turns it into what the item table stores.
// Every way in goes through CheckItemEntry, so an item the dialog would refuse
// can come in by no other road, and one the dialog stores is stored the same
// way everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "items/item_table.h"

namespace varnell {

// Longest item name in bytes. Names go into every event text and are how the
// command line finds an item; the store reads its other names up to 255 too.
inline constexpr std::size_t kItemNameLimit = 255;
// Interval values below this are raised to it.
inline constexpr std::uint32_t kMinInterval = 500;
inline constexpr std::string_view kTableFullMessage = "The item table is full: delete an item first.";
inline constexpr std::string_view kLostCountZeroMessage =
    "Continuous Lost cannot be 0 (nor 64, which is kept as 0): the item would be reported down only after 65 "
    "failures in a row.";

struct ItemEntry {
    std::string name, description, domain;
    std::string server;             // dotted IPv4 or IPv6 text
    std::int32_t interval = 1000;   // numbers as read from the operator, before the rules
    std::int32_t timeout = 2000;
    std::int32_t mailGroup = 0;
    std::int32_t lostCount = 6;
    std::uint32_t typeIndex = 0;
    bool notifyDown = true, notifyUp = true, notifyChange = true;
    bool recursionDesired = true, recursionAvailable = true;
    bool highPriorityMail = false;  // a new item takes the mail settings' high-priority flag
};

// Where the entry is going.
struct EntryTarget {
    // The slot being updated; -1 for a new item.
    int updateSlot = -1;
    // New items accepted ahead of this one that are not in the table yet (an
    // import checks all its rows before it adds any), and their names.
    std::size_t pendingNew = 0;
    const std::unordered_set<std::string>* pendingNames = nullptr;
};

// Applies the rules to entry: on success fills out and returns an empty text;
// otherwise returns the message that says why, and out is not meaningful.
// Reads the table (names, free slots) under the engine lock; writes nothing.
std::string CheckItemEntry(const ItemEntry& entry, const EntryTarget& target, ItemEdit& out);

// Empty when the name can be put into a query (the empty name and the root are
// accepted as they stand), else why not.
std::string CheckDomainName(std::string_view name);
// The text without the blanks around it, as every way in takes its fields.
std::string_view TrimSpace(std::string_view s);

// The position of a record type in the engine's table, its name compared
// without regard to ASCII case or surrounding white space; -1 when it names none.
int RecordTypeIndex(std::string_view name);

// How many new items the table can still take: slots never used plus deleted
// slots that NewItemSlot would hand out.
std::size_t FreeItemSlots();

// True when a live item other than the one in exceptSlot (-1: none) has this
// name. Empty names are never taken.
bool ItemNameTaken(std::string_view name, int exceptSlot);

} // namespace varnell
