// A recording is played through a wave file of its own in the temporary folder,
// removed when its device closes.
#pragma once

#include <cstdint>
#include <string>

#include "alerts/sound/device_table.h"

namespace varnell::sound {

// Writes what the device id has recorded to its temporary wave file and opens a
// player for it; the player it had before is freed.
int OpenRecordingPlayer(std::uint32_t id, SoundDevice& dev, std::string& error);

// Removes the device's temporary wave file, if it wrote one.
void RemoveTempWave(SoundDevice& dev);

} // namespace varnell::sound
