#include "config/settings_blob.h"

#include "items/transport_state.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "base/byte_reader.h"
#include "items/address6.h"
#include "items/answer_eval.h"

namespace varnell {

namespace {

std::vector<std::string>& ItemLoadNotes()
{
    static std::vector<std::string> notes;
    return notes;
}

// Integers that records 4, 5 and 6 carry before their trailing count.
constexpr std::size_t kReservedIntCount[3] = {1, 2, 1};
constexpr std::size_t kRecord7TrailingOffset = 100;
constexpr std::size_t kTrailingEmptyGeneralTexts = 128;

class BlobWriter {
public:
    explicit BlobWriter(std::vector<std::uint8_t>& out) : out_(out) {}

    void BeginRecord(std::int32_t type)
    {
        recordStart_ = out_.size();
        PutI32(sequence_);
        PutI32(type);
        PutI32(0); // body length, patched by EndRecord
    }
    void EndRecord()
    {
        const std::size_t body = out_.size() - recordStart_ - kRecordHeaderSize;
        StoreU32LE(out_.data() + recordStart_ + 8, static_cast<std::uint32_t>(body));
        ++sequence_;
    }
    // A record that could not be built is left out; serialising goes on.
    void DropRecord() { out_.resize(recordStart_); }

    void PutU32(std::uint32_t v)
    {
        std::uint8_t b[4];
        StoreU32LE(b, v);
        out_.insert(out_.end(), b, b + 4);
    }
    void PutI32(std::int32_t v) { PutU32(static_cast<std::uint32_t>(v)); }
    void PutBytes(const void* data, std::size_t n)
    {
        const auto* p = static_cast<const std::uint8_t*>(data);
        out_.insert(out_.end(), p, p + n);
    }
    void PutZeros(std::size_t n) { out_.insert(out_.end(), n, 0); }
    // Written up to its first zero byte: the stored form has no room for more.
    void PutText(const std::string& text) { PutBytes(text.c_str(), std::strlen(text.c_str()) + 1); }
    std::size_t Size() const { return out_.size(); }
    void PatchU32(std::size_t at, std::uint32_t v) { StoreU32LE(out_.data() + at, v); }

private:
    std::vector<std::uint8_t>& out_;
    std::size_t recordStart_ = 0;
    std::int32_t sequence_ = 0;
};

// A stored count is signed and untrusted: never negative, and never more entries
// than the rest of the body could hold at minEntrySize bytes each.
std::size_t BoundedCount(std::int32_t stored, const ByteReader& r, std::size_t minEntrySize)
{
    if (stored <= 0)
        return 0;
    const std::size_t fits = r.Remaining() / minEntrySize;
    const auto n = static_cast<std::size_t>(stored);
    return n < fits ? n : fits;
}

void WriteGeneral(BlobWriter& w, const GeneralSettings& g)
{
    w.PutBytes(g.block.data(), g.block.size());
    for (const std::string& text : g.texts)
        w.PutText(text);
    w.PutZeros(kTrailingEmptyGeneralTexts);
}

void WriteMessenger(BlobWriter& w, const MessengerSettings& m)
{
    w.PutI32(m.retryTimes);
    w.PutI32(static_cast<std::int32_t>(m.receivers.size()));
    for (std::uint32_t addrBE : m.receivers) {
        w.PutU32(addrBE);
        w.PutI32(0);
    }
    w.PutText(m.messageTemplate);
}

void WriteMail(BlobWriter& w, const MailSettings& m)
{
    w.PutI32(m.reserved0);
    w.PutU32(m.flags);
    w.PutI32(m.reserved2);
    w.PutI32(static_cast<std::int32_t>(m.receivers.size()));
    w.PutI32(m.port);
    // The password is stored as it is: the stored form has no place for a key.
    for (const std::string* text : {&m.server, &m.fromAddress, &m.fromName, &m.user, &m.password, &m.testSubject,
                                    &m.subjectTemplate, &m.bodyTemplate})
        w.PutText(*text);
    for (const std::string& receiver : m.receivers) {
        w.PutText(receiver);
        w.PutI32(0);
    }
}

void WriteReserved(BlobWriter& w, ReservedRecord& rec, std::size_t intCount)
{
    for (std::size_t i = 0; i < intCount; ++i)
        w.PutI32(i < rec.ints.size() ? rec.ints[i] : 0);
    rec.trailingCount = static_cast<std::int32_t>(kReservedTrailingTexts);
    w.PutI32(rec.trailingCount);
    w.PutText(rec.texts[0]);
    w.PutText(rec.texts[1]);
    w.PutZeros(kReservedTrailingTexts);
}

void WriteReserved7(BlobWriter& w, ReservedRecord7& rec)
{
    StoreU32LE(rec.block.data() + kRecord7TrailingOffset, static_cast<std::uint32_t>(kReservedTrailingTexts));
    w.PutBytes(rec.block.data(), rec.block.size());
    for (const std::string& text : rec.texts)
        w.PutText(text);
    w.PutZeros(kReservedTrailingTexts);
}

void WriteSyslog(BlobWriter& w, const SyslogSettings& s)
{
    const std::size_t n = s.servers.size() < kMaxSyslogServers ? s.servers.size() : kMaxSyslogServers;
    w.PutI32(static_cast<std::int32_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        w.PutU32(s.servers[i]);
        w.PutI32(0);
    }
    w.PutText(s.messageTemplate);
    w.PutText(s.testMessage);
}

void WriteItems(BlobWriter& w, const ItemTable& table)
{
    const std::size_t countAt = w.Size();
    w.PutI32(0);
    std::int32_t written = 0;
    // The scheduler and the receiver change flags and counters while a save from
    // the Setup dialog runs: copy each record as it is, whole, under their lock.
    std::lock_guard lock(EngineLock());
    const std::uint32_t top = table.highWater < kItemSlots ? table.highWater : kItemSlots;
    for (std::uint32_t i = 0; i < top; ++i) {
        DnsItem item = table.items[i];
        if ((item.flags & kFlagDeleted) != 0)
            continue;
        const ItemBlock& block = table.blocks[i];
        // The block has room for no more than these; the stored counts must match
        // what follows the record, so clamp them in the copy.
        if (item.reservedTextCount > kReservedTexts)
            item.reservedTextCount = kReservedTexts;
        if (item.reservedIntCount > kReservedInts)
            item.reservedIntCount = static_cast<std::uint16_t>(kReservedInts);
        w.PutBytes(&item, sizeof item);
        w.PutText(block.name);
        w.PutText(block.description);
        w.PutText(block.domain);
        for (std::uint32_t k = 0; k < item.reservedTextCount; ++k)
            w.PutText(block.reservedTexts[k]);
        for (std::uint32_t m = 0; m < item.reservedIntCount; ++m)
            w.PutI32(block.reservedInts[m]);
        ++written;
    }
    w.PatchU32(countAt, static_cast<std::uint32_t>(written));
}

// --- loaders: each gets exactly its record's body ---------------------------

bool ReadText(ByteReader& r, std::string& out, std::size_t limit = SIZE_MAX) { return r.ReadCString(out, limit); }

void LoadGeneral(ByteReader r, GeneralSettings& g)
{
    if (!r.ReadBytes(g.block.data(), g.block.size()))
        return;
    for (std::size_t i = 0; i < kGeneralTextCount; ++i) {
        if (!ReadText(r, g.texts[i], kGeneralTextLimits[i]))
            return;
    }
    // 128 empty texts follow; nothing of them is kept.
}

void LoadMessenger(ByteReader r, MessengerSettings& m)
{
    std::int32_t retry = 0, count = 0;
    if (!r.ReadI32LE(retry) || !r.ReadI32LE(count))
        return;
    m.retryTimes = retry;
    const std::size_t n = BoundedCount(count, r, 8);
    m.receivers.assign(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t addrBE = 0;
        r.ReadU32LE(addrBE);
        r.Skip(4);
        m.receivers[i] = addrBE;
    }
    ReadText(r, m.messageTemplate);
}

void LoadMail(ByteReader r, MailSettings& m)
{
    std::int32_t reserved0 = 0, reserved2 = 0, count = 0, port = 0;
    std::uint32_t flags = 0;
    if (!r.ReadI32LE(reserved0) || !r.ReadU32LE(flags) || !r.ReadI32LE(reserved2) || !r.ReadI32LE(count) ||
        !r.ReadI32LE(port))
        return;
    m.reserved0 = reserved0;
    m.flags = flags;
    m.reserved2 = reserved2;
    m.port = port;
    for (std::string* text : {&m.server, &m.fromAddress, &m.fromName, &m.user, &m.password, &m.testSubject,
                              &m.subjectTemplate, &m.bodyTemplate}) {
        if (!ReadText(r, *text))
            return;
    }
    // Each receiver takes at least its terminator and the 4 bytes after it.
    const std::size_t n = BoundedCount(count, r, 5);
    m.receivers.clear();
    m.receivers.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::string address;
        if (!ReadText(r, address) || !r.Skip(4))
            return;
        m.receivers.push_back(std::move(address));
    }
}

void LoadReserved(ByteReader r, ReservedRecord& rec, std::size_t intCount)
{
    std::vector<std::int32_t> ints(intCount, 0);
    for (std::int32_t& v : ints) {
        if (!r.ReadI32LE(v))
            return;
    }
    std::int32_t storedTrailing = 0;
    if (!r.ReadI32LE(storedTrailing))
        return;
    rec.ints = std::move(ints);
    rec.trailingCount = static_cast<std::int32_t>(kReservedTrailingTexts);
    if (ReadText(r, rec.texts[0]))
        ReadText(r, rec.texts[1]);
}

void LoadReserved7(ByteReader r, ReservedRecord7& rec)
{
    if (!r.ReadBytes(rec.block.data(), rec.block.size()))
        return;
    StoreU32LE(rec.block.data() + kRecord7TrailingOffset, static_cast<std::uint32_t>(kReservedTrailingTexts));
    for (std::string& text : rec.texts) {
        if (!ReadText(r, text))
            return;
    }
}

void LoadSyslog(ByteReader r, SyslogSettings& s)
{
    std::int32_t count = 0;
    if (!r.ReadI32LE(count))
        return;
    const std::size_t n = BoundedCount(count, r, 8);
    s.servers.clear();
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t addrBE = 0;
        r.ReadU32LE(addrBE);
        r.Skip(4);
        if (s.servers.size() < kMaxSyslogServers)
            s.servers.push_back(addrBE);
    }
    if (ReadText(r, s.messageTemplate))
        ReadText(r, s.testMessage);
}

