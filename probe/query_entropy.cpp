// Random identifiers and the 0x20 letter case of query names.
#include "probe/query_entropy.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <sys/random.h>

namespace varnell {

namespace {

std::atomic<bool> g_random{true};

// One per thread, so drawing needs no lock.
struct Pool {
    static constexpr std::size_t kBatch = 256;
    std::uint8_t bytes[kBatch] = {};
    std::size_t used = kBatch;

    void Refill()
    {
        std::size_t got = 0;
        while (got < kBatch) {
            const ssize_t n = getrandom(bytes + got, kBatch - got, 0);
            if (n > 0) {
                got += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EINTR) {
                break;
            }
        }
        // getrandom fails on a running Linux only for a bad buffer; should it
        // ever, the identifiers still vary rather than repeat.
        if (got < kBatch) {
            auto x = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
            for (std::size_t i = got; i < kBatch; ++i) {
                x = x * 6364136223846793005u + 1442695040888963407u;
                bytes[i] ^= static_cast<std::uint8_t>(x >> 56);
            }
        }
        used = 0;
    }
    std::uint8_t Next()
    {
        if (used == kBatch)
            Refill();
        return bytes[used++];
    }
};

Pool& ThreadPool()
{
    thread_local Pool pool;
    return pool;
}

bool IsLetter(std::uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

} // namespace

void RandomBytes(std::span<std::uint8_t> out)
{
    Pool& pool = ThreadPool();
    for (std::uint8_t& b : out)
        b = pool.Next();
}

std::uint16_t RandomIdentifier()
{
    Pool& pool = ThreadPool();
    const std::uint8_t high = pool.Next();
    return static_cast<std::uint16_t>((high << 8) | pool.Next());
}

void RandomiseCase(std::span<std::uint8_t> name)
{
    if (!QueriesRandomised())
        return;
    Pool& pool = ThreadPool();
    std::uint8_t bits = 0;
    int left = 0;
    for (std::size_t at = 0; at < name.size() && name[at] != 0;) {
        const std::size_t label = name[at];
        const std::size_t end = label < name.size() - at ? at + 1 + label : name.size();
        for (std::size_t i = at + 1; i < end; ++i) {
            if (!IsLetter(name[i]))
                continue;
            if (left == 0) {
                bits = pool.Next();
                left = 8;
            }
            name[i] = static_cast<std::uint8_t>((bits & 1u) != 0 ? name[i] | 0x20u : name[i] & ~0x20u);
            bits = static_cast<std::uint8_t>(bits >> 1);
            --left;
        }
        at = end;
    }
}

void SetQueryRandomisation(bool on) { g_random.store(on, std::memory_order_relaxed); }

bool QueriesRandomised() { return g_random.load(std::memory_order_relaxed); }

} // namespace varnell
