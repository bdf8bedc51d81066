// Recording PCM samples from the capture source into a wave device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "alerts/sound/device_table.h"

namespace varnell::sound {

// Whether a wave device can record in the format: PCM, 1 or 2 channels of 8 or
// 16 bits at 4 000 to 96 000 samples per second, with consistent block and rate.
bool ValidWaveFormat(const WaveFormat& f);

// Starts recording in the device's format, dropping what was recorded before.
int StartRecorder(SoundDevice& dev, std::string& error);

// A copy of what the device has recorded so far.
std::vector<std::uint8_t> RecordedData(SoundDevice& dev);

} // namespace varnell::sound
