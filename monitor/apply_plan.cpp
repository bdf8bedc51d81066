#include "monitor/apply_plan.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "items/answer_eval.h"
#include "items/item_entry.h"
#include "items/item_table.h"
#include "items/transport_state.h"
#include "monitor/monitor.h"

namespace varnell {

namespace {

// A suspension alone is no reason to rewrite the item (which ends its pending
// requests); it is told apart by the column's name.
std::size_t SuspendedColumn()
{
    std::size_t c = 0;
    while (c < kCsvColumnCount && ItemColumnName(c) != "suspended")
        ++c;
    return c;
}

struct Update {
    std::size_t line;
    std::uint32_t slot;
    ItemEdit edit;
    ItemTransport transport;
    bool settingsChanged; // more than the suspension
    bool transportChanged;
    bool wasSuspended;
    bool suspended;
    // Set only when they differ, so that an item whose conditions stay keeps
    // the digest of its answer set (and makes no change event of the edit).
    std::optional<AnswerConditions> conditions;
};

// A value as the plan shows it: as the file would write it, an empty one as "".
std::string Shown(std::string_view value)
{
    if (value.empty())
        return "\"\"";
    std::string out;
    AppendCsvField(out, value);
    return out;
}

bool Suspended(const DnsItem& item)
{
    std::lock_guard lock(EngineLock());
    return (item.flags & kFlagSuspended) != 0;
}

CsvProblem NoRoomForConditions(std::size_t line, const std::string& name)
{
    return {line, "the item \"" + name + "\" has no room left for these conditions"};
}

ConditionFields ConditionsOf(std::uint32_t slot)
{
    std::lock_guard lock(EngineLock());
    return FieldsOf(AnswerOf(slot).conditions);
}

} // namespace

ApplyResult ApplyItemsCsv(std::string_view text, bool prune, bool dryRun)
{
    ApplyResult result;
    std::vector<CsvItem> rows;
    if (!ReadItemsCsv(text, rows, result.problems))
        return result;

    // The plan is made under the engine lock; applying it goes through the
    // commits and the window, which take the lock themselves.
    std::optional<LockedItems> locked{LockItems()};
    ItemTable& t = **locked;
    const std::size_t suspendedColumn = SuspendedColumn();
    // The table's rows by name; a name held twice cannot be matched to one row.
    std::unordered_map<std::string, std::vector<std::uint32_t>> rowsOf;
    for (std::uint32_t row = 0; row < t.rowCount && row < kItemSlots; ++row)
        rowsOf[t.blocks[t.rowToSlot[row]].name].push_back(row);

    std::vector<NewItem> adds;
    std::vector<Update> updates;
    std::unordered_map<std::string, std::size_t> fileLine;
    std::unordered_set<std::string> newNames;
    for (const CsvItem& row : rows) {
        const std::string& name = row.entry.name;
        if (name.empty()) {
            result.problems.push_back({row.line, "no name: items are matched to rows by their names"});
            continue;
        }
        if (const auto [it, fresh] = fileLine.emplace(name, row.line); !fresh) {
            result.problems.push_back(
                {row.line, "the name \"" + name + "\" is on line " + std::to_string(it->second) + " already"});
            continue;
        }
        const auto found = rowsOf.find(name);
        if (found != rowsOf.end() && found->second.size() > 1) {
            result.problems.push_back({row.line, std::to_string(found->second.size()) + " items are named \"" + name +
                                                     "\"; rename or delete all but one first"});
            continue;
        }
        ItemEntry entry = row.entry;
        EntryTarget target;
        std::uint32_t slot = 0;
        if (found != rowsOf.end()) {
            slot = t.rowToSlot[found->second[0]];
            target.updateSlot = static_cast<int>(slot);
            // Not a column of the file: the item keeps its own.
            entry.mailGroup = EditOf(t.items[slot]).mailGroup;
        } else {
            // Room is counted without the items a prune would free, so that
            // adding can never fail once deleting has begun.
            target.pendingNew = adds.size();
            target.pendingNames = &newNames;
        }
        ItemEdit edit;
        if (std::string reason = CheckItemEntry(entry, target, edit); !reason.empty()) {
            result.problems.push_back({row.line, std::move(reason)});
            continue;
        }
        if (found == rowsOf.end()) {
            newNames.insert(name);
            result.plan.push_back("+ " + name);
            adds.push_back({std::move(edit), row.suspended, row.conditions, row.transport});
            continue;
        }
        const DnsItem& item = t.items[slot];
        const bool wasSuspended = Suspended(item);
        const ConditionFields conditionsBefore = ConditionsOf(slot);
        const ConditionFields conditionsAfter = FieldsOf(row.conditions);
        const auto before = ItemColumnValues(EditOf(item), wasSuspended, conditionsBefore, TransportOf(item).settings);
        const auto after = ItemColumnValues(edit, row.suspended, conditionsAfter, row.transport);
        // The conditions live in the item's extra texts: with no room for them
        // the whole file is refused here, before anything changes.
        std::optional<AnswerConditions> conditions;
        if (conditionsBefore != conditionsAfter) {
            if (!ConditionsFit(slot, edit.server6, row.conditions)) {
                result.problems.push_back(NoRoomForConditions(row.line, name));
                continue;
            }
            conditions = row.conditions;
        }
        bool settingsChanged = false;
        bool transportChanged = false;
        for (std::size_t c = 0; c < kCsvColumnCount; ++c) {
            if (before[c] == after[c])
                continue;
            settingsChanged = settingsChanged || c != suspendedColumn;
            transportChanged = transportChanged || c >= kFirstTransportColumn;
            result.plan.push_back("~ " + name + ": " + std::string(ItemColumnName(c)) + " " + Shown(before[c]) +
                                  " \u2192 " + Shown(after[c]));
        }
        if (settingsChanged || wasSuspended != row.suspended)
            updates.push_back(
                {row.line, slot, std::move(edit), row.transport, settingsChanged, transportChanged, wasSuspended,
                 row.suspended, std::move(conditions)});
    }
    if (!result.problems.empty()) {
        SortProblems(result.problems);
        result.plan.clear();
        return result;
    }

    std::vector<std::uint32_t> deletions;
    if (prune)
        for (std::uint32_t row = 0; row < t.rowCount && row < kItemSlots; ++row)
            if (!fileLine.contains(t.blocks[t.rowToSlot[row]].name)) {
                result.plan.push_back("- " + t.blocks[t.rowToSlot[row]].name);
                deletions.push_back(row);
            }
    if (dryRun || result.plan.empty())
        return result;
    locked.reset();

    // Adding and writing new conditions are the steps that can fail (the table
    // may have filled since the check; the metrics thread may have given an
    // item its "id=" text, taking the room its conditions were to have): both
    // are checked again and made in one hold of the engine lock before anything
    // else, so that a failure leaves the table as it was and no probe sees an
    // item without its conditions.
    const std::uint32_t rowsBefore = t.rowCount;
    {
        std::lock_guard lock(EngineLock());
        for (const Update& u : updates)
            if (u.conditions && !ConditionsFit(u.slot, u.edit.server6, *u.conditions)) {
                result.problems.push_back(NoRoomForConditions(u.line, u.edit.name));
                result.plan.clear();
                return result;
            }
        if (!AddNewItems(adds)) {
            result.problems.push_back({1, std::string(kTableFullMessage)});
            result.plan.clear();
            return result;
        }
        for (const Update& u : updates)
            if (u.settingsChanged) {
                CommitItemUpdate(u.slot, u.edit);
                if (u.conditions)
                    SetItemConditions(LockItems()->items[u.slot], *u.conditions);
                // Fails only when the item's other extra texts leave no room for them.
                if (u.transportChanged && !SetItemTransport(LockItems()->items[u.slot], u.transport))
                    result.problems.push_back({u.line, "no room for the transport of " + u.edit.name});
            }
    }
    result.changed = true;
    const MonitorLayer& layer = CurrentLayer();
    if (layer.rowAdded)
        for (std::uint32_t row = rowsBefore; row < t.rowCount && row < kItemSlots; ++row)
            layer.rowAdded(t.items[t.rowToSlot[row]]);
    for (const Update& u : updates) {
        if (u.suspended && !u.wasSuspended)
            SuspendItem(u.slot);
        else if (!u.suspended && u.wasSuspended)
            ResumeItem(u.slot);
        if (layer.rowChanged)
            layer.rowChanged(t.items[u.slot]);
    }
    // From the last row up, so that the rows still to go keep their numbers.
    for (auto row = deletions.rbegin(); row != deletions.rend(); ++row) {
        // The list on screen drops the row first, so the two never disagree; a
        // window that refuses is a broken invariant, and what is done is kept.
        if (layer.removeRow && !layer.removeRow(*row)) {
            result.problems.push_back({1, "the window refused to delete " + t.blocks[t.rowToSlot[*row]].name});
            return result;
        }
        DeleteItemRow(*row);
    }
    return result;
}

} // namespace varnell
