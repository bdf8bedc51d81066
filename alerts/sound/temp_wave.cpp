#include "alerts/sound/temp_wave.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include <gst/gst.h>

#include "alerts/sound/player.h"
#include "alerts/sound/recorder.h"

namespace varnell::sound {

namespace {

// The process id and the device id keep two programs and two devices apart.
std::string TempWaveName(std::uint32_t id)
{
    return std::string(g_get_tmp_dir()) + "/varnell-recording-" + std::to_string(getpid()) + "-" +
           std::to_string(id) + ".wav";
}

} // namespace

int OpenRecordingPlayer(std::uint32_t id, SoundDevice& dev, std::string& error)
{
    // Rewritten each time, so that a new recording is heard.
    DestroyPlayer(dev);
    std::vector<std::uint8_t> data = RecordedData(dev);
    if (data.empty()) {
        error = "There is no recorded sound to play.";
        return kSoundErrNothingRecorded;
    }
    dev.tempFile = TempWaveName(id);
    if (!WriteWaveFile(dev.tempFile, dev.format, data)) {
        error = std::strerror(errno);
        return kSoundErrFile;
    }
    dev.player = CreatePlayer(dev.tempFile, error);
    if (dev.player == nullptr)
        return kSoundErrLibrary;
    return kSoundOk;
}

void RemoveTempWave(SoundDevice& dev)
{
    if (!dev.tempFile.empty())
        unlink(dev.tempFile.c_str());
}

} // namespace varnell::sound
