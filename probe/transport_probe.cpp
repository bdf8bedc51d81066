#include "probe/transport_probe.h"

#include <arpa/inet.h>
#include <mutex>
#include <string>

#include "base/ui_channel.h"
#include "base/tick.h"
#include "items/result_eval.h"
#include "items/transport_state.h"
#include "probe/engine.h"
#include "probe/reply_parser.h"

namespace varnell {

static_assert(kTransportReplyTimeout == kResultTimeout, "the transports end an unanswered query as the engine does");

namespace {

struct Bridge {
    std::mutex lock; // guards started and caFile
    bool started = false;
    std::string caFile;
    TransportWorker worker;
};

Bridge& TheBridge()
{
    // Made once and kept for the life of the process: the worker's thread may
    // still deliver while static objects are destroyed otherwise.
    static auto* bridge = new Bridge();
    return *bridge;
}

// The token names the request: its slot, the identifier its query carries and
// its item. A slot taken again meanwhile carries another identifier.
std::uint64_t Token(std::uint32_t itemSlot, std::uint16_t id, std::uint32_t slotIndex)
{
    return (std::uint64_t{itemSlot} << 48) | (std::uint64_t{id} << 32) | slotIndex;
}

void Deliver(std::uint32_t itemSlot, int code)
{
    GetUiChannel().Send(Engine().resultWindow.load(), DnsResultMessage(itemSlot, code));
}

} // namespace

void SetTransportCaFile(std::string caFile)
{
    Bridge& b = TheBridge();
    std::lock_guard lock(b.lock);
    b.caFile = std::move(caFile);
}

bool SendOverTransport(const DnsItem& item, std::uint32_t slotIndex, const RequestSlot& slot, std::uint32_t length)
{
    if (Engine().exitFlag.load() != 0 || length == 0 || slot.query == nullptr)
        return false;
    Bridge& b = TheBridge();
    const TransportState& state = TransportOf(item);
    TransportQuery q;
    q.token = Token(SlotOf(item), static_cast<std::uint16_t>(slot.identifier), slotIndex);
    q.transport = state.settings.transport;
    q.server = slot.destination;
    q.server.v4.sin_port = htons(TransportPort(state.settings, ntohs(slot.destination.PortBE())));
    q.tlsName = state.settings.tlsName;
    q.url = state.settings.url;
    q.pin = state.settings.pin;
    q.certWarnDays = state.settings.certWarnDays;
    q.timeoutMs = item.timeout;
    q.message.assign(slot.query, slot.query + length);
    {
        std::lock_guard lock(b.lock);
        q.caFile = b.caFile;
        if (!b.started) {
            if (!b.worker.Start([](TransportAnswer&& a) { TakeTransportAnswer(std::move(a)); }))
                return false;
            b.started = true;
        }
    }
    return b.worker.Submit(std::move(q));
}

void TakeTransportAnswer(TransportAnswer&& a)
{
    const auto slotIndex = static_cast<std::uint32_t>(a.token & 0xFFFFFFFFu);
    const auto id = static_cast<std::uint16_t>(a.token >> 32);
    const auto itemSlot = static_cast<std::uint32_t>(a.token >> 48);
    if (slotIndex >= kRequestSlots || itemSlot >= kItemSlots)
        return;
    int code = -1;
    {
        auto items = LockItems();
        auto requests = LockRequests();
        RequestSlot& slot = requests[slotIndex];
        // The request ended meanwhile (its item edited or deleted, a shutdown):
        // nothing waits for this answer.
        if (slot.identifier != id || slot.sendTime == 0 || slot.expiry == 0 || slot.itemSlot != itemSlot)
            return;
        TransportState& state = TransportOf(itemSlot);
        if (a.handshakeUs >= 0)
            state.handshakeUs = a.handshakeUs;
        if (a.certNotAfter != 0)
            state.certNotAfter = a.certNotAfter;
        const bool primary = (slot.flags & kSlotPrimary) != 0;
        const std::uint32_t sentAt = slot.sendTime;
        const std::uint32_t now = TickCount();
        if (!a.reply.empty()) {
            const ReplyOutcome outcome = ProcessReply(a.reply, slot.destination, now, true);
            if (outcome.verdict == ReplyVerdict::Processed && primary) {
                // The round trip is the query's own on the open connection, not
                // the connect and handshake that came before it.
                ItemBlock& block = items->blocks[itemSlot];
                if (block.sendTime == sentAt && a.roundTripMs <= now - sentAt)
                    block.receiveTime = sentAt + a.roundTripMs;
            }
            if (outcome.verdict == ReplyVerdict::WrongQuestion && slot.expiry != 0) {
                a.code = kResultNotTheAnswer;
                a.failure = "the server's reply does not answer the query";
            } else if (outcome.deliver) {
                code = outcome.code;
            }
        }
        if (a.code != 0 && slot.expiry != 0 && slot.identifier == id) {
            // A probe that failed on the way ends as unanswered does, with the
            // transport's code in place of the time-out's.
            code = EndUnanswered(*items, slot, now);
            if (code == kResultTimeout && primary)
                code = a.code;
        }
        if (a.code != 0 && a.code != kResultTimeout) {
            state.lastCode = a.code;
            state.failure = a.failure;
            if (code == 0)
                code = a.code; // the certificate warning fails a probe whose reply was fine
        } else if (code == 0) {
            state.lastCode = -1;
            state.failure.clear();
        }
    }
    if (code >= 0)
        Deliver(itemSlot, code);
}

bool SentOverTransport(const RequestSlot& slot) { return (slot.flags & kSlotTransport) != 0; }

void StopTransportProbes()
{
    Bridge& b = TheBridge();
    {
        std::lock_guard lock(b.lock);
        b.started = false;
    }
    // Not under the bridge's lock: the worker may be waiting for the engine
    // lock, whose holder may be waiting for the bridge's.
    b.worker.Stop();
}

TransportCounters TransportProbeCounters() { return TheBridge().worker.Counters(); }

} // namespace varnell
