#include "config/registry.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/folders.h"

namespace varnell {

namespace {

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS registry_values(key TEXT NOT NULL, name TEXT NOT NULL, type INTEGER NOT NULL, "
    "data BLOB NOT NULL, PRIMARY KEY(key, name))";

struct Column {
    const char* name;
    const char* type;
    int primaryKey; // position in the primary key, 0 when not part of it
};
constexpr Column kColumns[] = {{"key", "TEXT", 1}, {"name", "TEXT", 2}, {"type", "INTEGER", 0}, {"data", "BLOB", 0}};

enum class Schema { kGood, kEmpty, kForeign, kUnreadable, kError };

bool IsUnreadable(int rc)
{
    const int primary = rc & 0xFF;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

Schema CheckSchema(sqlite3* db)
{
    SqliteStatement columnsOf;
    int rc = columnsOf.Prepare(db, "PRAGMA table_info(registry_values)");
    if (rc != SQLITE_OK)
        return IsUnreadable(rc) ? Schema::kUnreadable : Schema::kError;
    sqlite3_stmt* stmt = columnsOf.get();
    std::size_t columns = 0;
    bool matches = true;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        if (columns < std::size(kColumns)) {
            const Column& want = kColumns[columns];
            const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
            const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2));
            if (name == nullptr || type == nullptr || sqlite3_stricmp(name, want.name) != 0 ||
                sqlite3_stricmp(type, want.type) != 0 || sqlite3_column_int(stmt, 3) != 1 ||
                sqlite3_column_int(stmt, 5) != want.primaryKey)
                matches = false;
        }
        ++columns;
    }
    if (rc != SQLITE_DONE)
        return IsUnreadable(rc) ? Schema::kUnreadable : Schema::kError;
    if (columns != 0)
        return matches && columns == std::size(kColumns) ? Schema::kGood : Schema::kForeign;

    // No such table: a fresh empty file, or somebody else's database.
    SqliteStatement count;
    rc = count.Prepare(db, "SELECT count(*) FROM sqlite_master");
    if (rc != SQLITE_OK)
        return IsUnreadable(rc) ? Schema::kUnreadable : Schema::kError;
    rc = sqlite3_step(count.get());
    const int objects = rc == SQLITE_ROW ? sqlite3_column_int(count.get(), 0) : -1;
    if (rc != SQLITE_ROW)
        return IsUnreadable(rc) ? Schema::kUnreadable : Schema::kError;
    return objects == 0 ? Schema::kEmpty : Schema::kForeign;
}

// Renames without ever replacing an existing file.
bool RenameNoReplace(const std::string& from, const std::string& to)
{
    return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

// A journal left beside a store belongs to it; left in place, SQLite would play
// it back into whatever store is made at path next.
void MoveJournals(const std::string& path, const std::string& aside)
{
    for (const char* suffix : {"-journal", "-wal", "-shm"})
        RenameNoReplace(path + suffix, aside + suffix);
}

} // namespace

bool MoveAside(const std::string& path)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string aside = AsideName(path);
        if (RenameNoReplace(path, aside)) {
            MoveJournals(path, aside);
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// A file that does not even start like a database is moved aside before SQLite
// opens it: SQLite would otherwise play a journal lying beside it back into it.
bool LacksDatabaseHeader(const std::string& path, off_t size)
{
    if (size == 0)
        return false; // an empty file is an empty database
    static const char kMagic[16] = "SQLite format 3";
    char head[16] = {};
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false; // cannot tell; the open below reports the failure
    const ssize_t n = read(fd, head, sizeof head);
    close(fd);
    return n >= 0 && (n < static_cast<ssize_t>(sizeof head) || std::memcmp(head, kMagic, sizeof head) != 0);
}

namespace {

bool Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// Keeps the first failure's reason, taken before a reset or a rollback clears it.
bool Noted(Registry& reg, bool ok)
{
    if (!ok && reg.error.empty())
        reg.error = reg.db != nullptr ? sqlite3_errmsg(reg.db) : "the store is not open";
    return ok;
}

bool Bind(sqlite3_stmt* stmt, const std::string& key, const std::string& name)
{
    return sqlite3_bind_text(stmt, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT) == SQLITE_OK &&
           sqlite3_bind_text(stmt, 2, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT) == SQLITE_OK;
}

} // namespace

std::string AsideName(const std::string& path, const char* tag)
{
    const std::time_t now = std::time(nullptr);
    struct tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string base = path + "." + tag + "-" + stamp;
    std::string name = base;
    struct stat st{};
    for (int n = 2; lstat(name.c_str(), &st) == 0; ++n)
        name = base + "-" + std::to_string(n);
    return name;
}

namespace {

RegistryOpen Failed(Registry& reg, std::string why)
{
    if (why.empty())
        why = reg.db != nullptr ? sqlite3_errmsg(reg.db) : "the store cannot be opened";
    CloseRegistry(reg);
    reg.error = std::move(why);
    return RegistryOpen::kFailed;
}

RegistryOpen NotAStore(Registry& reg, const std::string& path, bool create, const char* why)
{
    CloseRegistry(reg);
    if (!create) {
        reg.error = why;
        return RegistryOpen::kUnreadable;
    }
    if (!MoveAside(path))
        return Failed(reg, std::string(why) + "; it cannot be moved aside: " + std::strerror(errno));
    return OpenRegistry(path, true, reg);
}

} // namespace

RegistryOpen OpenRegistry(const std::string& path, bool create, Registry& reg)
{
    CloseRegistry(reg);
    reg.error.clear();
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return Failed(reg, path + ": " + std::strerror(errno));
        if (!create)
            return RegistryOpen::kAbsent;
        if (!MakeFolderFor(path))
            return Failed(reg, path + ": its folder cannot be made: " + std::strerror(errno));
        // Journals of a store that was moved away would be played back into
        // the new one.
        MoveJournals(path, AsideName(path));
        // Made here, not by SQLite, so it never exists with wider rights: it
        // holds the mail password.
        const int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0)
            return Failed(reg, path + ": " + std::strerror(errno));
        close(fd);
    } else if (!S_ISREG(st.st_mode)) {
        return Failed(reg, path + " is not a file");
    } else if (LacksDatabaseHeader(path, st.st_size)) {
        return NotAStore(reg, path, create, "the file is not a database");
    } else if ((st.st_mode & 077) != 0 && st.st_uid == geteuid()) {
        chmod(path.c_str(), 0600);
    }

