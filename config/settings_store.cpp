#include "config/settings_store.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/byte_reader.h"
#include "base/write_all.h"
#include "config/fixed_texts.h"
#include "config/registry.h"
#include "config/settings_blob.h"

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

namespace {
// Set once by a program's command line, before any thread starts.
std::string g_storeFolder;
} // namespace

std::string RegistryPath() { return (g_storeFolder.empty() ? ConfigDir() + "/varnell" : g_storeFolder) + "/registry.db"; }

void SetStoreFolder(std::string folder) { g_storeFolder = std::move(folder); }

void SetSaveTransactionHook(void (*hook)()) { g_saveHook = hook; }

int WriteSettingsBlob(const std::uint8_t* data, std::size_t length, const std::vector<NamedValue>& extras,
                      std::string* why)
{
    if (length > kMaxBlobBytes || (data == nullptr && length != 0)) {
        if (why != nullptr)
            *why = "the settings are too large to be stored";
        return 0;
    }
    Registry reg;
    bool ok = OpenRegistry(RegistryPath(), true, reg) == RegistryOpen::kOpened;
    const std::string key = FixedTextValue(FixedText::kSettingsKey);
    // All pieces and the length go in one transaction: a crash, a full disk or a
    // failed write leaves the previous blob whole instead of half overwritten.
    const std::size_t full = length / kPieceSize;
    // Pieces past the new last one, left from an older and longer blob, go too.
    ok = ok && BeginWrite(reg) && DeleteValuesAfter(reg, key, kPiecePattern, PieceName(full));
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
    if (!ok && why != nullptr)
        *why = reg.error.empty() ? "the store refused the write" : reg.error;
    CloseRegistry(reg); // rolls back what was not committed
    return ok ? 1 : 0;
}

namespace {

// Opens the store and starts the one read transaction every read below shares:
// 0, or kSettingsMissing when there is no store, or kSettingsUnreadable.
int OpenToRead(Registry& reg, std::string& why)
{
    switch (OpenRegistry(RegistryPath(), false, reg)) {
    case RegistryOpen::kOpened:
        break;
    case RegistryOpen::kAbsent:
        return kSettingsMissing;
    case RegistryOpen::kUnreadable:
    case RegistryOpen::kFailed:
        why = reg.error;
        return kSettingsUnreadable;
    }
    if (!BeginRead(reg)) {
        why = reg.error;
        return kSettingsUnreadable;
    }
    return 0;
}

int ReadBlob(Registry& reg, std::vector<std::uint8_t>& out, std::string& why)
{
    out.clear();
    const std::string key = FixedTextValue(FixedText::kSettingsKey);
    std::vector<std::uint8_t> lengthBytes;
    const ValueRead length = AppendValue(reg, key, kMaxLengthName, lengthBytes, 4);
    if (length == ValueRead::kFailed) {
        why = reg.error;
        return kSettingsUnreadable;
    }
    if (length == ValueRead::kMissing) {
        // Nothing stored is a first run; pieces without their length are a
        // store that lost part of itself, and are kept for the operator.
        bool pieces = false;
        const ValueRead scan =
            ForEachValue(reg, key, kPiecePattern, [&](std::string_view name, const std::uint8_t*, std::size_t) {
                std::size_t index = 0;
                pieces = ParsePieceName(name, index);
                return !pieces;
            });
        if (scan != ValueRead::kOk) {
            why = reg.error;
            return kSettingsUnreadable;
        }
        why = "the stored pieces have no total length";
        return pieces ? kSettingsBroken : kSettingsMissing;
    }
    why = "the stored pieces do not add up to their total length";
    if (length != ValueRead::kOk || lengthBytes.size() != 4)
        return kSettingsBroken;
    const std::uint32_t maxLength = LoadU32LE(lengthBytes.data());
    if (maxLength > kMaxBlobBytes)
        return kSettingsBroken;

    // One scan over the pieces in numeric order: piece i must be the next one
    // found. The buffer grows with the pieces actually there, so a stored length
    // that lies costs nothing.
    std::size_t next = 0;
    int result = kSettingsBroken; // stays so when the last piece is never found
    try {
        const ValueRead scan = ForEachValue(reg, key, kPiecePattern,
                                            [&](std::string_view name, const std::uint8_t* data, std::size_t size) {
            std::size_t index = 0;
            if (!ParsePieceName(name, index) || index < next)
                return true; // not a name this program writes
            const std::size_t room = maxLength - out.size();
            if (index > next || size > room)
                return false;
            out.insert(out.end(), data, data + size);
            ++next;
            if (size < kPieceSize) {
                if (out.size() == maxLength)
                    result = static_cast<int>(maxLength);
                return false;
            }
            return true;
        });
        if (scan != ValueRead::kOk) {
            why = reg.error;
            result = kSettingsUnreadable;
        }
    } catch (const std::bad_alloc&) {
        why = "no memory for the stored settings";
        result = kSettingsBroken;
    }
    if (result < 0)
        out.clear();
    return result;
}

bool ReadExtras(Registry& reg, ExtraSettings& extra, std::string& why)
{
    const std::string key = FixedTextValue(FixedText::kSettingsKey);
    ExtraSettings read = extra;
    for (const NamedValue& v : EncodeExtraSettings(read)) {
        std::vector<std::uint8_t> data;
        const ValueRead r = AppendValue(reg, key, v.name, data, kMaxExtraTextBytes);
        if (r == ValueRead::kFailed) {
            why = reg.error;
            return false;
        }
        if (r == ValueRead::kOk)
            ApplyExtraSetting(read, v.name, data.data(), data.size());
    }
    extra = std::move(read);
    return true;
}

// Touched only by the thread that loads and saves (see the header).
bool g_held = false;
StoreHold g_hold;

bool CopyFile(const std::string& from, const std::string& to, std::string& why)
{
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        why = from + ": " + std::strerror(errno);
        return false;
    }
    // 0600 from the start, as the store itself: it holds the mail password.
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const std::string* failed = out < 0 ? &to : nullptr;
    char buffer[65536];
    while (failed == nullptr) {
        const ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failed = n < 0 ? &from : nullptr;
            break;
        }
        if (!WriteAll(out, std::string_view(buffer, static_cast<std::size_t>(n))))
            failed = &to;
    }
    if (out >= 0 && close(out) != 0 && failed == nullptr)
        failed = &to;
    if (failed != nullptr) {
        why = *failed + ": " + std::strerror(errno);
        if (out >= 0)
            unlink(to.c_str());
    }
    close(in);
    return failed == nullptr;
}

} // namespace

