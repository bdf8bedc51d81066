#include "alerts/sound/sound.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "alerts/sound/device_table.h"
#include "alerts/sound/media_library.h"
#include "alerts/sound/player.h"
#include "alerts/sound/recorder.h"
#include "alerts/sound/temp_wave.h"

namespace varnell {

namespace {

using sound::SoundDevice;

int StopDevice(SoundDevice& dev, std::string& error)
{
    // Stopping the recorder ends the capture thread, so the data is complete after it.
    sound::DestroyPipeline(dev.recorder);
    if (dev.player != nullptr && gst_element_set_state(dev.player, GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE) {
        error = sound::TakeBusError(dev.player, "The sound could not be stopped.");
        return kSoundErrLibrary;
    }
    return kSoundOk;
}

int PlayDevice(std::uint32_t id, SoundDevice& dev, bool repeat, std::string& error)
{
    if (int rc = StopDevice(dev, error); rc != kSoundOk)
        return rc;
    if (dev.wave) {
        if (int rc = sound::OpenRecordingPlayer(id, dev, error); rc != kSoundOk)
            return rc;
    }
    return sound::StartPlayer(dev, repeat, error);
}

void CloseDevice(std::uint32_t id)
{
    std::shared_ptr<SoundDevice> dev = sound::TakeDevice(id);
    if (dev == nullptr)
        return;
    sound::DestroyPipeline(dev->recorder);
    sound::DestroyPlayer(*dev);
    sound::RemoveTempWave(*dev);
}

} // namespace

int CHwMCI::SendCommand(std::uint32_t device, SoundCommand command, std::uint32_t flags, SoundParams* params)
{
    std::string error;
    int rc = kSoundOk;
    if (!sound::InitMedia(error)) {
        rc = kSoundErrLibrary;
    } else if (command == SoundCommand::Open) {
        auto dev = std::make_shared<SoundDevice>();
        if ((flags & kSoundNewDevice) != 0) {
            dev->wave = true;
        } else if (params == nullptr || params->file.empty()) {
            error = "No sound file was given.";
            rc = kSoundErrInvalidDevice;
        } else if ((dev->player = sound::CreatePlayer(params->file, error)) == nullptr) {
            rc = kSoundErrLibrary;
        }
        if (rc == kSoundOk) {
            std::uint32_t id = sound::AddDevice(std::move(dev));
            if (params != nullptr)
                params->device = id;
        }
    } else if (std::shared_ptr<SoundDevice> dev = sound::FindDevice(device); dev == nullptr) {
        error = "The device is not open.";
        rc = kSoundErrInvalidDevice;
    } else {
        switch (command) {
        case SoundCommand::Close:
            CloseDevice(device);
            break;
        case SoundCommand::Stop:
            rc = StopDevice(*dev, error);
            break;
        case SoundCommand::Set:
            if (!dev->wave || params == nullptr) {
                error = "The device cannot change its wave format.";
                rc = kSoundErrNotSupported;
            } else if (!sound::ValidWaveFormat(params->format)) {
                error = "The wave format is not supported.";
                rc = kSoundErrBadFormat;
            } else {
                dev->format = params->format;
            }
            break;
        case SoundCommand::Play:
            rc = PlayDevice(device, *dev, (flags & kSoundRepeat) != 0, error);
            break;
        case SoundCommand::Record:
            if (!dev->wave) {
                error = "The device cannot record.";
                rc = kSoundErrNotSupported;
            } else {
                sound::DestroyPlayer(*dev);
                sound::DestroyPipeline(dev->recorder);
                rc = sound::StartRecorder(*dev, error);
            }
            break;
        case SoundCommand::Save:
            if (!dev->wave || params == nullptr) {
                error = "The device has no recording to save.";
                rc = kSoundErrNotSupported;
            } else if (!WriteWaveFile(params->file, dev->format, sound::RecordedData(*dev))) {
                error = std::strerror(errno);
                rc = kSoundErrFile;
            }
            break;
        case SoundCommand::Open:
            break;
        }
    }
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

} // namespace varnell
