#include "alerts/sound/media_module.h"

extern "C" __attribute__((visibility("default"))) const varnell::sound::SoundMedia* VarnellSoundMedia()
{
    static constexpr varnell::sound::SoundMedia kMedia = {
        sizeof(varnell::sound::SoundMedia),
        varnell::sound::RunSoundCommand,
        varnell::sound::CaptureDeviceNames,
        varnell::sound::Tone,
    };
    return &kMedia;
}
