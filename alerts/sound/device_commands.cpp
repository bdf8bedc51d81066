#include "alerts/sound/media_module.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "alerts/sound/device_table.h"
#include "alerts/sound/media_library.h"
#include "alerts/sound/player.h"
#include "alerts/sound/recorder.h"
#include "alerts/sound/temp_wave.h"

namespace varnell::sound {

namespace {

int StopDevice(SoundDevice& dev, std::string& error)
{
    // Stopping the recorder ends the capture thread, so the data is complete after it.
    DestroyPipeline(dev.recorder);
    if (dev.player != nullptr && gst_element_set_state(dev.player, GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE) {
        error = TakeBusError(dev.player, "The sound could not be stopped.");
        return kSoundErrLibrary;
    }
    return kSoundOk;
}

int PlayDevice(std::uint32_t id, SoundDevice& dev, bool repeat, std::string& error)
{
    if (int rc = StopDevice(dev, error); rc != kSoundOk)
        return rc;
    if (dev.wave) {
        if (int rc = OpenRecordingPlayer(id, dev, error); rc != kSoundOk)
            return rc;
    }
    return StartPlayer(dev, repeat, error);
}

void CloseDevice(std::uint32_t id)
{
    std::shared_ptr<SoundDevice> dev = TakeDevice(id);
    if (dev == nullptr)
        return;
    DestroyPipeline(dev->recorder);
    DestroyPlayer(*dev);
    RemoveTempWave(*dev);
}

} // namespace

int RunSoundCommand(std::uint32_t device, SoundCommand command, std::uint32_t flags, SoundParams* params,
                    std::string& error)
{
    int rc = kSoundOk;
    if (!InitMedia(error)) {
        rc = kSoundErrLibrary;
    } else if (command == SoundCommand::Open) {
        auto dev = std::make_shared<SoundDevice>();
        if ((flags & kSoundNewDevice) != 0) {
            dev->wave = true;
        } else if (params == nullptr || params->file.empty()) {
            error = "No sound file was given.";
            rc = kSoundErrInvalidDevice;
        } else if ((dev->player = CreatePlayer(params->file, error)) == nullptr) {
            rc = kSoundErrLibrary;
        }
        if (rc == kSoundOk) {
            std::uint32_t id = AddDevice(std::move(dev));
            if (params != nullptr)
                params->device = id;
        }
    } else if (std::shared_ptr<SoundDevice> dev = FindDevice(device); dev == nullptr) {
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
            } else if (!ValidWaveFormat(params->format)) {
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
                DestroyPlayer(*dev);
                DestroyPipeline(dev->recorder);
                rc = StartRecorder(*dev, error);
            }
            break;
        case SoundCommand::Save:
            if (!dev->wave || params == nullptr) {
                error = "The device has no recording to save.";
                rc = kSoundErrNotSupported;
            } else if (!WriteWaveFile(params->file, dev->format, RecordedData(*dev))) {
                error = std::strerror(errno);
                rc = kSoundErrFile;
            }
            break;
        case SoundCommand::Open:
            break;
        }
    }
    return rc;
}

} // namespace varnell::sound
