#include "monitor/item_csv.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <mutex>
#include <optional>
#include <unordered_set>

#include "base/net/address_text.h"
#include "base/utf8.h"
#include "config/settings.h"
#include "items/address6.h"
#include "items/answer_eval.h"
#include "items/item_entry.h"
#include "items/item_table.h"
#include "items/result_eval.h"
#include "items/transport_state.h"

namespace varnell {

namespace {

enum Column : std::size_t {
    kName,
    kDomain,
    kType,
    kServer,
    kInterval,
    kTimeout,
    kContinuousLost,
    kNotifyDown,
    kNotifyUp,
    kNotifyChange,
    kRecursionDesired,
    kHighPriority,
    kSuspended,
    kDescription,
    kRecursionAvailable,
    // What the item expects of its answer (items/answer_conditions.h).
    kExpectMode,
    kExpect,
    kExpectRcode,
    kDnssec,
    kSigWarnDays,
    kTransport,
    kTlsName,
    kUrl,
    kTlsPin,
    kCertWarnDays,
    kColumnCount
};
constexpr std::array<std::string_view, kColumnCount> kColumnNames = {
    "name",      "domain",      "type",          "server",            "interval_ms",
    "timeout_ms", "continuous_lost", "notify_down", "notify_up",      "notify_change",
    "recursion_desired", "high_priority", "suspended", "description", "recursion_available",
    "expect_mode", "expect", "expect_rcode", "dnssec", "sig_warn_days",
    "transport", "tls_name", "url", "tls_pin", "cert_warn_days",
};
static_assert(kColumnCount == kCsvColumnCount && kExpectMode == kFirstConditionColumn && kTransport == kFirstTransportColumn);
constexpr std::size_t kRequiredColumns = 4; // name, domain, type, server

// One row's values by column; nullptr where the column is absent.
using RowValues = std::array<const std::string*, kColumnCount>;

std::optional<std::size_t> ColumnIndex(std::string_view name)
{
    for (std::size_t c = 0; c < kColumnCount; ++c)
        if (kColumnNames[c] == name)
            return c;
    return std::nullopt;
}

std::string Quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

// A whole decimal number from 0 to max, digits only: what the export writes.
// The dialog's lenient reading ("12abc" is 12) would turn a typing mistake in a
// file of hundreds of rows into a silently different item.
bool ReadNumber(const std::string* value, std::int32_t max, std::int32_t& out)
{
    if (value == nullptr || value->empty())
        return true; // keeps the default
    std::int32_t n = 0;
    const char* end = value->data() + value->size();
    const auto [ptr, ec] = std::from_chars(value->data(), end, n);
    if (ec != std::errc() || ptr != end || (*value)[0] == '-' || n > max)
        return false;
    out = n;
    return true;
}

bool ReadFlag(const std::string* value, bool& out)
{
    if (value == nullptr || value->empty())
        return true;
    if (*value != "0" && *value != "1")
        return false;
    out = *value == "1";
    return true;
}

std::string TypeNames()
{
    std::string names;
    for (std::uint32_t i = 0; i < kRecordTypeCount; ++i)
        names += (i == 0 ? "" : i + 1 == kRecordTypeCount ? " or " : ", ") + std::string(RecordTypeName(i));
    return names;
}

// The row's transport columns; absent ones keep UDP's defaults.
std::string TransportFromRow(const RowValues& row, ItemTransport& t)
{
    t = ItemTransport{};
    for (const Column c : {kTransport, kTlsName, kUrl, kTlsPin, kCertWarnDays}) {
        std::string why;
        if (row[c] != nullptr && !SetItemTransportField(t, kColumnNames[c], TrimSpace(*row[c]), why))
            return why;
    }
    return CheckItemTransport(t);
}

// The row's values as an entry with the dialog's defaults for what is absent.
// Returns why not, or an empty text.
std::string EntryFromRow(const RowValues& row, ItemEntry& entry, bool& suspended, AnswerConditions& conditions)
{
    for (std::size_t c = 0; c < kColumnCount; ++c)
        if (row[c] != nullptr && !IsUtf8(*row[c]))
            return Quoted(kColumnNames[c]) + " is not UTF-8 text";
    for (std::size_t c = 0; c < kRequiredColumns; ++c)
        // The dialog stores an empty name, and an empty domain (the root); a
        // type or a server of blanks alone is no value.
        if (row[c] == nullptr || ((c == kType || c == kServer) && TrimSpace(*row[c]).empty()))
            return "no value in the required column " + Quoted(kColumnNames[c]);

    entry = ItemEntry{};
    entry.highPriorityMail = (CurrentSettings().mail.flags & kMailHighPriority) != 0;
    entry.name = *row[kName];
    entry.domain = *row[kDomain];
    entry.server = *row[kServer];
    if (row[kDescription] != nullptr)
        entry.description = *row[kDescription];
    const int type = RecordTypeIndex(*row[kType]);
    if (type < 0)
        return "unknown record type " + Quoted(*row[kType]) + " (" + TypeNames() + ")";
    entry.typeIndex = static_cast<std::uint32_t>(type);

    struct NumberColumn {
        Column column;
        std::int32_t max;
        std::int32_t* out;
    };
    // The dialog keeps only six bits of the continuous-lost count ("70" becomes
    // 6); a file asks for what it says, so a count the item cannot hold is refused.
    const NumberColumn numbers[] = {
        {kInterval, INT32_MAX, &entry.interval},
        {kTimeout, INT32_MAX, &entry.timeout},
        {kContinuousLost, 63, &entry.lostCount},
    };
    for (const NumberColumn& n : numbers)
        if (!ReadNumber(row[n.column], n.max, *n.out))
            return Quoted(kColumnNames[n.column]) + " is not a whole number from 0 to " + std::to_string(n.max);

    suspended = false;
    const std::pair<Column, bool*> flags[] = {
        {kNotifyDown, &entry.notifyDown},      {kNotifyUp, &entry.notifyUp},
        {kNotifyChange, &entry.notifyChange},  {kRecursionDesired, &entry.recursionDesired},
        {kHighPriority, &entry.highPriorityMail}, {kSuspended, &suspended},
        {kRecursionAvailable, &entry.recursionAvailable},
    };
    for (const auto& [column, out] : flags)
        if (!ReadFlag(row[column], *out))
            return Quoted(kColumnNames[column]) + " must be 0 or 1";

    ConditionFields fields;
    const std::pair<Column, std::string*> texts[] = {
        {kExpectMode, &fields.mode}, {kExpect, &fields.values},          {kExpectRcode, &fields.rcode},
        {kDnssec, &fields.dnssec},   {kSigWarnDays, &fields.sigWarnDays},
    };
    for (const auto& [column, out] : texts)
        if (row[column] != nullptr)
            *out = *row[column];
    return ReadConditionFields(fields, conditions);
}

// Adds the planned items in one hold of the engine lock, so the scheduler never
// sees a suspended item before its suspension. All or nothing: the room is
// counted again under the lock before the first one goes in, and should the
// table still refuse one, the rows already added are taken out again.
bool AddPlanned(const std::vector<NewItem>& planned)
{
    if (planned.empty())
        return true;
    std::lock_guard lock(EngineLock());
    if (FreeItemSlots() < planned.size())
        return false;
    std::size_t added = 0;
    const auto undo = [&added] {
        while (added-- > 0)
            DeleteItemRow(LockItems()->rowCount - 1);
        return false;
    };
    for (const NewItem& p : planned) {
        const int slot = NewItemSlot();
        if (slot < 0 || !CommitNewItem(static_cast<std::uint32_t>(slot), p.edit))
            return undo();
        ++added;
        // A new item holds at most its server's text besides these; should its
        // conditions and its transport still not fit, nothing is added.
        const auto at = static_cast<std::uint32_t>(slot);
        if (!SetItemConditions(LockItems()->items[at], p.conditions) ||
            !SetItemTransport(LockItems()->items[at], p.transport))
            return undo();
        if (p.suspended)
            SuspendItem(static_cast<std::uint32_t>(slot));
    }
    return true;
}

// --- RFC 4180 records --------------------------------------------------------

struct Record {
    std::size_t line = 0;
    std::vector<std::string> fields;
    std::string error; // why the record cannot be read; fields are then incomplete
};

class RecordReader {
public:
    explicit RecordReader(std::string_view text) : text_(text)
    {
        if (text_.starts_with("\xEF\xBB\xBF")) // a byte order mark some editors write
            text_.remove_prefix(3);
    }

