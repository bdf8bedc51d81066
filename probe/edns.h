// Large answers: which queries carry the EDNS(0) OPT record (dns/opt_record.h;
// RFC 6891 6.2.3, 7), the servers that have shown they cannot take one, and the decision taken
// before a reply is accepted: a truncated reply (TC) goes to TCP (RFC 7766,
// probe/tcp_query.h), a FORMERR or NOTIMP without OPT, a BADVERS, or an
// unparseable reply to a query with OPT is asked again without it.
//
// Who touches what: PrepareQuery runs inside BuildAndSendQuery and
// DivertReply inside ProcessReply, both with EngineLock() held by the
// scheduler, the receiver or the TCP worker; the per-slot and per-item state
// below is changed only there, and by ForgetPlainServers, which the item
// table's edit and delete call with the lock held. The advertised size is an
// atomic set by the user-interface thread (start-up, the General page).
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <span>

#include "dns/opt_record.h"
#include "items/item_table.h"
#include "probe/request_table.h"

namespace varnell {

// The UDP payload size queries advertise; 0 sends the plain query without OPT.
// Values between 1 and 511 are raised to 512 and values above what the reply
// reader takes in one datagram are lowered to that.
void SetQueryEdnsSize(std::uint32_t size);
std::uint32_t QueryEdnsSize();

// Called by BuildAndSendQuery for slot with the complete question in
// query[0, length): appends the OPT record unless EDNS is off or the
// destination is known to refuse it, keeps a copy of the bytes for a later
// plain or TCP retry and returns the new length. query must have room for
// kOptRecordSize more bytes. Lock held.
std::size_t PrepareQuery(std::uint32_t slot, RequestSlot& request, const DnsItem& item, std::span<std::uint8_t> query,
                         std::size_t length);

// The query bytes last prepared for slot (empty when none).
std::span<const std::uint8_t> PreparedQuery(std::uint32_t slot);

enum class Diversion {
    None,    // the reply is evaluated
    Held,    // not evaluated; the request keeps waiting
    OverTcp, // not evaluated: the caller asks the question over TCP (AskOverTcp)
};

// Called by ProcessReply for a reply from the right sender, before it is taken.
// Held or OverTcp when the reply must not be evaluated: it was truncated and
// the question is to go to TCP (OverTcp, once per attempt), or the server did
// not understand OPT (or took not its version) and has been asked again
// without it, or it gives an extended RCODE to a query without OPT. Either way
// the request stays waiting with its first send time and expiry. A reply that
// arrived over TCP never goes to TCP again. Lock held.
Diversion DivertReply(std::uint32_t slot, RequestSlot& request, std::span<const std::uint8_t> reply, bool wellFormed,
                      bool viaTcp);

// Forgets the servers the item in itemSlot found plain: it was edited or
// deleted. Lock held.
void ForgetPlainServers(std::uint32_t itemSlot);

// Forgets every server remembered as plain, and the per-slot records (start-up
// and tests, no engine thread running).
void ResetEdnsState();

} // namespace varnell
