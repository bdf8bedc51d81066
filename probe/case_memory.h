// Which servers do not keep the letter case of a question.
//
// That is learnt only over TCP, which a forger off the path cannot answer: a
// UDP reply that differs from the question in case alone (dns/question_check.h)
// has the question asked again over TCP, and the TCP answer shows whether the
// server keeps case. A server seen to change case is compared without case for
// kCaseMemoryMs, then learnt again.
//
// Who touches what: the memory of servers is read and written by ProcessReply,
// under EngineLock().
#pragma once

#include <cstdint>

#include "dns/peer_address.h"

namespace varnell {

inline constexpr std::uint32_t kCaseMemoryMs = 600000;

// True when server was seen over TCP to change the case of a question less
// than kCaseMemoryMs before now.
bool ChangesCase(const PeerAddress& server, std::uint32_t now);
// What a TCP answer of server showed: changed true when its question came back
// in another case.
void NoteCaseSeen(const PeerAddress& server, bool changed, std::uint32_t now);
// Forgets every server (start-up and tests, no engine thread running).
void ResetCaseMemory();

} // namespace varnell