    if (sqlite3_open_v2(path.c_str(), &reg.db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        return Failed(reg, "");
    sqlite3_busy_timeout(reg.db, kRegistryBusyMs);
    Exec(reg.db, "PRAGMA cache_size=-16384");

    switch (CheckSchema(reg.db)) {
    case Schema::kGood:
        break;
    case Schema::kEmpty:
        if (!create) {
            CloseRegistry(reg);
            return RegistryOpen::kAbsent;
        }
        // Large pages and a write-ahead log: a save of a full item table is
        // thousands of 1000-byte values, written in one transaction.
        if (!Exec(reg.db, "PRAGMA page_size=16384") || !Exec(reg.db, "PRAGMA journal_mode=WAL") ||
            !Exec(reg.db, kCreateTable))
            return Failed(reg, "");
        break;
    case Schema::kForeign:
        return NotAStore(reg, path, create, "the database holds no settings table of this program");
    case Schema::kUnreadable:
        return NotAStore(reg, path, create, "the file is not a database or is damaged");
    case Schema::kError:
        return Failed(reg, "");
    }

    if (create)
        Exec(reg.db, "PRAGMA synchronous=NORMAL");
    if (reg.get.Prepare(reg.db, "SELECT data FROM registry_values WHERE key = ?1 AND name = ?2") != SQLITE_OK ||
        reg.put.Prepare(reg.db, "INSERT INTO registry_values(key, name, type, data) VALUES(?1, ?2, ?3, ?4) "
                                "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data") !=
            SQLITE_OK)
        return Failed(reg, "");
    return RegistryOpen::kOpened;
}

void CloseRegistry(Registry& reg)
{
    if (reg.inTransaction)
        RollbackWrite(reg);
    reg.get.Finalize();
    reg.put.Finalize();
    sqlite3_close(reg.db);
    reg.db = nullptr;
    reg.inTransaction = false;
}

Registry::~Registry() { CloseRegistry(*this); }

ValueRead AppendValue(Registry& reg, const std::string& key, const std::string& name, std::vector<std::uint8_t>& out,
                      std::size_t room)
{
    if (!reg.get)
        return ValueRead::kFailed;
    sqlite3_stmt* const get = reg.get.get();
    sqlite3_reset(get);
    if (!Bind(get, key, name))
        return ValueRead::kFailed;
    const int rc = sqlite3_step(get);
    ValueRead result = ValueRead::kFailed;
    Noted(reg, rc == SQLITE_DONE || rc == SQLITE_ROW);
    if (rc == SQLITE_DONE) {
        result = ValueRead::kMissing;
    } else if (rc == SQLITE_ROW) {
        const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(get, 0));
        const auto size = static_cast<std::size_t>(sqlite3_column_bytes(get, 0));
        if (size > room) {
            result = ValueRead::kTooLarge;
        } else {
            if (size != 0)
                out.insert(out.end(), data, data + size);
            result = ValueRead::kOk;
        }
    }
    sqlite3_reset(get);
    return result;
}

ValueRead ForEachValue(Registry& reg, const std::string& key, const std::string& globPattern,
                       const std::function<bool(std::string_view, const std::uint8_t*, std::size_t)>& visit)
{
    if (reg.db == nullptr)
        return ValueRead::kFailed;
    SqliteStatement select;
    if (select.Prepare(reg.db, "SELECT name, data FROM registry_values WHERE key = ?1 AND name GLOB ?2 "
                               "ORDER BY length(name), name") != SQLITE_OK ||
        !Bind(select.get(), key, globPattern)) {
        Noted(reg, false);
        return ValueRead::kFailed;
    }
    sqlite3_stmt* stmt = select.get();
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        const std::size_t nameLength = static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0));
        const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, 1));
        const auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt, 1));
        if (!visit(std::string_view(name != nullptr ? name : "", name != nullptr ? nameLength : 0), data, size)) {
            rc = SQLITE_DONE;
            break;
        }
    }
    Noted(reg, rc == SQLITE_DONE);
    return rc == SQLITE_DONE ? ValueRead::kOk : ValueRead::kFailed;
}

