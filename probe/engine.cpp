#include "probe/engine.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <unistd.h>

namespace varnell {

EngineState& Engine()
{
    static EngineState* state = new EngineState();
    return *state;
}

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

std::uint32_t LookUpLocalAddress()
{
    char host[256] = {};
    std::uint32_t result = htonl(INADDR_LOOPBACK);
    if (gethostname(host, sizeof host - 1) != 0)
        return result;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr)
        return result;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in sin{};
            std::memcpy(&sin, ai->ai_addr, sizeof sin);
            result = sin.sin_addr.s_addr;
            break;
        }
    }
    freeaddrinfo(list);
    return result;
}

void ReportEngineMessage(std::string text)
{
    WindowMessage m;
    m.id = WM_EVENT_MESSAGE;
    m.text = std::move(text);
    GetUiChannel().Post(Engine().eventWindow.load(), std::move(m));
}

int WakeScheduler()
{
    Engine().wake.Set();
    return 1;
}

} // namespace varnell
