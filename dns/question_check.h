// Whether a reply answers the question asked (RFC 5452 9.1: identifier,
// sender and question must all match; this checks the question).
//
// A reply must carry exactly one question, and it must be the one of the query:
// the same name, type and class. Over UDP the name must come back in the very
// letter case it was sent in (probe/query_entropy.h), unless the server has
// been seen to change case (probe/case_memory.h).
#pragma once

#include <cstdint>
#include <span>

namespace varnell {

enum class QuestionMatch {
    Same,        // byte for byte
    CaseDiffers, // the same question but for the case of letters
    Different,   // another question, another count of questions, or none that can be read
};

// The question of reply against the one of query (both whole DNS messages; the
// query is one the engine built, with one question at offset 12). The reply's
// name must be written out, not compressed: nothing precedes it to point to.
QuestionMatch MatchQuestion(std::span<const std::uint8_t> query, std::span<const std::uint8_t> reply);

} // namespace varnell
