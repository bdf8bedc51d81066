#include "metrics/exposition.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <charconv>
#include <mutex>
#include <random>

#include "base/utf8.h"
#include "items/address6.h"
#include "items/answer_eval.h"
#include "items/item_health.h"
#include "items/item_table.h"
#include "items/result_eval.h"
#include "items/result_hooks.h"
#include "items/transport_state.h"

#ifndef VARNELL_VERSION
#define VARNELL_VERSION "unknown"
#endif

namespace varnell {

namespace {

constexpr std::uint32_t kNoRoundTrip = 0xFFFFFFFFu;

// What one per-item series reads from a sample; false leaves the item out of
// that family (a round trip that has not been measured yet is absent, not 0).
using SampleValue = bool (*)(const ItemSample&, std::uint64_t& value);

enum class Unit { kCount, kMilliseconds, kMicroseconds };

struct ItemFamily {
    const char* name;
    const char* type;
    const char* help;
    Unit unit;
    SampleValue value;
};

bool Measured(const ItemSample& s) { return s.rttMin != kNoRoundTrip; }

// The metric's up: the item's health is up with suspension left aside (a
// suspended item keeps the value it had), and "answered" means a round trip
// was measured.
bool AnswersWhenNotSuspended(const ItemSample& s)
{
    return HealthOf(false, s.state, Measured(s)) == ItemHealth::kUp;
}

#define VARNELL_SAMPLE(expr, present) \
    [](const ItemSample& s, std::uint64_t& v) { \
        v = static_cast<std::uint64_t>(expr); \
        return present; \
    }

constexpr ItemFamily kItemFamilies[] = {
    {"varnell_item_up", "gauge", "1 when the item answers, 0 when it is failing, down or not answered yet.",
     Unit::kCount, VARNELL_SAMPLE(AnswersWhenNotSuspended(s) ? 1 : 0, true)},
    {"varnell_item_down", "gauge", "1 from the item's down event until its up event.", Unit::kCount,
     VARNELL_SAMPLE((s.state & kStateDownReported) != 0 ? 1 : 0, true)},
    {"varnell_item_suspended", "gauge", "1 while the item is suspended.", Unit::kCount,
     VARNELL_SAMPLE(s.suspended ? 1 : 0, true)},
    {"varnell_item_timeout_seconds", "gauge", "How long the item waits for a reply.", Unit::kMilliseconds,
     VARNELL_SAMPLE(s.timeoutMs, true)},
    {"varnell_item_rtt_seconds", "gauge", "The item's last accepted round trip.", Unit::kMicroseconds,
     VARNELL_SAMPLE(s.rttLastUs, Measured(s))},
    {"varnell_item_rtt_min_seconds", "gauge", "The item's shortest round trip since start.", Unit::kMilliseconds,
     VARNELL_SAMPLE(s.rttMin, Measured(s))},
    {"varnell_item_rtt_max_seconds", "gauge", "The item's longest round trip since start.", Unit::kMilliseconds,
     VARNELL_SAMPLE(s.rttMax, Measured(s))},
    {"varnell_item_rtt_avg_seconds", "gauge", "The item's average round trip, as the item list shows it.",
     Unit::kMilliseconds, VARNELL_SAMPLE(s.rttAvg, Measured(s))},
    {"varnell_item_requests_total", "counter", "Requests sent for the item.", Unit::kCount,
     VARNELL_SAMPLE(s.sent, true)},
    {"varnell_item_failures_total", "counter", "Probes of the item that failed: time-out, error reply or send failure.",
     Unit::kCount, VARNELL_SAMPLE(s.failed, true)},
    {"varnell_item_replies_total", "counter", "Replies received for the item, failed ones included.", Unit::kCount,
     VARNELL_SAMPLE(s.replies, true)},
    {"varnell_item_addresses", "gauge", "How many addresses the item's last answer gave.", Unit::kCount,
     VARNELL_SAMPLE(s.addresses, true)},
    {"varnell_item_last_event_timestamp_seconds", "gauge", "When the item last went down, came up or changed.",
     Unit::kCount, VARNELL_SAMPLE(s.lastEventTime, s.lastEventTime > 0)},
    {"varnell_item_condition_ok", "gauge", "1 when the item's latest answer met its conditions, 0 when it did not.",
     Unit::kCount, VARNELL_SAMPLE(s.conditionOk > 0 ? 1 : 0, s.conditionOk >= 0)},
    {"varnell_item_signature_expiry_timestamp_seconds", "gauge",
     "When the earliest signature over the item's latest answer expires.", Unit::kCount,
     VARNELL_SAMPLE(s.signatureExpiry, s.signatureExpiry > 0)},
    {"varnell_item_tls_handshake_seconds", "gauge", "The TLS handshake of the connection the item last opened.",
     Unit::kMicroseconds, VARNELL_SAMPLE(s.handshakeUs, s.handshakeUs >= 0)},
    {"varnell_item_certificate_expiry_timestamp_seconds", "gauge",
     "When the certificate the item's server last showed ends.", Unit::kCount,
     VARNELL_SAMPLE(s.certNotAfter, s.certNotAfter > 0)},
};
#undef VARNELL_SAMPLE

void AppendNumber(std::string& out, std::uint64_t value)
{
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    out.append(text, end);
}

// Milliseconds as seconds, exactly: 50 is "0.050".
void AppendSeconds(std::string& out, std::uint64_t ms)
{
    AppendNumber(out, ms / 1000);
    const auto frac = static_cast<unsigned>(ms % 1000);
    const char digits[4] = {'.', static_cast<char>('0' + frac / 100), static_cast<char>('0' + frac / 10 % 10),
                            static_cast<char>('0' + frac % 10)};
    out.append(digits, 4);
}

// Microseconds as seconds, exactly: 1500 is "0.001500".
void AppendSecondsUs(std::string& out, std::uint64_t us)
{
    AppendNumber(out, us / 1000000);
    char digits[8] = {'.'};
    std::uint64_t frac = us % 1000000;
    for (int i = 6; i >= 1; --i, frac /= 10)
        digits[i] = static_cast<char>('0' + frac % 10);
    out.append(digits, 7);
}

void AppendHeader(std::string& out, const char* name, const char* type, const char* help)
{
    out.append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ");
    out.append(name).append(" ").append(type).append("\n");
}

void AppendLabel(std::string& out, const char* name, std::string_view value, bool first)
{
    if (!first)
        out.push_back(',');
    out.append(name).append("=\"").append(EscapeLabelValue(value)).push_back('"');
}

std::string ServerText(const DnsItem& item)
{
    std::string text = ServerAddressText(item);
    const std::uint16_t port = ntohs(item.server.portBE);
    if (port == 53)
        return text;
    // An IPv6 address has colons of its own: the port goes after brackets.
    if (IsServer6Item(item))
        text = "[" + text + "]";
    return text.append(":").append(std::to_string(port));
}

constexpr std::uint64_t kItemIdMask = (std::uint64_t{1} << (4 * kItemIdDigits)) - 1;

// Never 0, which marks an empty place of IdSet. Called under the engine lock.
std::uint64_t RandomItemId()
{
    static std::mt19937_64 bits{(std::uint64_t{std::random_device{}()} << 32) | std::random_device{}()};
    std::uint64_t id = 0;
    while (id == 0)
        id = bits() & kItemIdMask;
    return id;
}

// The id an "id=" text holds; false for a text that is not 12 lower-case hex
// digits, or is all zeros.
bool ParseItemId(std::string_view text, std::uint64_t& id)
{
    if (text.size() != kItemIdDigits ||
        !std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }))
        return false;
    return std::from_chars(text.data(), text.data() + text.size(), id, 16).ec == std::errc() && id != 0;
}

