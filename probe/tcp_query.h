// DNS over TCP for answers that came back truncated (RFC 7766 5, 6.2; RFC 1035
// 4.2.2: each message is preceded by a two-byte length in network byte order).
//
// One worker thread of its own serves every connection with poll(), so a server
// that accepts and never answers, or answers slowly, holds only its own
// connections: other items, over UDP or TCP, go on. Connections are
// non-blocking and bounded in number, in all and per server; questions beyond
// wait their turn in a bounded table, and beyond that table are not asked (the
// request then ends at its timeout, code 16 as for any unanswered query). Every
// question is given up at its request's expiry, counted from the first UDP send.
//
// A complete reply is processed exactly like a datagram (ProcessReply, with the
// connection's peer as sender) and its result delivered with Send, as the
// receiver does. Before that, under EngineLock(), the worker checks that the
// request still waits for this question: a slot answered, timed out or taken
// again meanwhile is left alone.
//
// Who touches what: StartTcpQuery (receiver or worker thread, EngineLock() held)
// appends to the inbox under the inbox mutex; everything else belongs to the
// worker thread. Lock order: EngineLock() before the inbox mutex; the worker
// never holds the inbox mutex while it takes EngineLock().
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <span>
#include <vector>

#include "dns/opt_record.h"
#include "probe/reply_parser.h"

namespace varnell {

inline constexpr std::size_t kMaxTcpQuestions = 256;  // waiting and connected together
inline constexpr std::size_t kMaxTcpConnections = 64; // open at once
inline constexpr std::size_t kMaxTcpPerServer = 8;    // open at once to one address and port

struct TcpQuery {
    std::uint32_t slot = 0;     // pending-request slot (the query carries its identifier)
    std::uint32_t itemSlot = 0;
    std::uint32_t sendTime = 0; // the slot's first send; identifies the request
    std::uint32_t deadline = 0; // the slot's expiry (tick ms)
    PeerAddress peer{};
    std::uint16_t length = 0;
    std::uint8_t query[kMaxQueryBytes] = {};
};

// One message read from a stream in pieces: the two-byte length, then that many
// bytes.
struct TcpFrame {
    std::uint8_t prefix[2] = {};
    std::size_t got = 0;      // prefix bytes read
    std::size_t expected = 0; // from the prefix
    std::vector<std::uint8_t> body;
};
enum class FrameStatus { Partial, Complete, Invalid };
// Takes from bytes what the message still lacks (used: how many). Invalid when
// the length cannot hold a DNS header.
FrameStatus FeedFrame(TcpFrame& frame, std::span<const std::uint8_t> bytes, std::size_t& used);

// Processes a whole TCP reply to query under EngineLock(), unless its request no
// longer waits for it (verdict NoRequest then).
ReplyOutcome ProcessTcpReply(const TcpQuery& query, std::span<const std::uint8_t> message, const PeerAddress& from);

// Queues the question (starting the worker on first use). False when the table
// is full or the engine is shutting down: the request then times out.
bool StartTcpQuery(const TcpQuery& query);

// Asks the question that request slot sent (PreparedQuery) again over TCP, to
// be given up at the request's expiry; the request keeps waiting meanwhile.
// False when it could not be queued. Caller holds EngineLock().
bool AskOverTcp(std::uint32_t slot);

// Ends the worker and closes every connection (shutdown, and tests). A result
// the worker is delivering must have been released first (ReleaseWaiters).
void StopTcpQueries();

struct TcpCounters {
    std::uint64_t queued = 0;    // questions taken
    std::uint64_t answered = 0;  // replies read whole and processed
    std::uint64_t failed = 0;    // refused, reset, closed mid-message, or past the deadline
    std::uint64_t dropped = 0;   // not taken: the table was full
};
TcpCounters GetTcpCounters();

// The fuzz target and tests take the questions here instead of the worker;
// nullptr restores the worker. Set only while no engine thread runs.
using TcpQueryHook = bool (*)(const TcpQuery& query);
void SetTcpQueryHook(TcpQueryHook hook);

} // namespace varnell
