#include "probe/engine.h"

#include <arpa/inet.h>
#include <atomic>
#include <string>
#include <unistd.h>

#include "base/net/socket_helpers.h"

namespace varnell {

EngineState& Engine()
{
    static EngineState* state = new EngineState();
    return *state;
}

std::uint32_t LookUpLocalAddress()
{
    std::uint32_t address = 0;
    const std::string host = LocalHostName();
    return !host.empty() && LookUpIPv4(host, address) ? address : htonl(INADDR_LOOPBACK);
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
