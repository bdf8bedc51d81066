// The process-wide table of open sound devices, found by the id a CHwMCI holds.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gst/gst.h>

#include "alerts/sound/sound.h"

namespace varnell::sound {

// One open device. A file device has a player; a wave device has a recorder
// while it records, the samples it captured, and a player once its recording
// is played back (through a temporary wave file).
//
// Who touches what: the owning CHwMCI's thread does everything except the two
// marked fields; the capture thread of the media library appends to data under
// dataMutex, and the watcher thread reads repeat and seeks the player.
struct SoundDevice {
    bool wave = false;
    GstElement* player = nullptr;
    GstElement* recorder = nullptr;
    std::thread watcher;
    std::atomic<bool> repeat{false};     // read by the watcher
    std::atomic<bool> watcherStop{false};
    WaveFormat format;
    std::mutex dataMutex;
    std::vector<std::uint8_t> data;      // appended by the capture thread
    std::string tempFile;
};

// Enters the device under a new id (never 0) and returns the id.
std::uint32_t AddDevice(std::shared_ptr<SoundDevice> device);
// The device with the id, or null.
std::shared_ptr<SoundDevice> FindDevice(std::uint32_t id);
// Removes the device from the table and hands it over, or null when there is none.
std::shared_ptr<SoundDevice> TakeDevice(std::uint32_t id);

} // namespace varnell::sound
