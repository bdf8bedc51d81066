// Reply processing: matching a datagram to its pending request, parsing its
// records into the item's string block, gathering the item's addresses (with
// follow-up queries for names a reply leaves unresolved) and sorting them.
// RFC 1035 4.1 (message format) and 4.1.4 (compression).
//
// Who touches what: ProcessReply runs on the receiver thread and takes
// EngineLock() itself; CollectAnswers is also called by the scheduler's timeout
// scan with the lock held. Both change slots, reply data and outstanding counts
// only under the lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <span>

#include "base/byte_reader.h"
#include "dns/dns_name.h"
#include "dns/peer_address.h"
#include "items/item_table.h"
#include "probe/request_table.h"

namespace varnell {

// Result codes delivered for replies besides the RCODE (0-15).
inline constexpr int kCodeTooManyRecords = 19;         // primary reply
inline constexpr int kCodeTooManyFollowUpRecords = 20; // follow-up reply

enum class ReplyVerdict {
    Processed,     // taken as the answer of its request
    TooShort,      // under 12 bytes
    NotResponse,   // QR bit clear
    NoRequest,     // the identifier's slot holds no request
    WrongSender,   // not from the address and port the query went to
    WrongQuestion, // not exactly one question, or not the one asked (dns/question_check.h)
    Late,          // later than the item's time-out: the request ends as unanswered
    Malformed,     // header, question or record structure runs past the datagram
    Diverted,      // truncated, OPT not understood, or the question in another case:
                   // asked again over TCP or without OPT
};

struct ReplyOutcome {
    bool deliver = false;     // the caller sends WM_DNS_RESULT(itemSlot, code)
    std::uint32_t itemSlot = 0;
    int code = 0;
    ReplyVerdict verdict = ReplyVerdict::Processed;
};

// One received datagram from `from`, arrived at tick `now` (the round trip
// ends there, not when the datagram is processed). Dropped datagrams leave
// every slot and item untouched.
// viaTcp: the message came whole over a TCP connection (probe/tcp_query.h).
// receivedNs: its arrival on the monotonic clock in ns, for a round trip finer
// than the tick (0: none; the tick's milliseconds serve).
ReplyOutcome ProcessReply(std::span<const std::uint8_t> datagram, const PeerAddress& from, std::uint32_t now,
                          bool viaTcp = false, std::uint64_t receivedNs = 0);

// Ends a request that gets no answer to use: its time is up, or its reply came
// later than the item's time-out, which is a failure of that query whenever it
// arrives. A primary query ends its probe with code 16, the item's addresses
// gathered again from the records its previous probe left (nothing is asked:
// those names had their follow-ups then). A follow-up query is noted as failed
// and the probe ends with its primary reply's code. Either way only once no
// other request of the item is outstanding: returns the code to deliver, or -1
// while the item's other requests decide. items: the table, engine lock held.
int EndUnanswered(ItemTable& items, RequestSlot& slot, std::uint32_t now);

// For a datagram with identifier id that did not answer its request: the
// timeout scan passes over a request while a datagram with its identifier waits
// to be processed (probe/receiver.h), a forged one as well, so a request whose
// time ran out meanwhile ends here, at `now`, as the scan would have ended it,
// rather than a pass late. Takes EngineLock().
ReplyOutcome EndIfTimedOut(std::uint16_t id, std::uint32_t now);

// Gathers the addresses of name over the first count records (CNAME chains and
// records of qtype followed; follow-up queries sent for names left unresolved).
// An AAAA qtype gathers IPv6 addresses into block.answers6, any other IPv4.
// Returns 0 (found, or nothing more to do), 1 (too many requests outstanding),
// 2 (no free request slot) or 3 (a follow-up was sent). qtype in host order.
// Caller holds EngineLock().
int CollectAnswers(DnsItem& item, ItemBlock& block, std::uint32_t count, const char* name,
                   std::uint16_t qtype, std::uint32_t now);

// The IPv4 address (network byte order) name resolves to over the first count
// records, following CNAMEs and records of type; 0 when none.
std::uint32_t ResolveName(const ItemBlock& block, std::uint32_t count, const char* name, std::uint16_t type);

// Appends addrBE to the answer addresses unless present or the area is full.
void AddUniqueAddress(ItemBlock& block, std::uint32_t addrBE);

// Orders the answer addresses as signed 32-bit integers whose least significant
// byte is the first octet: by last octet first, 128-255 before 0-127.
void SortAnswers(ItemBlock& block);

// Text of a record's owner or data (offset into the names area); "" when out of range.
const char* NamesText(const ItemBlock& block, std::uint32_t offset);

} // namespace varnell
