// Question matching (RFC 1035 4.1.2; RFC 4343 2: ASCII case-insensitive
// comparison of labels) and the memory of servers that change case.
#include "probe/question_check.h"

#include <array>
#include <mutex>

#include "base/byte_reader.h"
#include "dns/dns_name.h"
#include "dns/dns_wire.h"
#include "items/item_table.h"
#include "probe/engine.h"

namespace varnell {

namespace {

constexpr std::size_t kQuestionTail = 4; // QTYPE and QCLASS

std::uint8_t Lower(std::uint8_t c) { return c >= 'A' && c <= 'Z' ? static_cast<std::uint8_t>(c | 0x20u) : c; }

// A few servers are remembered, four to a set chosen by the server's hash; a
// full set forgets its oldest (which is then learnt again over TCP).
constexpr std::size_t kSets = 256;
constexpr std::size_t kWays = 4;
struct Remembered {
    PeerAddress server{};
    std::uint32_t seen = 0;
    bool used = false;
};
using CaseSet = std::array<Remembered, kWays>;

std::array<CaseSet, kSets>& Memory()
{
    static auto* memory = new std::array<CaseSet, kSets>();
    return *memory;
}

CaseSet& SetOf(const PeerAddress& server) { return Memory()[PeerHash{}(server) % kSets]; }

} // namespace

QuestionMatch MatchQuestion(std::span<const std::uint8_t> query, std::span<const std::uint8_t> reply)
{
    const std::size_t nameLength = SkipName(query, kDnsHeaderSize);
    if (nameLength == 0 || query.size() - kDnsHeaderSize - nameLength < kQuestionTail)
        return QuestionMatch::Different;
    const std::size_t length = nameLength + kQuestionTail;
    ByteReader header(reply);
    std::uint16_t questions = 0;
    if (reply.size() < kDnsHeaderSize || reply.size() - kDnsHeaderSize < length || !header.Skip(4) ||
        !header.ReadU16BE(questions) || questions != 1)
        return QuestionMatch::Different;
    const auto asked = query.subspan(kDnsHeaderSize, length);
    const auto echoed = reply.subspan(kDnsHeaderSize, length);
    bool caseDiffers = false;
    for (std::size_t i = 0; i < length; ++i) {
        if (asked[i] == echoed[i])
            continue;
        // Length bytes are below 64 and so never letters: only letters fold.
        if (Lower(asked[i]) != Lower(echoed[i]))
            return QuestionMatch::Different;
        caseDiffers = true;
    }
    return caseDiffers ? QuestionMatch::CaseDiffers : QuestionMatch::Same;
}

bool ChangesCase(const PeerAddress& server, std::uint32_t now)
{
    for (const Remembered& r : SetOf(server))
        if (r.used && r.server == server)
            return now - r.seen < kCaseMemoryMs;
    return false;
}

void NoteCaseSeen(const PeerAddress& server, bool changed, std::uint32_t now)
{
    CaseSet& set = SetOf(server);
    Remembered* slot = nullptr;
    for (Remembered& r : set)
        if (r.used && r.server == server)
            slot = &r;
    if (!changed) {
        if (slot != nullptr)
            *slot = Remembered{};
        return;
    }
    if (slot == nullptr) {
        slot = &set[0];
        for (Remembered& r : set) {
            if (!r.used) {
                slot = &r;
                break;
            }
            if (now - r.seen > now - slot->seen)
                slot = &r;
        }
    }
    *slot = Remembered{server, now, true};
}

void ResetCaseMemory()
{
    std::lock_guard lock(EngineLock());
    for (CaseSet& set : Memory())
        set.fill(Remembered{});
}

} // namespace varnell
