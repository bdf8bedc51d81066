// Reading a reply's resource records (RFC 1035 4.1.3 record layout, 4.1.4
// compression; 3.3.9 MX data) into fixed storage the caller owns: an array of
// records and a names area that the decoded owner names and record data go to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/byte_reader.h"

namespace varnell {

// One parsed resource record. Names and data are offsets into the names area;
// type, class, TTL and data length stay in network byte order as received.
struct ReplyRecord {
    std::uint32_t owner;       // offset of the decoded owner name
    std::uint16_t typeBE;
    std::uint16_t classBE;
    std::uint32_t ttlBE;
    std::uint16_t dataLengthBE;
    std::uint16_t preference;  // MX only, host byte order
    std::uint32_t data;        // offset of the data (A: raw bytes + 0; else a decoded name)
};
static_assert(sizeof(ReplyRecord) == 20);

// Where records are stored. Every write into names ends with a 0 byte inside
// it, so any offset below names.size() starts a terminated text.
struct RecordStore {
    std::span<ReplyRecord> records;
    std::span<char> names;
    std::uint32_t& namesCursor; // first free byte of names
};

enum class ParseStatus { Ok, Malformed, NoRoom };

// Parses n records at the reader's position into store.records from index
// `start`, adding each stored record to count. NoRoom when the records or the
// names area cannot take them; Malformed when a record runs past the message.
// Record data of any type other than A, AAAA and MX is decoded as a name, and
// data that is no proper name keeps what decoded before the fault.
ParseStatus ParseRecords(RecordStore store, ByteReader& reader, std::uint32_t n, std::uint32_t& count,
                         std::uint32_t start);

// The question and record structure of message lie within it and every owner
// name decodes: what must hold before a reply may change anything.
bool RecordsWellFormed(std::span<const std::uint8_t> message, std::uint32_t questions, std::uint32_t records);

} // namespace varnell
