// Monitored items as CSV text (RFC 4180, UTF-8, a header row), one item per row:
//   name,domain,type,server,interval_ms,timeout_ms,continuous_lost,notify_down,
//   notify_up,notify_change,recursion_desired,high_priority,suspended,description,
//   recursion_available,expect_mode,expect,expect_rcode,dnssec,sig_warn_days,
//   transport,tls_name,url,tls_pin,cert_warn_days
// Only the first four columns are required and they may come in any order; an
// empty or absent value takes the item dialog's default, except that the name
// and the domain may be empty, as in the dialog (an empty domain asks for the
// root). recursion_available came last and later than the others: files
// written before it import with the dialog's default, and so do files without
// the condition or transport columns (none; UDP). transport is empty or udp, tcp, tls or https;
// tls_name the name a TLS server's certificate must carry, url the HTTPS URL,
// tls_pin empty or sha256/<base64>, cert_warn_days empty or whole days
// (transport/item_transport.h checks them together). Types are the names of
// the engine's record type table, booleans are 0 or 1, the server is an IPv4 or
// IPv6 address. The last five are the item's conditions on its answer
// (items/answer_conditions.h): expect holds its values one per line inside the
// quoted field; all five empty is an item without conditions. Every row passes the same checks as the item dialog
// (CheckItemEntry), so nothing comes in that the dialog would have refused, and
// everything the dialog makes comes back from an export as it was (the mail
// group id aside, which is kept but never used).
//
// Everything here runs on the thread that owns the item table (the window's
// user-interface thread, or a program working on the store alone). New items
// take the rows after the existing ones: a caller that shows the list inserts
// rows for rowCount - count up to rowCount - 1 of the item table.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "items/answer_conditions.h"
#include "items/item_entry.h"
#include "transport/item_transport.h"

namespace varnell {

// The most an import reads, and so the most an export may write. A full table
// fits with descriptions of about 2 KB per item; sent to the running program,
// the text's JSON escapes (quotes, line ends) keep it within kControlLineLimit.
inline constexpr std::size_t kItemsCsvLimit = std::size_t{4} << 20;
// Empty when a CSV text of this size can be imported, else why not.
std::string CsvSizeProblem(std::size_t bytes);

struct CsvProblem {
    std::size_t line;   // physical line (from 1) where the record starts; the header is line 1
    std::string reason;
};

// Adds every row of text as a new item, or none: when any row is bad nothing is
// added, and problems gets one entry for each bad row (a header that cannot be
// read, or a table too full for the rows, is reported once). Returns the number
// of items added, or -1.
int ImportItemsCsv(std::string_view text, std::vector<CsvProblem>& problems);

// One row of an item file as the operator wrote it, before CheckItemEntry.
struct CsvItem {
    std::size_t line = 0; // where the record starts
    ItemEntry entry;
    bool suspended = false;
    AnswerConditions conditions;
    ItemTransport transport;
};
// Reads the header and every row into items, with the dialog's defaults for
// the columns a row leaves out; a row that cannot be read adds a problem
// instead, so that the caller can check the others and report all at once.
// false (with the problems) when the header or the size leaves nothing to read.
bool ReadItemsCsv(std::string_view text, std::vector<CsvItem>& items, std::vector<CsvProblem>& problems);
// Puts problems in line order, those of one line in the order they were found.
void SortProblems(std::vector<CsvProblem>& problems);

// An item as the table is to take it.
struct NewItem {
    ItemEdit edit;
    bool suspended = false;
    AnswerConditions conditions;
    ItemTransport transport;
};
// Adds them all in one hold of the engine lock, or none (false: no room).
bool AddNewItems(const std::vector<NewItem>& items);

// The columns in the order an export writes them, and an item's value in each
// as it writes it: two items with the same texts are the same item to a file.
inline constexpr std::size_t kCsvColumnCount = 25;
// The condition columns come after recursion_available, the transport columns
// after them, last.
inline constexpr std::size_t kFirstConditionColumn = 15;
inline constexpr std::size_t kFirstTransportColumn = 20;
std::string_view ItemColumnName(std::size_t column);
std::array<std::string, kCsvColumnCount> ItemColumnValues(const ItemEdit& edit, bool suspended,
                                                          const ConditionFields& conditions = {},
                                                          const ItemTransport& transport = {});
// Appends value as one CSV field, quoted when it has to be.
void AppendCsvField(std::string& out, std::string_view value);

// The header and one row per live item, sorted by name (byte order; items of
// one name in list order), so that exports of one list diff cleanly; lines end in CRLF.
// ImportItemsCsv reads it back to the same items and ExportItemsCsv then writes
// the same text again. A caller that writes it out first checks CsvSizeProblem:
// a list too large to import back is not exported.
std::string ExportItemsCsv();

// Adds one item from column name -> value, with the rules of an imported row.
// On failure returns false, sets reason and adds nothing.
bool AddItemFromFields(const std::map<std::string, std::string>& columns, std::string& reason);

} // namespace varnell
