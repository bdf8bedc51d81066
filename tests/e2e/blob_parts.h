// Pieces of a stored settings blob for comparing what the program saved with
// what a test wrote.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "config/settings_blob.h"

namespace varnell::test {

// The blob up to the item table record: every setting, no item.
inline std::vector<std::uint8_t> SettingsRecords(const std::vector<std::uint8_t>& blob)
{
    std::size_t pos = 0;
    while (blob.size() >= kRecordHeaderSize && pos <= blob.size() - kRecordHeaderSize) {
        std::int32_t type = 0, length = 0;
        std::memcpy(&type, &blob[pos + 4], 4);
        std::memcpy(&length, &blob[pos + 8], 4);
        if (type == kRecordItems || length < 0 ||
            static_cast<std::size_t>(length) > blob.size() - pos - kRecordHeaderSize)
            break;
        pos += kRecordHeaderSize + static_cast<std::size_t>(length);
    }
    return {blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(std::min(pos, blob.size()))};
}

} // namespace varnell::test
