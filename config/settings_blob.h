// The stored form of all settings and the item table: one blob of records with
// no header of its own. Every record is
//
//   offset 0  int32  sequence number (0 for the first record of a save, +1 each)
//          4  int32  record type, 1 to 9
//          8  int32  body length, not counting these 12 bytes
//         12  body
//
// all integers little-endian, texts single-byte and zero-terminated with no
// padding. Records are written in type order: 1 general, 2 messenger, 3 mail,
// 4-7 reserved (carried unchanged), 8 syslog, 9 the item table. The loader
// skips types it does not know by their length, so older programs read newer
// blobs.
//
// The blob comes from a file that anyone with the user's rights can edit: the
// loader reads every byte through ByteReader, never past a record's body, and
// bounds every count by what the body can hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "config/settings.h"
#include "items/item_table.h"

namespace varnell {

enum SettingsRecordType : std::int32_t {
    kRecordGeneral = 1,
    kRecordMessenger = 2,
    kRecordMail = 3,
    kRecordReserved4 = 4,
    kRecordReserved5 = 5,
    kRecordReserved6 = 6,
    kRecordReserved7 = 7,
    kRecordSyslog = 8,
    kRecordItems = 9,
};

inline constexpr std::size_t kRecordHeaderSize = 12;
inline constexpr std::size_t kReservedTrailingTexts = 6;
// Load limits of the 13 general texts, in stored order: longer stored texts are cut.
inline constexpr std::size_t kGeneralTextLimits[kGeneralTextCount] = {271, 271, 255, 255, 269, 255, 1287,
                                                                       127, 65,  65,  269, 255, 255};

// Serialises records 1 to 9 from settings and the live items of table into out
// (replacing its content). The item records are copied under the engine lock.
// Also sets the trailing counts of the reserved records to 6, as a save does.
void BuildSettingsBlob(Settings& settings, const ItemTable& table, std::vector<std::uint8_t>& out);

// Walks the records of blob and applies each to settings and table. A record
// that is cut short or malformed is applied up to the fault and the walk goes
// on with the next record; a record whose body runs past the blob ends the walk.
// Loading the item table compacts it: the stored items take slots 0..n-1.
void ApplySettingsBlob(std::span<const std::uint8_t> blob, Settings& settings, ItemTable& table);

// Event-list rows for items that loading suspended (an extra text that cannot be
// read), gathered since the last call: the event list does not exist yet when
// the store is loaded.
std::vector<std::string> TakeItemLoadNotes();

} // namespace varnell
