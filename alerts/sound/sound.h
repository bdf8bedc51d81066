// The sound layer: a wave-audio device wrapper (CHwMCI) that plays a sound file
// (any type the media library can decode, endlessly repeated on request),
// records 8-bit PCM at 11 025 samples per second and saves it as a RIFF WAVE
// file; the capture device list; and blocking speaker tones.
//
// Built on GStreamer, which may be driven from any thread. Playback and capture
// go through the desktop's sound server (PulseAudio or its compatible
// replacements) when its elements are installed, otherwise through the media
// library's automatic choice. With no sound server every operation fails at
// once and the library's own error text is kept.
//
// Each CHwMCI belongs to one thread (the beep worker, or the Edit Sound dialog
// on the user-interface thread); the devices behind the ids are process-wide.
//
// Beside this header, one file per part: the functions below, which go through
// the media module loaded at the first sound (sound.cpp, media_loader,
// media_module.h), and inside that module the media library's start and shared
// pipeline steps (media_library), the open devices (device_table), the device
// commands (device_commands), playing with its repeat watcher (player),
// recording (recorder), playing a recording back (temp_wave), the capture
// device list (capture_devices) and tones (tone); the RIFF writer (wave_file)
// serves both sides.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace varnell {

// Device commands understood by CHwMCI::SendCommand.
enum class SoundCommand { Open, Close, Stop, Set, Play, Record, Save };

// Command flags.
enum SoundFlags : std::uint32_t {
    kSoundWait = 0x1,       // return when the command has completed
    kSoundRepeat = 0x2,     // Play: start again at the end, endlessly
    kSoundFromStart = 0x4,  // Play: from position 0
    kSoundNewDevice = 0x8,  // Open: a new, empty wave-audio device (no file)
};

// Error codes of SendCommand (0 = success).
enum SoundError : int {
    kSoundOk = 0,
    kSoundErrLibrary = 257,     // the media library failed; its text is in the error text
    kSoundErrInvalidDevice = 263,
    kSoundErrBadFormat = 264,   // a wave format the device cannot record
    kSoundErrNotSupported = 274,
    kSoundErrNothingRecorded = 275,
    kSoundErrFile = 276,        // the file could not be written
};

// A PCM wave format as a RIFF "fmt " chunk holds it.
struct WaveFormat {
    std::uint16_t formatTag = 1; // 1 = PCM, the only one supported
    std::uint16_t channels = 1;
    std::uint32_t samplesPerSec = 11025;
    std::uint32_t avgBytesPerSec = 11025;
    std::uint16_t blockAlign = 1;
    std::uint16_t bitsPerSample = 8;
};

struct SoundParams {
    std::string file;         // Open: the file to open; Save: the file to write
    WaveFormat format;        // Set
    std::uint32_t device = 0; // Open: the new device id
};

class CHwMCI {
public:
    CHwMCI() = default;
    CHwMCI(const CHwMCI&) = delete;
    CHwMCI& operator=(const CHwMCI&) = delete;
    ~CHwMCI() { Close(); }

    // Issues one device command; on failure fills the error text and returns the code.
    int SendCommand(std::uint32_t device, SoundCommand command, std::uint32_t flags, SoundParams* params);

    // file: open it, the device chosen by its type, and wait until it is ready;
    // empty: a new, empty wave-audio device. 1 on success, 0 on failure.
    int Open(const std::string& file);
    // The id becomes 0 when the close succeeds.
    int Close();
    int Stop();
    bool IsOpen() const { return deviceId_ != 0; }
    int SetWaveFormat(std::uint16_t formatTag, std::uint16_t channels, std::uint32_t samplesPerSec,
                      std::uint32_t avgBytesPerSec, std::uint16_t blockAlign, std::uint16_t bitsPerSample);
    // Stop, then play from the start without waiting; endlessly when repeat.
    int Play(int repeat);
    // channels 1 or 2: a new device recording 8-bit PCM at 11 025 samples per second.
    int Record(int channels);
    // Stop, then write what was recorded as a wave file.
    int Save(const std::string& file);

    const char* ErrorText() const { return errorText_; }
    std::uint32_t DeviceId() const { return deviceId_; }

private:
    char errorText_[256] = {};
    std::uint32_t deviceId_ = 0;
};

// Calls back once per sound capture device with its description, in the order the
// sound system reports them. Returns the count, or -1 when the list cannot be
// obtained (no media library, no sound server); error then holds the reason.
int EnumerateCaptureDevices(std::vector<std::string>& names, std::string* error = nullptr);

// Sounds a sine tone and returns when it has been played (about durationMs).
// Returns 1, or 0 at once when no sound can be made (error holds the reason).
int PlayTone(std::uint32_t frequencyHz, std::uint32_t durationMs, std::string* error = nullptr);

// Writes a RIFF WAVE file: "fmt " chunk from format, "data" chunk from data.
bool WriteWaveFile(const std::string& path, const WaveFormat& format, std::span<const std::uint8_t> data);

} // namespace varnell
