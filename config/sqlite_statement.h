// A prepared SQLite statement, finalized on every way out: an early return can
// leave neither a statement nor (through it) a busy connection behind.
#pragma once

#include <sqlite3.h>

namespace varnell {

class SqliteStatement {
public:
    SqliteStatement() = default;
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;
    ~SqliteStatement() { sqlite3_finalize(stmt_); }

    // Prepares sql on db in place of what was held; sqlite3_prepare_v2's code.
    int Prepare(sqlite3* db, const char* sql)
    {
        Finalize();
        return sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    }
    // A connection closes only once its statements are finalized.
    void Finalize()
    {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }

    sqlite3_stmt* get() const { return stmt_; }
    explicit operator bool() const { return stmt_ != nullptr; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

} // namespace varnell
