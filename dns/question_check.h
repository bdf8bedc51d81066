// Whether a reply answers the question asked (RFC 5452 9.1: identifier,
// sender and question must all match), and which servers do not keep the
// letter case of a question.
//
// A reply must carry exactly one question, and it must be the one of the query:
// the same name, type and class. Over UDP the name must come back in the very
// letter case it was sent in (probe/query_entropy.h), unless the server has
// been seen to change case. That is learnt only over TCP, which a forger off the
// path cannot answer: a UDP reply that differs from the question in case alone
// has the question asked again over TCP, and the TCP answer shows whether the
// server keeps case. A server seen to change case is compared without case for
// kCaseMemoryMs, then learnt again.
//
// Who touches what: the memory of servers is read and written by ProcessReply,
// under EngineLock().
#pragma once

#include <cstdint>
#include <span>

#include "dns/peer_address.h"

namespace varnell {

inline constexpr std::uint32_t kCaseMemoryMs = 600000;

enum class QuestionMatch {
    Same,        // byte for byte
    CaseDiffers, // the same question but for the case of letters
    Different,   // another question, another count of questions, or none that can be read
};

// The question of reply against the one of query (both whole DNS messages; the
// query is one the engine built, with one question at offset 12). The reply's
// name must be written out, not compressed: nothing precedes it to point to.
QuestionMatch MatchQuestion(std::span<const std::uint8_t> query, std::span<const std::uint8_t> reply);

// True when server was seen over TCP to change the case of a question less
// than kCaseMemoryMs before now.
bool ChangesCase(const PeerAddress& server, std::uint32_t now);
// What a TCP answer of server showed: changed true when its question came back
// in another case.
void NoteCaseSeen(const PeerAddress& server, bool changed, std::uint32_t now);
// Forgets every server (start-up and tests, no engine thread running).
void ResetCaseMemory();

} // namespace varnell
