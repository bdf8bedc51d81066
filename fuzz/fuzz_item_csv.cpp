// Fuzz target: the CSV item import on arbitrary text. A file to import comes
// from anywhere; the reader must stay inside it, a refused file must leave the
// table as it was, and whatever it takes must export to text that imports
// back to the same items and the same text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "items/item_table.h"
#include "monitor/item_csv.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > (1u << 20))
        return 0;
    using namespace varnell;
    static const bool once = [] {
        InitItemTable();
        return true;
    }();
    (void)once;
    std::vector<CsvProblem> problems;
    const int added = ImportItemsCsv(std::string_view(reinterpret_cast<const char*>(data), size), problems);
    if (added < 0) {
        if (problems.empty() || LockItems()->liveCount != 0)
            __builtin_trap();
        return 0;
    }
    if (!problems.empty() || LockItems()->liveCount != static_cast<std::uint32_t>(added))
        __builtin_trap();
    if (added == 0)
        return 0;
    const std::string first = ExportItemsCsv();
    InitItemTable();
    if (ImportItemsCsv(first, problems) != added || ExportItemsCsv() != first)
        __builtin_trap();
    InitItemTable();
    return 0;
}
