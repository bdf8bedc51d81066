#include "config/history_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <sqlite3.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

#include "base/folders.h"
#include "base/freed_memory.h"
#include "config/registry.h"
#include "config/settings_store.h"
#include "items/address6.h"
#include "items/history.h"
#include "items/result_eval.h"

namespace varnell {

namespace {

constexpr const char* kCreateTable = "CREATE TABLE IF NOT EXISTS history(key TEXT PRIMARY KEY, data BLOB NOT NULL)";

// Closes the connection (and rolls back what was not committed) on every way out.
struct Db {
    sqlite3* db = nullptr;
    ~Db() { sqlite3_close_v2(db); }
};

bool Unreadable(int rc)
{
    const int primary = rc & 0xFF;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

bool Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// By slot, not by list row: the history is loaded right after the settings,
// before the item list exists and has given the items their rows.
template <typename Visit>
void ForEachLiveSlot(Visit visit)
{
    const LockedItems locked = LockItems();
    const ItemTable& table = *locked;
    const std::uint32_t top = std::min(table.highWater, kItemSlots);
    for (std::uint32_t slot = 0; slot < top; ++slot)
        if ((table.items[slot].flags & kFlagDeleted) == 0)
            visit(slot);
}

} // namespace

std::string HistoryPath() { return StateDir() + "/varnell/history.db"; }

std::string HistoryKey(const DnsItem& item)
{
    const ItemBlock& block = BlockOf(item);
    // The unit separator cannot occur in a name the item dialog accepts.
    std::string key = block.name;
    key += '\x1f';
    key += block.domain;
    key += '\x1f';
    key += ServerAddressText(item);
    key += '\x1f';
    key += RecordTypeName(item.typeIndex);
    return key;
}

HistoryLoad LoadHistoryFile(const std::string& path)
{
    struct stat st{};
    if (stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? HistoryLoad::kAbsent : HistoryLoad::kFailed;
    if (!S_ISREG(st.st_mode))
        return HistoryLoad::kFailed;
    if (LacksDatabaseHeader(path, st.st_size))
        return MoveAside(path) ? HistoryLoad::kMovedAside : HistoryLoad::kFailed;

    std::unordered_map<std::string, std::uint32_t> slots;
    ForEachLiveSlot([&](std::uint32_t slot) { slots.emplace(HistoryKey(LockItems()->items[slot]), slot); });

    int rc = SQLITE_OK;
    {
        Db db;
        if (sqlite3_open_v2(path.c_str(), &db.db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
            return HistoryLoad::kFailed;
        SqliteStatement select;
        rc = select.Prepare(db.db, "SELECT key, data FROM history");
        if (rc == SQLITE_OK) {
            while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) {
                const auto* key = static_cast<const char*>(sqlite3_column_blob(select.get(), 0));
                const int keySize = sqlite3_column_bytes(select.get(), 0);
                const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(select.get(), 1));
                const int dataSize = sqlite3_column_bytes(select.get(), 1);
                if (key == nullptr || data == nullptr || keySize <= 0 || dataSize <= 0)
                    continue;
                const auto found = slots.find(std::string(key, static_cast<std::size_t>(keySize)));
                if (found == slots.end())
                    continue;
                if (auto h = DecodeHistory({data, static_cast<std::size_t>(dataSize)}))
                    SetHistory(found->second, std::move(h));
            }
            if (rc == SQLITE_DONE)
                return HistoryLoad::kLoaded;
        }
        // A database without the table (somebody else's) is no history either.
        if (!Unreadable(rc) && (rc & 0xFF) != SQLITE_ERROR)
            return HistoryLoad::kFailed;
    }
    // What was read before the damage showed is kept; the file goes.
    return MoveAside(path) ? HistoryLoad::kMovedAside : HistoryLoad::kFailed;
}

namespace {

struct SlotKey {
    std::uint32_t slot;
    std::string key;
};

// The keys are taken on the owner thread (names change there); the bytes may be
// encoded anywhere, item by item under the history lock.
std::vector<SlotKey> CollectKeys()
{
    std::vector<SlotKey> keys;
    ForEachLiveSlot([&](std::uint32_t slot) {
        if (HistoryOf(slot) != nullptr)
            keys.push_back({slot, HistoryKey(LockItems()->items[slot])});
    });
    return keys;
}

std::vector<HistoryRow> EncodeRows(std::vector<SlotKey> keys, std::int64_t nowSeconds)
{
    std::vector<HistoryRow> rows;
    rows.reserve(keys.size());
    for (SlotKey& k : keys) {
        std::vector<std::uint8_t> data = EncodeHistoryOf(k.slot, nowSeconds);
        if (!data.empty())
            rows.push_back({std::move(k.key), std::move(data)});
    }
    return rows;
}

// Replaces the file's rows with those next hands out, one at a time, in one
// transaction; next returns false after the last.
bool WriteRows(const std::string& path, const std::function<bool(HistoryRow&)>& next);

struct Keeper {
    std::string path; // empty: not keeping
    std::int64_t lastSave = 0;
    std::thread writer;
    std::atomic<bool> writing{false};
};

Keeper& TheKeeper()
{
    static Keeper keeper;
    return keeper;
}

} // namespace

std::vector<HistoryRow> CollectHistoryRows(std::int64_t nowSeconds) { return EncodeRows(CollectKeys(), nowSeconds); }

HistoryLoad StartHistoryKeeping(const std::string& path)
{
    StopHistoryKeeping();
    Keeper& k = TheKeeper();
    k.path = path;
    k.lastSave = HistoryNow();
    return LoadHistoryFile(path);
}

void KeepHistory(std::int64_t nowSeconds)
{
    Keeper& k = TheKeeper();
    if (k.path.empty() || nowSeconds - k.lastSave < kHistorySaveSeconds || k.writing.load())
        return;
    k.lastSave = nowSeconds;
    if (k.writer.joinable())
        k.writer.join(); // finished: writing is false
    k.writing.store(true);
    // Row by row: a full table's rows are some 11 MB, which the writer would
    // otherwise hold at once, and its arena keep, until the next save.
    k.writer = std::thread([&k, path = k.path, keys = CollectKeys(), nowSeconds]() mutable {
        std::size_t at = 0;
        WriteRows(path, [&](HistoryRow& row) {
            for (; at < keys.size(); ++at) {
                row.data = EncodeHistoryOf(keys[at].slot, nowSeconds);
                if (!row.data.empty()) {
                    row.key = std::move(keys[at++].key);
                    return true;
                }
            }
            return false;
        });
        keys = {};
        ReturnFreedMemory();
        k.writing.store(false);
    });
}

bool StopHistoryKeeping()
{
    Keeper& k = TheKeeper();
    if (k.writer.joinable())
        k.writer.join();
    if (k.path.empty())
        return false;
    const std::string path = std::move(k.path);
    k.path.clear();
    return WriteHistoryFile(path, CollectHistoryRows(HistoryNow()));
}

bool WriteHistoryFile(const std::string& path, const std::vector<HistoryRow>& rows)
{
    std::size_t at = 0;
    return WriteRows(path, [&](HistoryRow& row) {
        if (at == rows.size())
            return false;
        row = rows[at++];
        return true;
    });
}

namespace {

bool WriteRows(const std::string& path, const std::function<bool(HistoryRow&)>& next)
{
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT || !MakeFolderFor(path))
            return false;
        const int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0)
            return false;
        close(fd);
    }
    Db db;
    if (sqlite3_open_v2(path.c_str(), &db.db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        return false;
    sqlite3_busy_timeout(db.db, kRegistryBusyMs);
    // Two copies of the program write whole files in turn: the last one wins.
    if (!Exec(db.db, kCreateTable) || !Exec(db.db, "BEGIN IMMEDIATE"))
        return false;
    SqliteStatement insert;
    if (!Exec(db.db, "DELETE FROM history") ||
        insert.Prepare(db.db, "INSERT OR REPLACE INTO history(key, data) VALUES(?1, ?2)") != SQLITE_OK)
        return false;
    for (HistoryRow row; next(row);) {
        sqlite3_reset(insert.get());
        if (sqlite3_bind_text(insert.get(), 1, row.key.data(), static_cast<int>(row.key.size()), SQLITE_STATIC) !=
                SQLITE_OK ||
            sqlite3_bind_blob(insert.get(), 2, row.data.data(), static_cast<int>(row.data.size()), SQLITE_STATIC) !=
                SQLITE_OK ||
            sqlite3_step(insert.get()) != SQLITE_DONE)
            return false;
    }
    return Exec(db.db, "COMMIT");
}

} // namespace

} // namespace varnell
