#include "probe/case_memory.h"

#include <array>
#include <mutex>

#include "items/item_table.h"

namespace varnell {

namespace {

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