bool BeginWrite(Registry& reg)
{
    // IMMEDIATE takes the write lock now, so two copies saving at once queue up
    // here instead of failing half-way.
    if (reg.db == nullptr || reg.inTransaction || !Noted(reg, Exec(reg.db, "BEGIN IMMEDIATE")))
        return false;
    reg.inTransaction = true;
    return true;
}

bool PutValue(Registry& reg, const std::string& key, const std::string& name, int type, const std::uint8_t* data,
              std::size_t size)
{
    if (!reg.put || size > static_cast<std::size_t>(INT32_MAX))
        return Noted(reg, false);
    sqlite3_stmt* const put = reg.put.get();
    sqlite3_reset(put);
    bool ok = Bind(put, key, name) && sqlite3_bind_int(put, 3, type) == SQLITE_OK;
    // A null pointer would bind NULL, which the table refuses: an empty value is
    // a zero-length blob.
    if (ok)
        ok = (size == 0 ? sqlite3_bind_zeroblob(put, 4, 0)
                        : sqlite3_bind_blob(put, 4, data, static_cast<int>(size), SQLITE_STATIC)) == SQLITE_OK;
    ok = Noted(reg, ok && sqlite3_step(put) == SQLITE_DONE);
    sqlite3_reset(put);
    sqlite3_clear_bindings(put);
    return ok;
}

bool BeginRead(Registry& reg)
{
    if (reg.db == nullptr || reg.inTransaction || !Noted(reg, Exec(reg.db, "BEGIN")))
        return false;
    reg.inTransaction = true;
    return true;
}

bool DeleteValuesAfter(Registry& reg, const std::string& key, const std::string& globPattern, const std::string& name)
{
    if (reg.db == nullptr)
        return Noted(reg, false);
    SqliteStatement erase;
    bool ok = erase.Prepare(reg.db, "DELETE FROM registry_values WHERE key = ?1 AND name GLOB ?2 AND "
                                    "(length(name) > length(?3) OR (length(name) = length(?3) AND name > ?3))") ==
                  SQLITE_OK &&
              Bind(erase.get(), key, globPattern) &&
              sqlite3_bind_text(erase.get(), 3, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT) ==
                  SQLITE_OK &&
              sqlite3_step(erase.get()) == SQLITE_DONE;
    Noted(reg, ok);
    return ok;
}

bool CommitWrite(Registry& reg)
{
    if (!reg.inTransaction)
        return Noted(reg, false);
    if (!Noted(reg, Exec(reg.db, "COMMIT"))) {
        RollbackWrite(reg);
        return false;
    }
    reg.inTransaction = false;
    return true;
}

void RollbackWrite(Registry& reg)
{
    if (!reg.inTransaction)
        return;
    // Also ends a transaction SQLite has rolled back by itself (e.g. disk full).
    if (sqlite3_get_autocommit(reg.db) == 0)
        Exec(reg.db, "ROLLBACK");
    reg.inTransaction = false;
}

} // namespace varnell
