#include "base/tick.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>

namespace varnell {

namespace {

std::atomic<TickSource> g_tickSource{nullptr};

std::uint32_t StartOffsetFromEnvironment()
{
    const char* text = std::getenv("VARNELL_TICK_OFFSET_MS");
    if (text == nullptr || *text == '\0')
        return 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    return *end == '\0' ? static_cast<std::uint32_t>(value) : 0;
}

std::atomic<std::uint32_t>& TickOffset()
{
    static std::atomic<std::uint32_t> offset{StartOffsetFromEnvironment()};
    return offset;
}

} // namespace

std::uint32_t TickCount()
{
    using namespace std::chrono;
    std::uint32_t raw = 0;
    if (TickSource source = g_tickSource.load(std::memory_order_acquire)) {
        raw = source();
    } else {
        auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
        raw = static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms));
    }
    return raw + TickOffset().load(std::memory_order_relaxed);
}

void SetTickSource(TickSource source) { g_tickSource.store(source, std::memory_order_release); }

void SetTickOffset(std::uint32_t offset) { TickOffset().store(offset, std::memory_order_relaxed); }

namespace {

std::int64_t NsOf(const timespec& t) { return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

} // namespace

std::uint64_t MonotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(NsOf(now));
}

std::int64_t MonotonicMinusWallNs()
{
    timespec wall{}, mono{};
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_MONOTONIC, &mono);
    return NsOf(mono) - NsOf(wall);
}

} // namespace varnell