    // The next record that is not an empty line; false at the end of the text.
    bool Next(Record& record)
    {
        while (pos_ < text_.size()) {
            record = Record{};
            record.line = line_;
            ReadRecord(record);
            if (!record.error.empty() || record.fields.size() > 1 || !record.fields[0].empty())
                return true;
        }
        return false;
    }

private:
    bool AtLineEnd() const
    {
        return pos_ < text_.size() && (text_[pos_] == '\n' || text_.substr(pos_).starts_with("\r\n"));
    }
    void SkipLineEnd()
    {
        pos_ += text_[pos_] == '\r' ? 2 : 1;
        ++line_;
    }
    // After a malformed field: on to the next physical line.
    void SkipRestOfLine()
    {
        while (pos_ < text_.size() && !AtLineEnd())
            ++pos_;
        if (pos_ < text_.size())
            SkipLineEnd();
    }

    void ReadRecord(Record& record)
    {
        while (true) {
            std::string field;
            if (pos_ < text_.size() && text_[pos_] == '"') {
                if (!ReadQuoted(field, record))
                    return;
            } else {
                while (pos_ < text_.size() && text_[pos_] != ',' && !AtLineEnd()) {
                    if (text_[pos_] == '"') {
                        record.error = "a double quote inside a field that does not start with one";
                        SkipRestOfLine();
                        return;
                    }
                    field += text_[pos_++];
                }
            }
            record.fields.push_back(std::move(field));
            if (pos_ >= text_.size())
                return;
            if (text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            SkipLineEnd();
            return;
        }
    }

    bool ReadQuoted(std::string& field, Record& record)
    {
        ++pos_; // the opening quote
        while (true) {
            if (pos_ >= text_.size()) {
                record.error = "a quoted field is not closed";
                return false;
            }
            const char c = text_[pos_++];
            if (c == '"') {
                if (pos_ < text_.size() && text_[pos_] == '"') {
                    field += '"';
                    ++pos_;
                    continue;
                }
                if (pos_ < text_.size() && text_[pos_] != ',' && !AtLineEnd()) {
                    record.error = "text after the closing double quote of a field";
                    SkipRestOfLine();
                    return false;
                }
                return true;
            }
            if (c == '\n')
                ++line_;
            field += c;
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
};

} // namespace

void AppendCsvField(std::string& out, std::string_view value)
{
    if (value.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += value;
        return;
    }
    out += '"';
    for (const char c : value) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

std::string CsvSizeProblem(std::size_t bytes)
{
    if (bytes <= kItemsCsvLimit)
        return {};
    return "the item list is " + std::to_string(bytes) + " bytes as CSV, more than the " +
           std::to_string(kItemsCsvLimit) + " an import reads";
}

bool ReadItemsCsv(std::string_view text, std::vector<CsvItem>& items, std::vector<CsvProblem>& problems)
{
    if (std::string tooLarge = CsvSizeProblem(text.size()); !tooLarge.empty()) {
        problems.push_back({1, std::move(tooLarge)});
        return false;
    }
    const std::size_t problemsBefore = problems.size();
    RecordReader reader(text);
    Record header;
    if (!reader.Next(header)) {
        problems.push_back({1, "no header row"});
        return false;
    }
    if (!header.error.empty()) {
        problems.push_back({header.line, header.error});
        return false;
    }
    // Where each field of a row goes.
    std::vector<std::size_t> columnOf;
    std::array<bool, kColumnCount> seen{};
    for (const std::string& name : header.fields) {
        const std::optional<std::size_t> c = ColumnIndex(name);
        if (!c) {
            problems.push_back({header.line, "unknown column " + Quoted(name)});
        } else if (seen[*c]) {
            problems.push_back({header.line, "the column " + Quoted(name) + " appears twice"});
        } else {
            seen[*c] = true;
            columnOf.push_back(*c);
        }
    }
    for (std::size_t c = 0; c < kRequiredColumns; ++c)
        if (!seen[c])
            problems.push_back({header.line, "missing column " + Quoted(kColumnNames[c])});
    if (problems.size() != problemsBefore)
        return false;

    Record record;
    while (reader.Next(record)) {
        if (!record.error.empty()) {
            problems.push_back({record.line, record.error});
            continue;
        }
        if (record.fields.size() != columnOf.size()) {
            problems.push_back({record.line, "expected " + std::to_string(columnOf.size()) + " fields, found " +
                                                 std::to_string(record.fields.size())});
            continue;
        }
        RowValues row{};
        for (std::size_t f = 0; f < record.fields.size(); ++f)
            row[columnOf[f]] = &record.fields[f];
        CsvItem item;
        item.line = record.line;
        std::string reason = EntryFromRow(row, item.entry, item.suspended, item.conditions);
        if (reason.empty())
            reason = TransportFromRow(row, item.transport);
        if (!reason.empty()) {
            problems.push_back({record.line, std::move(reason)});
            continue;
        }
        items.push_back(std::move(item));
    }
    return true;
}

void SortProblems(std::vector<CsvProblem>& problems)
{
    std::stable_sort(problems.begin(), problems.end(),
                     [](const CsvProblem& a, const CsvProblem& b) { return a.line < b.line; });
}

bool AddNewItems(const std::vector<NewItem>& items) { return AddPlanned(items); }

int ImportItemsCsv(std::string_view text, std::vector<CsvProblem>& problems)
{
    std::vector<CsvItem> rows;
    const std::size_t problemsBefore = problems.size();
    if (!ReadItemsCsv(text, rows, problems))
        return -1;
    std::vector<NewItem> planned;
    std::unordered_set<std::string> names;
    bool fullReported = false;
    for (const CsvItem& row : rows) {
        NewItem item{};
        item.suspended = row.suspended;
        item.conditions = row.conditions;
        item.transport = row.transport;
        EntryTarget target;
        target.pendingNew = planned.size();
        target.pendingNames = &names;
        std::string reason = CheckItemEntry(row.entry, target, item.edit);
        if (reason.empty()) {
            // Empty names are never taken, as in the dialog: several may come in.
            if (!item.edit.name.empty())
                names.insert(item.edit.name);
            planned.push_back(std::move(item));
            continue;
        }
        // Every row past the end of the table would say the same: once is enough.
        const bool full = reason == kTableFullMessage;
        if (!full || !fullReported)
            problems.push_back({row.line, std::move(reason)});
        fullReported = fullReported || full;
    }
    if (problems.size() != problemsBefore) {
        SortProblems(problems);
        return -1;
    }
    if (!AddPlanned(planned)) {
        problems.push_back({1, std::string(kTableFullMessage)});
        return -1;
    }
    return static_cast<int>(planned.size());
}

std::string_view ItemColumnName(std::size_t column) { return column < kColumnCount ? kColumnNames[column] : ""; }

std::array<std::string, kCsvColumnCount> ItemColumnValues(const ItemEdit& e, bool suspended,
                                                          const ConditionFields& conditions,
                                                          const ItemTransport& transport)
{
    const auto flag = [](bool on) { return std::string(on ? "1" : "0"); };
    return {
        e.name,
        e.domain,
        std::string(RecordTypeName(e.typeIndex)),
        e.server6 ? Address6Text(e.server6Address) : DottedAddress(e.serverBE),
        std::to_string(e.interval),
        std::to_string(e.timeout),
        std::to_string(e.lostCount),
        flag(e.notifyDown),
        flag(e.notifyUp),
        flag(e.notifyChange),
        flag(e.recursionDesired),
        flag(e.highPriorityMail),
        flag(suspended),
        e.description,
        flag(e.recursionAvailable),
        conditions.mode,
        conditions.values,
        conditions.rcode,
        conditions.dnssec,
        conditions.sigWarnDays,
        std::string(TransportName(transport.transport)),
        transport.tlsName,
        transport.url,
        transport.pin,
        transport.certWarnDays != 0 ? std::to_string(transport.certWarnDays) : std::string(),
    };
}

std::string ExportItemsCsv()
{
    std::string out;
    for (std::size_t c = 0; c < kColumnCount; ++c) {
        out += c == 0 ? "" : ",";
        out += kColumnNames[c];
    }
    out += "\r\n";

    const LockedItems locked = LockItems();

    const ItemTable& t = *locked;
    // List order when the list is filled; otherwise (a program that shows no
    // list) slot order, which is also the order the store keeps.
    std::vector<std::uint32_t> slots;
    if (t.rowCount == t.liveCount) {
        for (std::uint32_t r = 0; r < t.rowCount && r < kItemSlots; ++r)
            slots.push_back(t.rowToSlot[r]);
    } else {
        for (std::uint32_t i = 0; i < t.highWater && i < kItemSlots; ++i)
            if ((t.items[i].flags & kFlagDeleted) == 0)
                slots.push_back(i);
    }
    // By name, so that two exports of one list diff cleanly whatever the order
    // on screen; items of one name keep their list order.
    std::stable_sort(slots.begin(), slots.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return t.blocks[a].name < t.blocks[b].name; });
    for (const std::uint32_t slot : slots) {
        const DnsItem& item = t.items[slot];
        bool suspended = false;
        ConditionFields conditions;
        ItemTransport transport;
        {
            std::lock_guard lock(EngineLock());
            suspended = (item.flags & kFlagSuspended) != 0;
            conditions = FieldsOf(AnswerOf(slot).conditions);
            transport = TransportOf(item).settings;
        }
        // From the edit, read under the engine lock, rather than from the block.
        const auto values = ItemColumnValues(EditOf(item), suspended, conditions, transport);
        for (std::size_t c = 0; c < kColumnCount; ++c) {
            if (c != 0)
                out += ',';
            AppendCsvField(out, values[c]);
        }
        out += "\r\n";
    }
    return out;
}

bool AddItemFromFields(const std::map<std::string, std::string>& columns, std::string& reason)
{
    RowValues row{};
    for (const auto& [name, value] : columns) {
        const std::optional<std::size_t> c = ColumnIndex(name);
        if (!c) {
            reason = "unknown column " + Quoted(name);
            return false;
        }
        row[*c] = &value;
    }
    ItemEntry entry;
    NewItem item{};
    reason = EntryFromRow(row, entry, item.suspended, item.conditions);
    if (reason.empty())
        reason = TransportFromRow(row, item.transport);
    if (reason.empty())
        reason = CheckItemEntry(entry, EntryTarget{}, item.edit);
    if (!reason.empty())
        return false;
    if (!AddPlanned({std::move(item)})) {
        reason = kTableFullMessage;
        return false;
    }
    return true;
}

} // namespace varnell