// Texts and integers stored after one item's record; false when the body ends
// before them. Those past what the block keeps are read and dropped, and the
// record's counts become what was kept, so the walk goes on with the next item
// and the next save writes counts that match what follows the record. A body
// cut short leaves counts of what was read, never the stored ones.
bool LoadItemExtras(ByteReader& r, DnsItem& item, ItemBlock& block)
{
    const std::uint32_t texts = item.reservedTextCount;
    const std::uint32_t ints = item.reservedIntCount;
    item.reservedTextCount = 0;
    item.reservedIntCount = 0;
    if (!ReadText(r, block.name) || !ReadText(r, block.description) || !ReadText(r, block.domain))
        return false;
    std::string dropped;
    for (std::uint32_t k = 0; k < texts; ++k) {
        if (!ReadText(r, k < kReservedTexts ? block.reservedTexts[k] : dropped))
            return false;
        item.reservedTextCount = std::min(k + 1, kReservedTexts);
    }
    std::int32_t droppedInt = 0;
    for (std::uint32_t m = 0; m < ints; ++m) {
        if (!r.ReadI32LE(m < kReservedInts ? block.reservedInts[m] : droppedInt))
            return false;
        item.reservedIntCount = static_cast<std::uint16_t>(std::min(m + 1, kReservedInts));
    }
    return true;
}

