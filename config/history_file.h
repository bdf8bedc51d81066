// The round-trip history kept across a restart: one SQLite database,
// StateDir()/varnell/history.db, one row per item:
//
//   CREATE TABLE history(key TEXT PRIMARY KEY, data BLOB NOT NULL);
//
// key names the item by what it asks (name, domain, server, record type), so a
// history follows its item whatever slot the item gets at the next start, and an
// item that was changed to ask something else starts afresh. data is
// EncodeHistory's form. The file is written at exit and every ten minutes, never
// in the settings store. A file that cannot be read as such a database is moved
// aside (AsideName) and the history starts empty.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "items/item_table.h"

namespace varnell {

// StateDir()/varnell/history.db
std::string HistoryPath();

// The identity of an item in the history file.
std::string HistoryKey(const DnsItem& item);

struct HistoryRow {
    std::string key;
    std::vector<std::uint8_t> data;
};

enum class HistoryLoad { kLoaded, kAbsent, kMovedAside, kFailed };

// Reads the file into the histories of the live items (user-interface thread).
// Rows of unknown items are dropped; a row whose bytes do not decode is skipped.
HistoryLoad LoadHistoryFile(const std::string& path);

// The rows of every live item's history, encoded for writing (owner thread).
std::vector<HistoryRow> CollectHistoryRows(std::int64_t nowSeconds);
// Replaces the file's rows in one transaction. Any thread, one writer at a time.
bool WriteHistoryFile(const std::string& path, const std::vector<HistoryRow>& rows);

// Keeping the file, for a running monitor (owner thread throughout):
inline constexpr std::int64_t kHistorySaveSeconds = 10 * 60;
// Loads path into the live items' histories and arms the periodic save.
HistoryLoad StartHistoryKeeping(const std::string& path);
// Call after each result: once the last save is kHistorySaveSeconds old, the
// items' keys are taken here (a fraction of a millisecond for a full table) and
// a writer thread encodes and writes; a save still running is not doubled.
void KeepHistory(std::int64_t nowSeconds);
// Waits for the writer, then writes once more here. false when that failed or
// nothing was being kept.
bool StopHistoryKeeping();

} // namespace varnell
