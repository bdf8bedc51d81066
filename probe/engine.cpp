#include "probe/engine.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <netdb.h>
#include <unistd.h>

namespace varnell {

EngineState& Engine()
{
    static EngineState* state = new EngineState();
    return *state;
}

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
    GetDesktop().Post(Engine().eventWindow.load(), std::move(m));
}

int WakeScheduler()
{
    Engine().wake.Set();
    return 1;
}

} // namespace varnell
