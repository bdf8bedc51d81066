// Item lists as code: a CSV file (the export's columns) is the list an instance
// should have, and applying it changes the table to match. Rows are matched to
// items by name; a missing item is added, a changed one rewritten in place (its
// counters, state and metrics identity stay), and with prune every item the file
// does not name is deleted. The plan is one line per difference:
//   + NAME                     an item to add
//   ~ NAME: COLUMN OLD → NEW   one changed column of an item
//   - NAME                     an item to delete (prune)
// Applying is all or nothing: every row is checked by the item dialog's rules
// (CheckItemEntry) before anything changes, and a file with one bad row changes
// nothing. A second apply of the same file plans nothing.
//
// Runs on the thread that owns the item table, as every control request does.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "monitor/item_csv.h"

namespace varnell {

struct ApplyResult {
    std::vector<std::string> plan;   // in file order, deletions last
    std::vector<CsvProblem> problems; // when not empty, nothing was changed
    bool changed = false;            // the table was changed (never on a dry run)
};

// Plans the changes that make the table match text and, unless dryRun, makes
// them. Items are added only where the table has room without counting the
// ones prune deletes, so that no failure can come half way.
ApplyResult ApplyItemsCsv(std::string_view text, bool prune, bool dryRun);

} // namespace varnell
