// Settings kept beside the blob as values of their own (ExtraSettings in
// config/settings.h). The blob's bytes never change for them: they are written
// in the blob's transaction, and a value that is missing or of the wrong size
// leaves its default, so a store written before a setting existed loads as it
// always did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"

namespace varnell {

// Far beyond any path or address; a larger stored text is not ours.
inline constexpr std::size_t kMaxExtraTextBytes = 4096;

struct NamedValue {
    std::string name;
    std::vector<std::uint8_t> data;
};

// Every extra value in its stored form, in a fixed order.
std::vector<NamedValue> EncodeExtraSettings(const ExtraSettings& extra);
// Applies one stored value; an unknown name, or a number that is not 4 bytes,
// is ignored. true when the name was one of ours and was applied.
bool ApplyExtraSetting(ExtraSettings& extra, std::string_view name, const std::uint8_t* data, std::size_t size);

} // namespace varnell
