#include "alerts/sound/device_table.h"

#include <map>

namespace varnell::sound {

namespace {

std::mutex g_devicesMutex;
std::map<std::uint32_t, std::shared_ptr<SoundDevice>> g_devices;
std::uint32_t g_nextDevice = 1;

} // namespace

std::uint32_t AddDevice(std::shared_ptr<SoundDevice> device)
{
    std::lock_guard lock(g_devicesMutex);
    std::uint32_t id = g_nextDevice++;
    if (g_nextDevice == 0)
        g_nextDevice = 1;
    g_devices[id] = std::move(device);
    return id;
}

std::shared_ptr<SoundDevice> FindDevice(std::uint32_t id)
{
    std::lock_guard lock(g_devicesMutex);
    auto it = g_devices.find(id);
    return it == g_devices.end() ? nullptr : it->second;
}

std::shared_ptr<SoundDevice> TakeDevice(std::uint32_t id)
{
    std::lock_guard lock(g_devicesMutex);
    auto it = g_devices.find(id);
    if (it == g_devices.end())
        return nullptr;
    std::shared_ptr<SoundDevice> device = std::move(it->second);
    g_devices.erase(it);
    return device;
}

} // namespace varnell::sound