std::string ItemIdText(std::uint64_t id)
{
    std::string text(kItemIdDigits, '0');
    for (std::size_t i = kItemIdDigits; i-- > 0; id >>= 4)
        text[i] = "0123456789abcdef"[id & 0xF];
    return text;
}

// The ids one scrape has met: open addressing over twice the table's slots,
// filled before the engine lock is taken, so that the copy allocates nothing
// for it. Ids are random, so their low bits spread them well enough.
struct IdSet {
    std::vector<std::uint64_t> places = std::vector<std::uint64_t>(2 * kItemSlots);
    // False when the id was there already.
    bool Insert(std::uint64_t id)
    {
        for (std::size_t i = id % places.size();; i = (i + 1) % places.size()) {
            if (places[i] == id)
                return false;
            if (places[i] == 0) {
                places[i] = id;
                return true;
            }
        }
    }
};

// The item's stored id, or a new one stored now (engine lock held). A text that
// is malformed or repeats another item's (a store copied by hand) is replaced.
std::uint64_t ItemId(DnsItem& item, ItemBlock& block, IdSet& taken)
{
    std::uint64_t id = 0;
    if (const int k = ItemTextIndex(item, block, kItemIdPrefix); k >= 0) {
        const std::string_view text = block.reservedTexts[static_cast<std::size_t>(k)];
        if (ParseItemId(text.substr(kItemIdPrefix.size()), id) && taken.Insert(id))
            return id;
    }
    do
        id = RandomItemId();
    while (!taken.Insert(id));
    if (StoreItemText(item, block, kItemIdPrefix, std::string(kItemIdPrefix) + ItemIdText(id)))
        return id;
    // All its extra texts are taken (only a store of another version can do
    // that): the id drawn for its slot in this run, the same at every scrape.
    // The slot cannot pass to another item with it, since a new item has room
    // for its text.
    static std::array<std::uint64_t, kItemSlots> drawn{};
    std::uint64_t& kept = drawn[SlotOf(item)];
    if (kept == 0)
        kept = id;
    taken.Insert(kept);
    return kept;
}

} // namespace

