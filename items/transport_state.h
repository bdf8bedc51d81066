// What an item's transport needs at run time, kept per slot beside the item's
// block: its settings as read from the item's extra texts ("transport=",
// "tls_name=", "url=", "tls_pin=", "cert_warn="), and what its last probe over
// TLS or HTTPS showed (the failure's detail, the handshake, the certificate's
// end).
//
// Who touches what: everything here is read and written under the engine
// lock: the entry commands and the store's loading set the settings, the
// scheduler and reply processing read them, the transport's answers write the
// figures, the metrics and the reply text read them.
#pragma once

#include <cstdint>
#include <string>

#include "items/item_table.h"
#include "transport/item_transport.h"

namespace varnell {

struct TransportState {
    ItemTransport settings;
    int lastCode = -1;              // the code of the latest transport failure, -1 none since the last success
    std::string failure;            // its detail ("the server's certificate is not accepted: ...")
    std::int64_t handshakeUs = -1;  // the TLS handshake of the connection the item last opened; -1 none yet
    std::int64_t certNotAfter = 0;  // the server certificate's end (seconds since 1970); 0 unknown
};

TransportState& TransportOf(std::uint32_t slot);
inline TransportState& TransportOf(const DnsItem& item) { return TransportOf(SlotOf(item)); }
// Whether the item's queries to its own server go other than over UDP: the one
// test the UDP probe path makes.
inline bool OverTransport(std::uint32_t slot) { return TransportOf(slot).settings.transport != Transport::kUdp; }

void ResetTransportStates();

// Replaces the item's transport texts with those of t (none for the default)
// and its state with t; false, with nothing changed, when the item's texts
// have no room.
bool SetItemTransport(DnsItem& item, const ItemTransport& t);
// Reads the item's transport texts into its state (loading the store).
void LoadItemTransport(const DnsItem& item, const ItemBlock& block);

} // namespace varnell
