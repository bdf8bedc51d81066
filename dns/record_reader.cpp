#include "dns/record_reader.h"

#include <arpa/inet.h>

#include "dns/dns_name.h"
#include "dns/dns_wire.h"

namespace varnell {

namespace {

std::uint32_t Size(std::span<char> names) { return static_cast<std::uint32_t>(names.size()); }

// Decodes a name of record data at `at` into the names area. Only a full names
// area fails: data that is no proper name keeps what decoded before the fault.
bool StoreDataName(RecordStore& store, std::span<const std::uint8_t> message, std::size_t at)
{
    const DecodedName name = DecodeName(message, at, store.names.subspan(store.namesCursor));
    if (name.status == NameStatus::NoRoom)
        return false;
    store.namesCursor += static_cast<std::uint32_t>(name.length + 1);
    return true;
}

} // namespace

bool RecordsWellFormed(std::span<const std::uint8_t> message, std::uint32_t questions, std::uint32_t records)
{
    ByteReader reader(message);
    if (!reader.Seek(kDnsHeaderSize))
        return false;
    for (std::uint32_t q = 0; q < questions; ++q) {
        const std::size_t nameLength = SkipName(message, reader.Position());
        if (nameLength == 0 || !reader.Skip(nameLength) || !reader.Skip(4))
            return false;
    }
    char scratch[kMaxNameText];
    for (std::uint32_t r = 0; r < records; ++r) {
        const DecodedName owner = DecodeName(message, reader.Position(), scratch);
        if (owner.status != NameStatus::Ok)
            return false;
        std::uint16_t dataLength = 0;
        if (!reader.Skip(owner.consumed) || !reader.Skip(8) || !reader.ReadU16BE(dataLength) ||
            !reader.Skip(dataLength))
            return false;
    }
    return true;
}

ParseStatus ParseRecords(RecordStore store, ByteReader& reader, std::uint32_t n, std::uint32_t& count,
                         std::uint32_t start)
{
    const std::span<const std::uint8_t> message = reader.Bytes();
    const auto recordRoom = static_cast<std::uint32_t>(store.records.size());
    const std::uint32_t namesArea = Size(store.names);
    char* const names = store.names.data();
    for (std::uint32_t k = 0; k < n; ++k) {
        if (start > recordRoom || recordRoom - start <= k)
            return ParseStatus::NoRoom;
        ReplyRecord& record = store.records[start + k];
        if (store.namesCursor >= namesArea)
            return ParseStatus::NoRoom;

        const DecodedName owner = DecodeName(message, reader.Position(), store.names.subspan(store.namesCursor));
        if (owner.status == NameStatus::NoRoom)
            return ParseStatus::NoRoom;
        if (owner.status == NameStatus::Malformed || !reader.Skip(owner.consumed))
            return ParseStatus::Malformed;
        const std::uint32_t ownerOffset = store.namesCursor;

        std::uint16_t type = 0, klass = 0, dataLength = 0;
        std::uint32_t ttl = 0;
        if (!reader.ReadU16BE(type) || !reader.ReadU16BE(klass) || !reader.ReadU32BE(ttl) ||
            !reader.ReadU16BE(dataLength) || dataLength > reader.Remaining())
            return ParseStatus::Malformed;
        const std::size_t dataStart = reader.Position();
        store.namesCursor += static_cast<std::uint32_t>(owner.length + 1);

        record.owner = ownerOffset;
        record.typeBE = htons(type);
        record.classBE = htons(klass);
        record.ttlBE = htonl(ttl);
        record.dataLengthBE = htons(dataLength);
        record.preference = 0;
        record.data = store.namesCursor;

        if (type == kTypeA || type == kTypeAaaa) {
            if (namesArea - store.namesCursor <= dataLength)
                return ParseStatus::NoRoom;
            if (!reader.ReadBytes(names + store.namesCursor, dataLength))
                return ParseStatus::Malformed;
            names[store.namesCursor + dataLength] = '\0';
            store.namesCursor += std::uint32_t{dataLength} + 1;
        } else if (type == kTypeMx) {
            std::uint16_t preference = 0;
            ByteReader data(message.subspan(dataStart, dataLength));
            if (data.ReadU16BE(preference)) {
                record.preference = preference;
                if (!StoreDataName(store, message, dataStart + 2))
                    return ParseStatus::NoRoom;
            } else {
                if (store.namesCursor >= namesArea)
                    return ParseStatus::NoRoom;
                names[store.namesCursor++] = '\0';
            }
        } else if (!StoreDataName(store, message, dataStart)) {
            return ParseStatus::NoRoom;
        }
        if (!reader.Seek(dataStart + dataLength))
            return ParseStatus::Malformed;
        ++count;
    }
    return ParseStatus::Ok;
}

} // namespace varnell
