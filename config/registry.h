// The per-user store of named binary values: one SQLite database,
// ConfigDir()/varnell/registry.db (mode 0600, its folder 0700), holding
//
//   CREATE TABLE registry_values(key TEXT NOT NULL, name TEXT NOT NULL,
//       type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, name));
//
// Two copies of the program may use it at once: every connection waits up to
// five seconds for the other's lock, and a write happens inside one immediate
// transaction. A file that is not such a database (garbage, another schema) is
// never written over or deleted: opened to read, it is left as it is and told
// apart from a store that is absent; opened to write, it is renamed aside with a
// time stamp so the operator can still recover it.
#pragma once

#include <cstddef>
#include <sys/types.h>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "config/sqlite_statement.h"

namespace varnell {

inline constexpr int kRegistryBinary = 3; // value type of binary values
inline constexpr int kRegistryBusyMs = 5000;

// An open store; closed (and an unfinished write rolled back) when it goes out
// of scope, so no early return leaves a connection or a lock behind.
struct Registry {
    sqlite3* db = nullptr;
    SqliteStatement get;
    SqliteStatement put;
    bool inTransaction = false;
    std::string error; // why the last open or write failed, in the store's own words

    Registry() = default;
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;
    ~Registry();
};

enum class RegistryOpen {
    kOpened,      // ready
    kAbsent,      // no store yet (no file, or one holding no table) and create was false
    kUnreadable,  // the file is not a readable store; left untouched, nothing opened
    kFailed,      // cannot be opened now (rights, locked too long, disk)
};

// Opens (and with create, makes: folders, file, table) the store at path. With
// create, a file that is not a readable store is moved aside and replaced.
// Unless kOpened or kAbsent, reg.error says why.
RegistryOpen OpenRegistry(const std::string& path, bool create, Registry& reg);
// Ends an open transaction (rolled back) and closes; safe on a closed handle.
void CloseRegistry(Registry& reg);

enum class ValueRead { kOk, kMissing, kTooLarge, kFailed };
// Appends the value's bytes to out when it holds at most room bytes.
ValueRead AppendValue(Registry& reg, const std::string& key, const std::string& name,
                      std::vector<std::uint8_t>& out, std::size_t room);

// Several reads that must see one state of the store (another copy may save
// in between): a read transaction, ended by CloseRegistry.
bool BeginRead(Registry& reg);

// Calls visit(name, data, size) for every value of key whose name matches the
// GLOB pattern, shorter names first and names of one length in order (so
// "item" + lowercase hexadecimal comes in numeric order), until visit returns
// false. kOk when the scan ran (or was stopped by visit), kFailed otherwise.
ValueRead ForEachValue(Registry& reg, const std::string& key, const std::string& globPattern,
                       const std::function<bool(std::string_view name, const std::uint8_t* data, std::size_t size)>& visit);

// Writing: Begin, any number of Put/DeleteValuesAfter, then Commit or Rollback.
// A failing step leaves its reason in reg.error.
bool BeginWrite(Registry& reg);
bool PutValue(Registry& reg, const std::string& key, const std::string& name, int type, const std::uint8_t* data,
              std::size_t size);
// Deletes the values of key matching the GLOB pattern that come after name in
// the order of ForEachValue (longer names, or equally long and greater).
bool DeleteValuesAfter(Registry& reg, const std::string& key, const std::string& globPattern, const std::string& name);
bool CommitWrite(Registry& reg);
void RollbackWrite(Registry& reg);

// A free name beside path: path + "." + tag + "-YYYYMMDD-HHMMSS" (plus "-N"
// when that exists already). Stores moved aside are tagged "unreadable".
std::string AsideName(const std::string& path, const char* tag = "unreadable");

// Shared with the other SQLite files of the program (the round-trip history):
// renames path and its journals to
// AsideName(path) (with its journals); tells a non-empty file that does not
// start like a database.
bool MoveAside(const std::string& path);
bool LacksDatabaseHeader(const std::string& path, off_t size);

} // namespace varnell