void LoadItems(ByteReader r, ItemTable& table)
{
    std::int32_t stored = 0;
    if (!r.ReadI32LE(stored))
        return;
    const std::uint32_t count =
        stored <= 0 ? 0u : (static_cast<std::uint32_t>(stored) < kItemSlots ? static_cast<std::uint32_t>(stored) : kItemSlots);
    std::lock_guard lock(EngineLock());
    std::uint32_t loaded = 0;
    for (; loaded < count; ++loaded) {
        PrepareItemSlots(loaded + 1); // a short file reaches no further
        DnsItem item;
        if (!r.ReadBytes(&item, sizeof item))
            break;
        item.flags &= ~(kFlagDeleted | kFlagOutstandingMask);
        item.nextDue = 0;
        item.blockLink = loaded;
        // Result evaluation walks knownCount entries of the known-address array.
        if (item.knownCount > kKnownAddresses)
            item.knownCount = kKnownAddresses;
        ItemBlock& block = table.blocks[loaded];
        ResetItemBlock(block);
        const std::uint32_t storedTexts = item.reservedTextCount;
        const bool whole = LoadItemExtras(r, item, block);
        // Known addresses that cannot be read would raise a change event on the
        // first probe, so the item waits, suspended, for the operator instead.
        // Its text stays as stored until a probe replaces it.
        if (!LoadKnown6(item, block)) {
            item.flags |= kFlagSuspended;
            ItemLoadNotes().push_back(block.name + " is suspended: its stored known6= addresses cannot be read");
        }
        // Without its address an IPv6-server item has nowhere to send its probes;
        // an IPv4 one carrying an address text leaves it open which server is meant.
        if (!LoadServer6(item, block)) {
            item.flags |= kFlagSuspended;
            ItemLoadNotes().push_back(block.name + " is suspended: its stored server6= address cannot be read");
        }
        // Conditions that cannot be read, or texts past what an item keeps (a
        // condition continued there would be cut), would judge the answer by
        // something else than what the operator set.
        if (const std::string why = LoadItemConditions(loaded, item, block); !why.empty()) {
            item.flags |= kFlagSuspended;
            ItemLoadNotes().push_back(block.name + " is suspended: its stored conditions cannot be read (" + why + ")");
        } else if (storedTexts > kReservedTexts) {
            item.flags |= kFlagSuspended;
            ItemLoadNotes().push_back(block.name + " is suspended: its stored texts do not fit the item");
        }
        table.items[loaded] = item;
        LoadItemTransport(table.items[loaded], block);
        if (const std::string why = CheckItemTransport(TransportOf(loaded).settings); !why.empty()) {
            table.items[loaded].flags |= kFlagSuspended;
            ItemLoadNotes().push_back(block.name + " is suspended: its stored transport cannot be used: " + why);
        }
        if (!whole) {
            ++loaded;
            break;
        }
    }
    // Only what was actually read counts as live: a short record never leaves
    // stale slots below the high-water mark.
    table.highWater = loaded;
    table.liveCount = loaded;
}

} // namespace