int ReadSettingsBlob(std::vector<std::uint8_t>& out, std::string* why)
{
    out.clear();
    Registry reg;
    std::string reason;
    int result = OpenToRead(reg, reason);
    if (result == 0)
        result = ReadBlob(reg, out, reason);
    if (result < 0 && why != nullptr)
        *why = reason;
    return result;
}

bool ReadExtraSettings(ExtraSettings& extra)
{
    Registry reg;
    std::string why;
    return OpenToRead(reg, why) == 0 && ReadExtras(reg, extra, why);
}

int LoadSettings()
{
    g_held = false;
    std::vector<std::uint8_t> blob;
    ExtraSettings extra = CurrentSettings().extra;
    std::string why;
    int read = 0;
    {
        Registry reg;
        read = OpenToRead(reg, why);
        if (read == 0)
            read = ReadBlob(reg, blob, why);
        if (read > 0 && !ReadExtras(reg, extra, why))
            read = kSettingsUnreadable;
    }
    if (read == kSettingsBroken || read == kSettingsUnreadable) {
        g_held = true;
        g_hold = StoreHold{RegistryPath(), why, {}};
    }
    if (read <= 0)
        return read;
    ApplySettingsBlob(blob, CurrentSettings(), *LockItems());
    CurrentSettings().extra = std::move(extra);
    return 0;
}

bool SaveSettings(std::string* why)
{
    if (const StoreHold* hold = HeldStore(); hold != nullptr && hold->path == RegistryPath()) {
        if (why != nullptr)
            *why = HeldStoreText(*hold);
        return false;
    }
    std::vector<std::uint8_t> blob;
    BuildSettingsBlob(CurrentSettings(), *LockItems(), blob);
    return WriteSettingsBlob(blob.data(), blob.size(), EncodeExtraSettings(CurrentSettings().extra), why) == 1;
}

const StoreHold* HeldStore()
{
    if (!g_held)
        return nullptr;
    struct stat st{};
    if (lstat(g_hold.path.c_str(), &st) != 0 && errno == ENOENT)
        g_held = false; // the operator moved it away: the next save makes a new store
    return g_held ? &g_hold : nullptr;
}

bool CopyHeldStore(std::string& why)
{
    if (HeldStore() == nullptr) {
        why = "no store is held";
        return false;
    }
    const std::string copy = AsideName(g_hold.path, "broken");
    if (!CopyFile(g_hold.path, copy, why))
        return false;
    // Committed changes not yet in the file itself live in its write-ahead log.
    for (const char* suffix : {"-wal", "-journal"}) {
        struct stat st{};
        if (lstat((g_hold.path + suffix).c_str(), &st) == 0 && !CopyFile(g_hold.path + suffix, copy + suffix, why))
            return false;
    }
    g_hold.copy = copy;
    return true;
}

std::string HeldStoreText(const StoreHold& hold)
{
    std::string text = "The settings store " + hold.path + " cannot be read (" + hold.reason + ")";
    if (!hold.copy.empty())
        text += "; a copy of it is kept as " + hold.copy;
    return text + ". Nothing is saved over it until it is moved away.";
}

} // namespace varnell
