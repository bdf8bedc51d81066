// Probes of items whose queries travel over TCP, TLS or HTTPS: the query the
// scheduler or the reply processing built is handed to the transport thread
// (transport/transport_worker.h) instead of the probe socket, and what comes
// back goes into the same reply processing and result delivery as a datagram,
// or ends the request with the transport's own code and text.
//
// The transport answers every query it takes, at its time-out at the latest,
// so the scheduler's time-out scan leaves these requests to it for a grace
// time (kTransportGraceMs) and only then ends them as unanswered.
//
// Who touches what: SendOverTransport runs with the engine lock held (the
// scheduler's pass, the reply processing's follow-ups); the answers are
// processed on the transport thread, which takes the engine lock for each.
#pragma once

#include <cstdint>
#include <string>

#include "items/item_table.h"
#include "probe/request_table.h"
#include "transport/transport_worker.h"

namespace varnell {

inline constexpr std::uint32_t kTransportGraceMs = 2000;

// Hands the query of length bytes in slot (built, not armed) to the transport
// thread, starting it on first use. False when it could not be taken: the
// caller counts a send failure. Engine lock held.
bool SendOverTransport(const DnsItem& item, std::uint32_t slotIndex, const RequestSlot& slot, std::uint32_t length);

// The CA file the TLS and HTTPS servers are checked with (the "DnsCaFile"
// setting; empty: the system's trust store). Taken by the queries handed over
// after the call.
void SetTransportCaFile(std::string caFile);

// Whether slot's query went to the transport of its item (engine lock held).
bool SentOverTransport(const RequestSlot& slot);

// Brings one answer of the transport thread into the engine (the worker's
// deliver function; tests call it too).
void TakeTransportAnswer(TransportAnswer&& answer);

// Ends the transport thread and closes its connections (shutdown, and tests);
// a result it is delivering must have been released first.
void StopTransportProbes();
TransportCounters TransportProbeCounters();

} // namespace varnell
