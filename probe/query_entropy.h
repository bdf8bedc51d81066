// What a forger off the path has to guess before a reply of its making is
// taken: the query's identifier, drawn at random for every query (RFC 5452
// 9.2), and the letter case of the query name, every letter's case drawn at
// random ("0x20"): a server that keeps case echoes the question exactly, so a
// reply whose question differs in case is no answer of that server's.
//
// The random bytes come from getrandom(2), a batch at a time into a buffer of
// the calling thread: a query costs a few bytes of it, and one system call is
// made per batch. Any engine thread may call these; no lock is needed.
#pragma once

#include <cstdint>
#include <span>

namespace varnell {

// Fills out with random bytes.
void RandomBytes(std::span<std::uint8_t> out);

// A random 16-bit number: a DNS identifier.
std::uint16_t RandomIdentifier();

// Gives every ASCII letter of a name in label form (RFC 1035 3.1, as
// EncodeName writes it) a random case; length bytes and other characters stay.
// Does nothing while queries are not randomised.
void RandomiseCase(std::span<std::uint8_t> name);

// Tests that compare query bytes or build replies from a fixed identifier and
// question turn the randomisation off: each query's identifier is then its
// request slot's number and its name keeps its case. The program never does.
// Set only while no engine thread runs.
void SetQueryRandomisation(bool on);
bool QueriesRandomised();

} // namespace varnell
