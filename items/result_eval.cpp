#include "items/result_eval.h"

#include "transport/transport.h"

#include <algorithm>
#include <charconv>
#include <initializer_list>
#include <string_view>
#include <atomic>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>

#include "base/net/address_text.h"
#include "items/address6.h"
#include "items/answer_eval.h"
#include "items/history.h"
#include "items/result_hooks.h"

namespace varnell {

namespace {

constexpr const char* kCodeTexts[] = {
    "Get Reply",
    "Error code 1: Format error - The name server was unable to interpret the query",
    "Error code 2: Server failure - The name server was unable to process this query due to a problem with "
    "the name server",
    "Error code 3: Name Error - Meaningful only for responses from an authoritative name server, this code "
    "signifies that the domain name referenced in the query does not exist",
    "Error code 4: Not Implemented - The name server does not support the requested kind of query",
    "Error code 5: Request Refused - The name server refuses to perform the specified operation for policy "
    "reasons",
    "Error code 6: Reserved for future use",
    "Error code 7: Reserved for future use",
    "Error code 8: Reserved for future use",
    "Error code 9: Reserved for future use",
    "Error code 10: Reserved for future use",
    "Error code 11: Reserved for future use",
    "Error code 12: Reserved for future use",
    "Error code 13: Reserved for future use",
    "Error code 14: Reserved for future use",
    "Error code 15: Reserved for future use",
    "Error code 16: Request timeout",
    "Error code 17: Send Request Failed, Please check the network card",
    "Error code 18: Get part reply",
    "Error code 19: More than 64 sections",
    "Error code 20: More than 64 sections",
    // An answer that came but fails the item's conditions (items/answer_conditions.h).
    "Error code 21: Answer not as expected",
    "Error code 22: Response code not as expected",
    "Error code 23: Answer not validated",
    "Error code 24: Signature expires soon",
    "Error code 25: Signature not valid yet",
    "Error code 26: No signature covers the answer",
    "Error code 27: Signature expired",
};
constexpr int kCodeTextCount = static_cast<int>(sizeof kCodeTexts / sizeof kCodeTexts[0]);
static_assert(kCodeTextCount == kResultSignatureExpired + 1);

enum class Event { None, Down, Up };

// One counter per EventKind, counted where the events are decided so that they
// count also when nothing is hooked up to show them.
std::atomic<std::uint64_t> g_eventCounts[3];

void NoteEvent(ItemBlock& block, int kind)
{
    g_eventCounts[kind].fetch_add(1, std::memory_order_relaxed);
    block.lastEventTime = static_cast<std::int64_t>(std::time(nullptr));
}

// What one evaluation decided, worked out under the engine lock and then handed
// to the hooks without it: the hooks reach the item list, the event list and the
// alert channels, none of which may stall the engine threads.
struct Outcome {
    std::string requests;
    const char* state = nullptr;
    std::string stateDetail; // what a failed condition found, after the state text
    std::string rtt;
    std::int32_t rttMs = -1; // the accepted round trip, for the history
    int image = -1;
    Event event = Event::None;
    std::string replies;
    std::string changed; // full event text when the addresses changed
    std::string address;
    std::uint32_t flags = 0; // notify bits, read under the lock with the rest
    bool success = false;
    bool late = false;
};

// The round trip in microseconds from the ns stamps of both ends, when there
// are two and they agree with the ticks' milliseconds (stamps of two different
// probes never do); else those milliseconds.
std::uint32_t PreciseRttUs(const ItemBlock& block, std::uint32_t rttMs)
{
    const std::uint64_t fallback = std::min<std::uint64_t>(std::uint64_t{rttMs} * 1000, UINT32_MAX);
    if (block.sendNs == 0 || block.receiveNs < block.sendNs)
        return static_cast<std::uint32_t>(fallback);
    const std::uint64_t us = (block.receiveNs - block.sendNs) / 1000;
    const std::uint64_t ms = us / 1000;
    if (ms + 2 < rttMs || ms > std::uint64_t{rttMs} + 2 || us > UINT32_MAX)
        return static_cast<std::uint32_t>(fallback);
    return static_cast<std::uint32_t>(us);
}

// Numbers joined by separators ("12/3", "4ms/9ms/5ms/6ms"): every result
// writes a few of these, so without the cost of a format string.
std::string Joined(std::initializer_list<std::uint32_t> numbers, std::string_view separator,
                   std::string_view suffix = {})
{
    char text[96];
    char* at = text;
    char* const end = text + sizeof text;
    for (const std::uint32_t n : numbers) {
        if (at != text && static_cast<std::size_t>(end - at) > separator.size())
            at = std::copy(separator.begin(), separator.end(), at);
        at = std::to_chars(at, end, n).ptr;
        if (static_cast<std::size_t>(end - at) > suffix.size())
            at = std::copy(suffix.begin(), suffix.end(), at);
    }
    return std::string(text, at);
}

void RaiseEvent(ResultHooks& hooks, const DnsItem& item, const std::string& text, int kind, bool notify)
{
    std::string timeText;
    hooks.AddEventRow(&item, text, static_cast<std::int64_t>(std::time(nullptr)), kind, timeText);
    if (notify)
        hooks.DispatchEvent(item, text, timeText);
}

Outcome Evaluate(DnsItem& item, int code)
{
    ItemBlock& block = BlockOf(item);
    Outcome out;
    out.flags = item.flags;
    out.requests = Joined({block.sent, block.failed}, "/");
    // What the item expects of its answer may fail a reply, or make a name
    // error the answer expected.
    std::string answerChanged;
    code = ApplyAnswerConditions(item, code, answerChanged, static_cast<std::int64_t>(std::time(nullptr)));
    out.state = ResultCodeText(code);
    if (code >= kResultAnswerDiffers && code <= kResultSignatureExpired)
        out.stateDetail = AnswerOf(item).detail;
    const std::uint32_t n = LostCount(item);
    std::uint32_t k = block.state & kStateRunMask;
    const bool failing = (block.state & (kStateFailing | kStateReserved10)) != 0;
    if (code != kResultOk)
        ++block.probesFailed;

    if (code == kResultOk) {
        out.success = true;
        // Both ends stamped by the engine threads (the send as the datagram left,
        // the receipt as the reader took it off the socket): a busy window or a
        // long pass between them and this evaluation is no part of the round trip.
        const auto rtt = static_cast<std::int32_t>(block.receiveTime - block.sendTime);
        // Negative only for stamps that do not belong together: keep the state
        // machine, skip the statistics.
        if (rtt >= 0) {
            const auto urtt = static_cast<std::uint32_t>(rtt);
            if (urtt > item.timeout) {
                ++block.probesFailed;
                out.late = true;
                return out;
            }
            block.rttMin = std::min(block.rttMin, urtt);
            block.rttMax = std::max(block.rttMax, urtt);
            block.rttSum += rtt;
            block.rttLast = urtt;
            block.rttLastUs = PreciseRttUs(block, urtt);
            // The replies counter also counts failed replies, the sum only the
            // accepted successes: the average is deliberately that quotient.
            if (block.replies != 0)
                block.rttAvg = static_cast<std::uint32_t>(block.rttSum / static_cast<std::int64_t>(block.replies));
            out.rtt = Joined({block.rttMin, block.rttMax, block.rttAvg, urtt}, "/", "ms");
            out.rttMs = rtt;
        }
        if (failing) {
            block.state &= ~(kStateRunMask | kStateFailing | kStateReserved10);
        } else {
            k = (k + 1) & kStateRunMask;
            block.state = (block.state & ~kStateRunMask) | k;
            if (k == n) {
                out.image = kImageUp;
                if ((block.state & kStateDownReported) != 0) {
                    out.event = Event::Up;
                    NoteEvent(block, kEventUp);
                    block.state &= ~kStateDownReported;
                }
            }
        }
        out.replies = Joined({block.replies}, "");
        // A result the scheduler posted (a probe that ended when its last
        // follow-up timed out) may be evaluated after the item's next probe has
        // begun gathering into the same answers: a set half gathered is no
        // change. That probe's own result compares the whole set. Nor is a set
        // some of whose follow-up queries failed: one lost datagram would
        // otherwise raise a change, and a second when the addresses return.
        // An item read for its content changes with its answer set; the
        // addresses an SRV item gathers are shown, not reported.
        if (!answerChanged.empty()) {
            out.changed = std::move(answerChanged);
            NoteEvent(block, kEventChanged);
        } else if (!IsContentType(RecordQueryType(item.typeIndex)) && Outstanding(item) == 0 &&
                   block.followUpFailureCount == 0 && AddressesChanged(item)) {
            std::string text = "the ip of " + block.name + " is changed to ";
            if (IsAaaaItem(item)) {
                const std::uint32_t count = std::min(block.answerCount, kReplyRecords);
                block.known6Count = count;
                std::memcpy(block.known6, block.answers6, count * sizeof(Address6));
                StoreKnown6(item, block);
                for (std::uint32_t i = 0; i < count; ++i)
                    text += Address6Text(block.answers6[i]) + "; ";
            } else {
                // Neither area is ever filled beyond what the smaller one holds.
                const std::uint32_t count = std::min(block.answerCount, kAnswerAddresses);
                item.knownCount = count;
                std::memcpy(item.known, block.answers, count * sizeof(AddressEntry));
                text.reserve(text.size() + count * 17);
                for (std::uint32_t i = 0; i < count; ++i)
                    text += DottedAddress(block.answers[i].addrBE) + "; ";
            }
            out.changed = std::move(text);
            NoteEvent(block, kEventChanged);
        }
    } else if (!failing) {
        block.state = (block.state & ~(kStateRunMask | kStateReserved10)) | kStateFailing;
        out.image = kImageFailing;
    } else {
        k = (k + 1) & kStateRunMask;
        block.state = (block.state & ~kStateRunMask) | k;
        if (k == n) {
            out.image = kImageDown;
            if ((block.state & kStateDownReported) == 0) {
                out.event = Event::Down;
                NoteEvent(block, kEventDown);
                block.state |= kStateDownReported;
            }
        }
    }
    out.address = block.answerCount == 0 ? std::string()
                  : IsAaaaItem(item)       ? Address6Text(block.answers6[0])
                                           : DottedAddress(block.answers[0].addrBE);
    return out;
}

} // namespace

std::uint64_t EventCount(int kind)
{
    if (kind < 0 || kind >= static_cast<int>(std::size(g_eventCounts)))
        return 0;
    return g_eventCounts[kind].load(std::memory_order_relaxed);
}

const char* ResultCodeText(int code)
{
    if (code >= 0 && code < kCodeTextCount)
        return kCodeTexts[code];
    // The transports' codes, whose texts end in a NUL as literals do.
    if (const std::string_view text = TransportResultText(code); !text.empty())
        return text.data();
    if (code >= kCodeTextCount && code <= kResultLastWithText)
        return "";
    return nullptr;
}

bool AddressesChanged(const DnsItem& item)
{
    const ItemBlock& block = BlockOf(item);
    if (IsAaaaItem(item)) {
        const std::uint32_t count = std::min(block.answerCount, kReplyRecords);
        return block.answerCount != block.known6Count ||
               std::memcmp(block.answers6, block.known6, count * sizeof(Address6)) != 0;
    }
    if (block.answerCount != item.knownCount)
        return true;
    const std::uint32_t count = std::min(block.answerCount, kAnswerAddresses);
    for (std::uint32_t i = 0; i < count; ++i)
        if (block.answers[i].addrBE != item.known[i].addrBE)
            return true;
    return false;
}

int OnDnsResult(DnsItem* item, int code)
{
    if (item == nullptr)
        return 0;
    Outcome out;
    {
        // The engine threads write the block's counters and answers under this
        // lock; the scheduler only posts and the receiver has let go of it before it
        // sends, so taking it here cannot deadlock.
        std::lock_guard lock(EngineLock());
        if ((item->flags & kFlagDeleted) != 0)
            return 0;
        out = Evaluate(*item, code);
    }
    // The state word is written on this thread only, so it is read without the lock.
    if (!out.late)
        RecordResult(SlotOf(*item), HistoryNow(), code, out.rttMs,
                     static_cast<std::uint8_t>(((BlockOf(*item).state & kStateDownReported) != 0 ? kHistoryDown : 0) |
                                               (out.event != Event::None || !out.changed.empty() ? kHistoryEvent : 0)));
    ResultHooks* hooks = GetResultHooks();
    if (hooks == nullptr)
        return out.late ? kResultLate : 0;
    const ItemBlock& block = BlockOf(*item);
    hooks->SetRowText(*item, kColRequests, out.requests);
    if (out.state != nullptr)
        hooks->SetRowText(*item, kColMonitorState,
                          out.stateDetail.empty() ? std::string(out.state) : out.state + (" - " + out.stateDetail));
    if (out.late)
        return kResultLate;
    if (!out.rtt.empty())
        hooks->SetRowText(*item, kColRtt, out.rtt);
    if (out.image >= 0)
        hooks->SetRowImage(*item, out.image);
    if (out.event == Event::Down)
        RaiseEvent(*hooks, *item, block.name + " is down", kEventDown, (out.flags & kFlagNotifyDown) != 0);
    if (out.event == Event::Up)
        RaiseEvent(*hooks, *item, block.name + " is up", kEventUp, (out.flags & kFlagNotifyUp) != 0);
    if (out.success)
        hooks->SetRowText(*item, kColReplies, out.replies);
    if (!out.changed.empty())
        RaiseEvent(*hooks, *item, out.changed, kEventChanged, (out.flags & kFlagNotifyChange) != 0);
    hooks->SetRowText(*item, kColAddress, out.address);
    return 0;
}

} // namespace varnell
