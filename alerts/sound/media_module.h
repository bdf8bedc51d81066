// The media library is loaded when a sound is first made, not when the program
// starts: a program that never makes one (the windowless monitor while its items
// are up, the command line) never maps GStreamer and the libraries beneath it,
// some 2 MB of resident pages. Everything that calls GStreamer is built into a
// module, libvarnell_sound_media.so, which exports one table of entry points;
// the sound layer's functions (sound.h) go through it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "alerts/sound/sound.h"

namespace varnell::sound {

struct SoundMedia {
    std::uint32_t size; // sizeof(SoundMedia): a module of another build is refused
    int (*command)(std::uint32_t device, SoundCommand command, std::uint32_t flags, SoundParams* params,
                   std::string& error);
    int (*captureDevices)(std::vector<std::string>& names, std::string* error);
    int (*tone)(std::uint32_t frequencyHz, std::uint32_t durationMs, std::string* error);
};

// The module's entry points, loaded on the first call (any thread); nullptr,
// with the reason in error, when the module cannot be loaded. Never unloaded:
// GStreamer cannot be started twice in a process.
const SoundMedia* LoadSoundMedia(std::string& error);

// Inside the module.
int RunSoundCommand(std::uint32_t device, SoundCommand command, std::uint32_t flags, SoundParams* params,
                    std::string& error);
int CaptureDeviceNames(std::vector<std::string>& names, std::string* error);
int Tone(std::uint32_t frequencyHz, std::uint32_t durationMs, std::string* error);

} // namespace varnell::sound

// The one symbol the module exports.
extern "C" const varnell::sound::SoundMedia* VarnellSoundMedia();
