// Playing a sound file on a device, and the watcher thread that starts a
// repeating sound again at its end.
#pragma once

#include <string>

#include <gst/gst.h>

#include "alerts/sound/device_table.h"

namespace varnell::sound {

// A player for the file, prerolled (paused at its start). error on failure.
GstElement* CreatePlayer(const std::string& file, std::string& error);

// Plays the device's player from its start without waiting; endlessly when repeat.
int StartPlayer(SoundDevice& dev, bool repeat, std::string& error);

// Stops the watcher and frees the player.
void DestroyPlayer(SoundDevice& dev);

} // namespace varnell::sound