std::vector<std::string> TakeItemLoadNotes()
{
    std::vector<std::string> notes;
    notes.swap(ItemLoadNotes());
    return notes;
}

void BuildSettingsBlob(Settings& settings, const ItemTable& table, std::vector<std::uint8_t>& out)
{
    out.clear();
    BlobWriter w(out);
    for (std::int32_t type = kRecordGeneral; type <= kRecordItems; ++type) {
        w.BeginRecord(type);
        try {
            switch (type) {
            case kRecordGeneral: WriteGeneral(w, settings.general); break;
            case kRecordMessenger: WriteMessenger(w, settings.messenger); break;
            case kRecordMail: WriteMail(w, settings.mail); break;
            case kRecordReserved4: WriteReserved(w, settings.record4, kReservedIntCount[0]); break;
            case kRecordReserved5: WriteReserved(w, settings.record5, kReservedIntCount[1]); break;
            case kRecordReserved6: WriteReserved(w, settings.record6, kReservedIntCount[2]); break;
            case kRecordReserved7: WriteReserved7(w, settings.record7); break;
            case kRecordSyslog: WriteSyslog(w, settings.syslog); break;
            case kRecordItems: WriteItems(w, table); break;
            default: break;
            }
        } catch (const std::bad_alloc&) {
            // Out of memory: this record is left out and the others still saved.
            w.DropRecord();
            continue;
        }
        w.EndRecord();
    }
}

void ApplySettingsBlob(std::span<const std::uint8_t> blob, Settings& settings, ItemTable& table)
{
    ByteReader walk(blob);
    while (walk.Remaining() > 0) {
        std::int32_t sequence = 0, type = 0, length = 0;
        if (!walk.ReadI32LE(sequence) || !walk.ReadI32LE(type) || !walk.ReadI32LE(length))
            break;
        // A negative length or a body past the end leaves nothing to stand on.
        if (length < 0 || static_cast<std::size_t>(length) > walk.Remaining())
            break;
        const ByteReader body(blob.subspan(walk.Position(), static_cast<std::size_t>(length)));
        walk.Skip(static_cast<std::size_t>(length));
        switch (type) {
        case kRecordGeneral: LoadGeneral(body, settings.general); break;
        case kRecordMessenger: LoadMessenger(body, settings.messenger); break;
        case kRecordMail: LoadMail(body, settings.mail); break;
        case kRecordReserved4: LoadReserved(body, settings.record4, kReservedIntCount[0]); break;
        case kRecordReserved5: LoadReserved(body, settings.record5, kReservedIntCount[1]); break;
        case kRecordReserved6: LoadReserved(body, settings.record6, kReservedIntCount[2]); break;
        case kRecordReserved7: LoadReserved7(body, settings.record7); break;
        case kRecordSyslog: LoadSyslog(body, settings.syslog); break;
        case kRecordItems: LoadItems(body, table); break;
        default: break; // type 0 and unknown types: skipped by their length
        }
    }
}

} // namespace varnell