std::string EscapeLabelValue(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size();) {
        const char c = value[i];
        if (c == '\\' || c == '"') {
            out.push_back('\\');
            out.push_back(c);
            ++i;
        } else if (c == '\n') {
            out.append("\\n");
            ++i;
        } else if (const std::size_t n = Utf8SequenceLength(value, i); n != 0) {
            out.append(value.substr(i, n));
            i += n;
        } else {
            out.append("\xEF\xBF\xBD");
            ++i;
        }
    }
    return out;
}

MetricsSnapshot TakeMetricsSnapshot()
{
    MetricsSnapshot snap;
    for (int kind = 0; kind < 3; ++kind)
        snap.events[kind] = EventCount(kind);
    snap.items.reserve(kItemSlots);
    IdSet taken;
    LockedItems locked = LockItems();
    ItemTable& t = *locked;
    const std::uint32_t top = std::min(t.highWater, kItemSlots);
    for (std::uint32_t slot = 0; slot < top; ++slot) {
        DnsItem& item = t.items[slot];
        if ((item.flags & kFlagDeleted) != 0 || item.rowPosition < 0)
            continue;
        ItemBlock& block = t.blocks[slot];
        ItemSample& s = snap.items.emplace_back();
        s.name = block.name;
        s.description = block.description;
        s.domain = block.domain;
        s.type = RecordTypeName(item.typeIndex);
        s.server = ServerText(item);
        s.id = ItemId(item, block, taken);
        s.state = block.state;
        s.suspended = (item.flags & kFlagSuspended) != 0;
        s.timeoutMs = item.timeout;
        s.rttLastUs = block.rttLastUs;
        s.rttMin = block.rttMin;
        s.rttMax = block.rttMax;
        s.rttAvg = block.rttAvg;
        s.sent = block.sent;
        s.failed = block.probesFailed;
        s.replies = block.replies;
        s.addresses = block.answerCount;
        const AnswerState& answer = AnswerOf(slot);
        s.conditionOk = answer.conditions.Any() ? answer.conditionOk : std::int8_t{-1};
        s.signatureExpiry = answer.conditions.sigWarnDays != 0 ? answer.signatureExpiry : 0;
        s.lastEventTime = block.lastEventTime;
        const TransportState& transport = TransportOf(slot);
        s.transport = TransportName(transport.settings.transport);
        s.handshakeUs = transport.handshakeUs;
        s.certNotAfter = transport.certNotAfter;
    }
    return snap;
}

std::string FormatExposition(const MetricsSnapshot& snapshot)
{
    // Every item's label set, rendered once. The id keeps apart two items with
    // the same name, domain, type and server, and keeps each item's series its
    // own when another item is deleted or edited.
    std::vector<std::string> labels;
    labels.reserve(snapshot.items.size());
    for (const ItemSample& s : snapshot.items) {
        std::string text;
        AppendLabel(text, "item", s.name, true);
        AppendLabel(text, "domain", s.domain, false);
        AppendLabel(text, "type", s.type, false);
        AppendLabel(text, "server", s.server, false);
        AppendLabel(text, "transport", s.transport, false);
        AppendLabel(text, "id", ItemIdText(s.id), false);
        labels.push_back(std::move(text));
    }

    std::string out;
    out.reserve(4096 + snapshot.items.size() * (std::size(kItemFamilies) + 1) * 160);
    AppendHeader(out, "varnell_item_info", "gauge", "Always 1; carries the item's description.");
    for (std::size_t i = 0; i < snapshot.items.size(); ++i) {
        out.append("varnell_item_info{").append(labels[i]);
        AppendLabel(out, "description", snapshot.items[i].description, false);
        out.append("} 1\n");
    }
    for (const ItemFamily& family : kItemFamilies) {
        AppendHeader(out, family.name, family.type, family.help);
        for (std::size_t i = 0; i < snapshot.items.size(); ++i) {
            std::uint64_t value = 0;
            if (!family.value(snapshot.items[i], value))
                continue;
            out.append(family.name).append("{").append(labels[i]).append("} ");
            if (family.unit == Unit::kMilliseconds)
                AppendSeconds(out, value);
            else if (family.unit == Unit::kMicroseconds)
                AppendSecondsUs(out, value);
            else
                AppendNumber(out, value);
            out.push_back('\n');
        }
    }

    AppendHeader(out, "varnell_events_total", "counter", "Events raised since start, by kind.");
    constexpr const char* kKinds[3] = {"up", "down", "changed"};
    static_assert(kEventUp == 0 && kEventDown == 1 && kEventChanged == 2);
    for (int kind = 0; kind < 3; ++kind) {
        out.append("varnell_events_total{kind=\"").append(kKinds[kind]).append("\"} ");
        AppendNumber(out, snapshot.events[kind]);
        out.push_back('\n');
    }
    AppendHeader(out, "varnell_items", "gauge", "Monitored items, suspended ones included.");
    out.append("varnell_items ");
    AppendNumber(out, snapshot.items.size());
    out.push_back('\n');
    AppendHeader(out, "varnell_build_info", "gauge", "Always 1; carries the program's version.");
    out.append("varnell_build_info{version=\"").append(EscapeLabelValue(VARNELL_VERSION)).append("\"} 1\n");
    return out;
}

} // namespace varnell
