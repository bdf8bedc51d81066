#include "config/settings_store.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <pwd.h>
#include <unistd.h>

#include "config/fixed_texts.h"
#include "config/registry.h"
#include "config/settings_blob.h"
#include "engine/byte_reader.h"

namespace varnell {

namespace {

constexpr std::size_t kPieceSize = 1000;
constexpr const char* kMaxLengthName = "MaxLength";
constexpr const char* kPiecePattern = "item*";
// Far beyond a full item table; a stored length above it cannot be ours and is
// not worth trying to allocate.
constexpr std::uint32_t kMaxBlobBytes = 256u << 20;

void (*g_saveHook)() = nullptr;

// "item" followed by the piece number in lowercase hexadecimal, no leading zeros.
std::string PieceName(std::size_t index)
{
    char name[32];
    std::snprintf(name, sizeof name, "item%zx", index);
    return name;
}

// Inverse of PieceName; false for any other spelling (upper case, leading zeros).
bool ParsePieceName(std::string_view name, std::size_t& index)
{
    constexpr std::string_view kPrefix = "item";
    if (name.size() <= kPrefix.size() || name.size() > kPrefix.size() + 15 || name.substr(0, 4) != kPrefix)
        return false;
    const std::string_view digits = name.substr(kPrefix.size());
    if (digits.size() > 1 && digits[0] == '0')
        return false;
    index = 0;
    for (char c : digits) {
        const int v = c >= '0' && c <= '9' ? c - '0' : (c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1);
        if (v < 0)
            return false;
        index = index * 16 + static_cast<std::size_t>(v);
    }
    return true;
}

std::string HomeDir()
{
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    struct passwd pw{};
    struct passwd* found = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr && found->pw_dir != nullptr)
        return found->pw_dir;
    return "/tmp";
}

} // namespace

std::string ConfigDir()
{
    // A relative value is invalid and ignored, as the base-directory rules say.
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return xdg;
    return HomeDir() + "/.config";
}

std::string StateDir()
{
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return xdg;
    return HomeDir() + "/.local/state";
}

std::string RegistryPath() { return ConfigDir() + "/varnell/registry.db"; }

void SetSaveTransactionHook(void (*hook)()) { g_saveHook = hook; }

int WriteSettingsBlob(const std::uint8_t* data, std::size_t length, const std::vector<NamedValue>& extras)
{
    if (length > kMaxBlobBytes || (data == nullptr && length != 0))
        return 0;
    Registry reg;
    if (OpenRegistry(RegistryPath(), true, reg) != RegistryOpen::kOpened)
        return 0;
    const std::string key = FixedTextValue(FixedText::kSettingsKey);
    // All pieces and the length go in one transaction: a crash, a full disk or a
    // failed write leaves the previous blob whole instead of half overwritten.
    const std::size_t full = length / kPieceSize;
    // Pieces past the new last one, left from an older and longer blob, go too.
    bool ok = BeginWrite(reg) && DeleteValuesAfter(reg, key, kPiecePattern, PieceName(full));
    for (std::size_t i = 0; ok && i < full; ++i)
        ok = PutValue(reg, key, PieceName(i), kRegistryBinary, data + i * kPieceSize, kPieceSize);
    // The last piece is written even when empty: it tells the reader to stop.
    if (ok)
        ok = PutValue(reg, key, PieceName(full), kRegistryBinary, data + full * kPieceSize, length % kPieceSize);
    if (ok) {
        std::uint8_t maxLength[4];
        StoreU32LE(maxLength, static_cast<std::uint32_t>(length));
        ok = PutValue(reg, key, kMaxLengthName, kRegistryBinary, maxLength, sizeof maxLength);
    }
    for (const NamedValue& v : extras) {
        if (!ok)
            break;
        ok = PutValue(reg, key, v.name, kRegistryBinary, v.data.data(), v.data.size());
    }
    if (ok && g_saveHook != nullptr)
        g_saveHook();
    ok = ok && CommitWrite(reg);
    CloseRegistry(reg); // rolls back what was not committed
    return ok ? 1 : 0;
}

int ReadSettingsBlob(std::vector<std::uint8_t>& out)
{
    out.clear();
    Registry reg;
    if (OpenRegistry(RegistryPath(), false, reg) != RegistryOpen::kOpened || !BeginRead(reg))
        return kSettingsMissing;
    const std::string key = FixedTextValue(FixedText::kSettingsKey);
    std::vector<std::uint8_t> lengthBytes;
    if (AppendValue(reg, key, kMaxLengthName, lengthBytes, 4) != ValueRead::kOk || lengthBytes.size() != 4)
        return kSettingsMissing;
    const std::uint32_t maxLength = LoadU32LE(lengthBytes.data());
    if (maxLength > kMaxBlobBytes)
        return kSettingsBroken;

    // One scan over the pieces in numeric order: piece i must be the next one
    // found. The buffer grows with the pieces actually there, so a stored length
    // that lies costs nothing.
    std::size_t next = 0;
    int result = kSettingsMissing; // stays so when the last piece is never found
    try {
        const ValueRead scan = ForEachValue(reg, key, kPiecePattern,
                                            [&](std::string_view name, const std::uint8_t* data, std::size_t size) {
            std::size_t index = 0;
            if (!ParsePieceName(name, index) || index < next)
                return true; // not a name this program writes
            const std::size_t room = maxLength - out.size();
            if (index > next || size > room) {
                result = kSettingsMissing;
                return false;
            }
            out.insert(out.end(), data, data + size);
            ++next;
            if (size < kPieceSize) {
                result = out.size() == maxLength ? static_cast<int>(maxLength) : kSettingsBroken;
                return false;
            }
            return true;
        });
        if (scan != ValueRead::kOk)
            result = kSettingsMissing;
    } catch (const std::bad_alloc&) {
        result = kSettingsBroken;
    }
    if (result < 0)
        out.clear();
    return result;
}

bool ReadExtraSettings(ExtraSettings& extra)
{
    Registry reg;
    if (OpenRegistry(RegistryPath(), false, reg) != RegistryOpen::kOpened || !BeginRead(reg))
        return false;
    const std::string key = FixedTextValue(FixedText::kSettingsKey);
    ExtraSettings read = extra;
    for (const NamedValue& v : EncodeExtraSettings(read)) {
        std::vector<std::uint8_t> data;
        if (AppendValue(reg, key, v.name, data, kMaxExtraTextBytes) == ValueRead::kOk)
            ApplyExtraSetting(read, v.name, data.data(), data.size());
    }
    extra = std::move(read);
    return true;
}

int LoadSettings()
{
    std::vector<std::uint8_t> blob;
    const int read = ReadSettingsBlob(blob);
    if (read <= 0)
        return read;
    ApplySettingsBlob(blob, CurrentSettings(), Items());
    ReadExtraSettings(CurrentSettings().extra);
    return 0;
}

void SaveSettings()
{
    std::vector<std::uint8_t> blob;
    BuildSettingsBlob(CurrentSettings(), Items(), blob);
    WriteSettingsBlob(blob.data(), blob.size(), EncodeExtraSettings(CurrentSettings().extra));
}

} // namespace varnell
