#include "alerts/sound/sound.h"

#include <cstdio>
#include <cstring>

#include "alerts/sound/media_module.h"

namespace varnell {

int CHwMCI::SendCommand(std::uint32_t device, SoundCommand command, std::uint32_t flags, SoundParams* params)
{
    std::string error;
    const sound::SoundMedia* media = sound::LoadSoundMedia(error);
    const int rc = media != nullptr ? media->command(device, command, flags, params, error) : kSoundErrLibrary;
    if (rc != kSoundOk) {
        std::memset(errorText_, 0, sizeof errorText_);
        std::snprintf(errorText_, sizeof errorText_, "%s", error.c_str());
    }
    return rc;
}

int CHwMCI::Open(const std::string& file)
{
    // A device that were only forgotten would go on playing with nothing left
    // to stop it; it is closed instead.
    Close();
    deviceId_ = 0;
    SoundParams params;
    params.file = file;
    std::uint32_t flags = kSoundWait | (file.empty() ? std::uint32_t{kSoundNewDevice} : 0u);
    if (SendCommand(0, SoundCommand::Open, flags, &params) != kSoundOk)
        return 0;
    deviceId_ = params.device;
    return 1;
}

int CHwMCI::Close()
{
    if (deviceId_ == 0)
        return 1;
    if (SendCommand(deviceId_, SoundCommand::Close, kSoundWait, nullptr) != kSoundOk)
        return 0;
    deviceId_ = 0;
    return 1;
}

int CHwMCI::Stop()
{
    if (deviceId_ == 0)
        return 0;
    return SendCommand(deviceId_, SoundCommand::Stop, kSoundWait, nullptr) == kSoundOk ? 1 : 0;
}

int CHwMCI::SetWaveFormat(std::uint16_t formatTag, std::uint16_t channels, std::uint32_t samplesPerSec,
                          std::uint32_t avgBytesPerSec, std::uint16_t blockAlign, std::uint16_t bitsPerSample)
{
    if (deviceId_ == 0)
        return 0;
    SoundParams params;
    params.format = {formatTag, channels, samplesPerSec, avgBytesPerSec, blockAlign, bitsPerSample};
    return SendCommand(deviceId_, SoundCommand::Set, kSoundWait, &params) == kSoundOk ? 1 : 0;
}

int CHwMCI::Play(int repeat)
{
    if (deviceId_ == 0)
        return 0;
    Stop();
    std::uint32_t flags = kSoundFromStart | (repeat != 0 ? std::uint32_t{kSoundRepeat} : 0u);
    return SendCommand(deviceId_, SoundCommand::Play, flags, nullptr) == kSoundOk ? 1 : 0;
}

int CHwMCI::Record(int channels)
{
    if (channels != 1 && channels != 2)
        return 0;
    Close();
    if (!Open(""))
        return 0;
    auto ch = static_cast<std::uint16_t>(channels);
    if (!SetWaveFormat(1, ch, 11025, 11025u * ch, ch, 8))
        return 0;
    return SendCommand(deviceId_, SoundCommand::Record, 0, nullptr) == kSoundOk ? 1 : 0;
}

int CHwMCI::Save(const std::string& file)
{
    if (deviceId_ == 0)
        return 0;
    Stop();
    SoundParams params;
    params.file = file;
    return SendCommand(deviceId_, SoundCommand::Save, kSoundWait, &params) == kSoundOk ? 1 : 0;
}

int EnumerateCaptureDevices(std::vector<std::string>& names, std::string* error)
{
    names.clear();
    std::string reason;
    if (const sound::SoundMedia* media = sound::LoadSoundMedia(reason))
        return media->captureDevices(names, error);
    if (error != nullptr)
        *error = reason;
    return -1;
}

int PlayTone(std::uint32_t frequencyHz, std::uint32_t durationMs, std::string* error)
{
    std::string reason;
    if (const sound::SoundMedia* media = sound::LoadSoundMedia(reason))
        return media->tone(frequencyHz, durationMs, error);
    if (error != nullptr)
        *error = reason;
    return 0;
}

} // namespace varnell
