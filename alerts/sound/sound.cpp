#include "alerts/sound/sound.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include "base/byte_reader.h"

namespace varnell {

namespace {

// How long opening or starting a device may take before it counts as failed.
constexpr std::uint32_t kStartWaitMs = 5000;
// Play-flags bit of playbin that enables audio; video and subtitles stay off.
constexpr guint kPlayFlagAudio = 0x2;

std::once_flag g_initOnce;
bool g_initOk = false;
std::string g_initError;

bool InitMedia(std::string& error)
{
    std::call_once(g_initOnce, [] {
        GError* err = nullptr;
        if (gst_init_check(nullptr, nullptr, &err)) {
            g_initOk = true;
        } else {
            g_initError = err != nullptr ? err->message : "The media library could not be started.";
            if (err != nullptr)
                g_error_free(err);
        }
    });
    if (!g_initOk)
        error = g_initError;
    return g_initOk;
}

bool HaveElement(const char* name)
{
    GstElementFactory* f = gst_element_factory_find(name);
    if (f == nullptr)
        return false;
    gst_object_unref(f);
    return true;
}

// The sound server's own elements when installed: the automatic choice could
// fall back to a hardware device the sound server does not manage.
const char* SinkElement()
{
    static const char* name = HaveElement("pulsesink") ? "pulsesink" : "autoaudiosink";
    return name;
}
const char* SourceElement()
{
    static const char* name = HaveElement("pulsesrc") ? "pulsesrc" : "autoaudiosrc";
    return name;
}

// The first error the pipeline posted, or fallback.
std::string TakeBusError(GstElement* pipeline, const char* fallback)
{
    std::string text = fallback;
    GstBus* bus = gst_element_get_bus(pipeline);
    if (GstMessage* m = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
        GError* err = nullptr;
        gchar* debug = nullptr;
        gst_message_parse_error(m, &err, &debug);
        if (err != nullptr) {
            text = err->message;
            g_error_free(err);
        }
        g_free(debug);
        gst_message_unref(m);
    }
    gst_object_unref(bus);
    return text;
}

// Sets the state and waits until it is reached; false on failure or time-out.
bool SetStateAndWait(GstElement* pipeline, GstState state, std::uint32_t timeoutMs)
{
    GstStateChangeReturn rc = gst_element_set_state(pipeline, state);
    if (rc == GST_STATE_CHANGE_ASYNC)
        rc = gst_element_get_state(pipeline, nullptr, nullptr, GstClockTime{timeoutMs} * GST_MSECOND);
    return rc == GST_STATE_CHANGE_SUCCESS || rc == GST_STATE_CHANGE_NO_PREROLL;
}

void DestroyPipeline(GstElement*& pipeline)
{
    if (pipeline == nullptr)
        return;
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    pipeline = nullptr;
}

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

std::mutex g_devicesMutex;
std::map<std::uint32_t, std::shared_ptr<SoundDevice>> g_devices;
std::uint32_t g_nextDevice = 1;

std::shared_ptr<SoundDevice> FindDevice(std::uint32_t id)
{
    std::lock_guard lock(g_devicesMutex);
    auto it = g_devices.find(id);
    return it == g_devices.end() ? nullptr : it->second;
}

// The watcher restarts a repeating sound at its end. It blocks on the bus, so
// stopping it posts an application message to wake it.
void WatchPlayer(SoundDevice* dev, GstElement* player)
{
    GstBus* bus = gst_element_get_bus(player);
    while (!dev->watcherStop.load()) {
        GstMessage* m = gst_bus_timed_pop_filtered(
            bus, GST_CLOCK_TIME_NONE,
            static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_APPLICATION));
        if (m == nullptr)
            continue;
        if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS && dev->repeat.load() && !dev->watcherStop.load())
            gst_element_seek_simple(player, GST_FORMAT_TIME,
                                    static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT), 0);
        gst_message_unref(m);
    }
    gst_object_unref(bus);
}

void StopWatcher(SoundDevice& dev)
{
    if (!dev.watcher.joinable())
        return;
    dev.watcherStop = true;
    GstBus* bus = gst_element_get_bus(dev.player);
    gst_bus_post(bus, gst_message_new_application(nullptr, gst_structure_new_empty("varnell-stop")));
    gst_object_unref(bus);
    dev.watcher.join();
    dev.watcherStop = false;
}

void DestroyPlayer(SoundDevice& dev)
{
    StopWatcher(dev);
    DestroyPipeline(dev.player);
}

// A player for the file, prerolled (paused at its start). error on failure.
GstElement* CreatePlayer(const std::string& file, std::string& error)
{
    GError* err = nullptr;
    gchar* uri = gst_filename_to_uri(file.c_str(), &err);
    if (uri == nullptr) {
        error = err != nullptr ? err->message : "Invalid file name.";
        if (err != nullptr)
            g_error_free(err);
        return nullptr;
    }
    GstElement* player = gst_element_factory_make("playbin", nullptr);
    GstElement* sink = gst_element_factory_make(SinkElement(), nullptr);
    if (player == nullptr || sink == nullptr) {
        g_free(uri);
        if (player != nullptr)
            gst_object_unref(player);
        if (sink != nullptr)
            gst_object_unref(sink);
        error = "The media library has no player or sound output installed.";
        return nullptr;
    }
    g_object_set(player, "uri", uri, "audio-sink", sink, "flags", kPlayFlagAudio, nullptr);
    g_free(uri);
    if (!SetStateAndWait(player, GST_STATE_PAUSED, kStartWaitMs)) {
        error = TakeBusError(player, "The sound file could not be opened.");
        DestroyPipeline(player);
        return nullptr;
    }
    return player;
}

GstFlowReturn OnSample(GstAppSink* sink, gpointer user)
{
    auto* dev = static_cast<SoundDevice*>(user);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (sample == nullptr)
        return GST_FLOW_EOS;
    if (GstBuffer* buffer = gst_sample_get_buffer(sample)) {
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            std::lock_guard lock(dev->dataMutex);
            dev->data.insert(dev->data.end(), map.data, map.data + map.size);
            gst_buffer_unmap(buffer, &map);
        }
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

bool ValidWaveFormat(const WaveFormat& f)
{
    return f.formatTag == 1 && (f.channels == 1 || f.channels == 2) &&
           (f.bitsPerSample == 8 || f.bitsPerSample == 16) && f.samplesPerSec >= 4000 &&
           f.samplesPerSec <= 96000 && f.blockAlign == f.channels * f.bitsPerSample / 8 &&
           f.avgBytesPerSec == f.samplesPerSec * f.blockAlign;
}

int StartRecorder(SoundDevice& dev, std::string& error)
{
    char launch[512];
    std::snprintf(launch, sizeof launch,
                  "%s ! audioconvert ! audioresample ! audio/x-raw,format=%s,rate=%u,channels=%u,"
                  "layout=interleaved ! appsink name=capture sync=false",
                  SourceElement(), dev.format.bitsPerSample == 8 ? "U8" : "S16LE", dev.format.samplesPerSec,
                  unsigned{dev.format.channels});
    GError* err = nullptr;
    GstElement* recorder = gst_parse_launch(launch, &err);
    if (err != nullptr) {
        error = err->message;
        g_error_free(err);
        if (recorder != nullptr)
            gst_object_unref(recorder);
        return kSoundErrLibrary;
    }
    GstElement* sink = gst_bin_get_by_name(GST_BIN(recorder), "capture");
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = OnSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, &dev, nullptr);
    gst_object_unref(sink);
    {
        std::lock_guard lock(dev.dataMutex);
        dev.data.clear();
    }
    if (!SetStateAndWait(recorder, GST_STATE_PLAYING, kStartWaitMs)) {
        error = TakeBusError(recorder, "Recording could not be started.");
        DestroyPipeline(recorder);
        return kSoundErrLibrary;
    }
    dev.recorder = recorder;
    return kSoundOk;
}

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

std::string TempWaveName(std::uint32_t id)
{
    return std::string(g_get_tmp_dir()) + "/varnell-recording-" + std::to_string(getpid()) + "-" +
           std::to_string(id) + ".wav";
}

int PlayDevice(std::uint32_t id, SoundDevice& dev, bool repeat, std::string& error)
{
    if (int rc = StopDevice(dev, error); rc != kSoundOk)
        return rc;
    if (dev.wave) {
        // A recording plays through a wave file of its own, rewritten each time
        // so that a new recording is heard.
        DestroyPlayer(dev);
        std::vector<std::uint8_t> data;
        {
            std::lock_guard lock(dev.dataMutex);
            data = dev.data;
        }
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
    }
    dev.repeat = repeat;
    if (!dev.watcher.joinable())
        dev.watcher = std::thread(WatchPlayer, &dev, dev.player);
    gst_element_seek_simple(dev.player, GST_FORMAT_TIME,
                            static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT), 0);
    if (gst_element_set_state(dev.player, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        error = TakeBusError(dev.player, "The sound could not be played.");
        return kSoundErrLibrary;
    }
    return kSoundOk;
}

void CloseDevice(std::uint32_t id)
{
    std::shared_ptr<SoundDevice> dev;
    {
        std::lock_guard lock(g_devicesMutex);
        auto it = g_devices.find(id);
        if (it == g_devices.end())
            return;
        dev = it->second;
        g_devices.erase(it);
    }
    DestroyPipeline(dev->recorder);
    DestroyPlayer(*dev);
    if (!dev->tempFile.empty())
        unlink(dev->tempFile.c_str());
}

} // namespace

int CHwMCI::SendCommand(std::uint32_t device, SoundCommand command, std::uint32_t flags, SoundParams* params)
{
    std::string error;
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
            std::lock_guard lock(g_devicesMutex);
            std::uint32_t id = g_nextDevice++;
            if (g_nextDevice == 0)
                g_nextDevice = 1;
            g_devices[id] = dev;
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
        case SoundCommand::Save: {
            std::vector<std::uint8_t> data;
            if (!dev->wave || params == nullptr) {
                error = "The device has no recording to save.";
                rc = kSoundErrNotSupported;
                break;
            }
            {
                std::lock_guard lock(dev->dataMutex);
                data = dev->data;
            }
            if (!WriteWaveFile(params->file, dev->format, data)) {
                error = std::strerror(errno);
                rc = kSoundErrFile;
            }
            break;
        }
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

bool WriteWaveFile(const std::string& path, const WaveFormat& format, std::span<const std::uint8_t> data)
{
    // RIFF sizes are 32-bit; a longer recording cannot be stored in one file.
    if (data.size() > 0xFFFFFFFFu - 36) {
        errno = EFBIG;
        return false;
    }
    auto size = static_cast<std::uint32_t>(data.size());
    std::uint8_t head[44];
    std::memcpy(head, "RIFF", 4);
    StoreU32LE(head + 4, 36 + size + (size & 1));
    std::memcpy(head + 8, "WAVEfmt ", 8);
    StoreU32LE(head + 16, 16);
    StoreU16LE(head + 20, format.formatTag);
    StoreU16LE(head + 22, format.channels);
    StoreU32LE(head + 24, format.samplesPerSec);
    StoreU32LE(head + 28, format.avgBytesPerSec);
    StoreU16LE(head + 32, format.blockAlign);
    StoreU16LE(head + 34, format.bitsPerSample);
    std::memcpy(head + 36, "data", 4);
    StoreU32LE(head + 40, size);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = std::fwrite(head, 1, sizeof head, f) == sizeof head &&
              (data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size());
    if (ok && (size & 1) != 0) // chunks are padded to an even length
        ok = std::fputc(0, f) == 0;
    int saved = errno;
    if (std::fclose(f) != 0)
        ok = false;
    else
        errno = saved;
    return ok;
}

int EnumerateCaptureDevices(std::vector<std::string>& names, std::string* error)
{
    names.clear();
    std::string text;
    if (!InitMedia(text)) {
        if (error != nullptr)
            *error = text;
        return -1;
    }
    GstDeviceMonitor* monitor = gst_device_monitor_new();
    gst_device_monitor_add_filter(monitor, "Audio/Source", nullptr);
    if (!gst_device_monitor_start(monitor)) {
        gst_object_unref(monitor);
        if (error != nullptr)
            *error = "The sound capture devices cannot be listed.";
        return -1;
    }
    GList* devices = gst_device_monitor_get_devices(monitor);
    for (GList* l = devices; l != nullptr; l = l->next) {
        gchar* name = gst_device_get_display_name(GST_DEVICE(l->data));
        names.emplace_back(name != nullptr ? name : "");
        g_free(name);
    }
    g_list_free_full(devices, gst_object_unref);
    gst_device_monitor_stop(monitor);
    gst_object_unref(monitor);
    return static_cast<int>(names.size());
}

int PlayTone(std::uint32_t frequencyHz, std::uint32_t durationMs, std::string* error)
{
    std::string text;
    if (!InitMedia(text)) {
        if (error != nullptr)
            *error = text;
        return 0;
    }
    // 10 ms buffers at 44 100 samples per second: the tone's length is exact to 10 ms.
    unsigned buffers = (durationMs + 9) / 10;
    char launch[256];
    std::snprintf(launch, sizeof launch,
                  "audiotestsrc freq=%u wave=sine volume=0.5 samplesperbuffer=441 num-buffers=%u ! "
                  "audio/x-raw,format=S16LE,rate=44100,channels=1 ! %s",
                  frequencyHz, buffers, SinkElement());
    GError* err = nullptr;
    GstElement* pipeline = gst_parse_launch(launch, &err);
    if (err != nullptr) {
        if (error != nullptr)
            *error = err->message;
        g_error_free(err);
        if (pipeline != nullptr)
            gst_object_unref(pipeline);
        return 0;
    }
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        if (error != nullptr)
            *error = TakeBusError(pipeline, "The tone could not be played.");
        DestroyPipeline(pipeline);
        return 0;
    }
    // The sink posts end-of-stream once the last sample has been played out.
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* m = gst_bus_timed_pop_filtered(bus, GstClockTime{durationMs + kStartWaitMs} * GST_MSECOND,
                                               static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    int ok = 0;
    if (m != nullptr && GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS) {
        ok = 1;
    } else if (error != nullptr) {
        *error = "The tone could not be played.";
        if (m != nullptr) {
            GError* e = nullptr;
            gst_message_parse_error(m, &e, nullptr);
            if (e != nullptr) {
                *error = e->message;
                g_error_free(e);
            }
        }
    }
    if (m != nullptr)
        gst_message_unref(m);
    gst_object_unref(bus);
    DestroyPipeline(pipeline);
    return ok;
}

} // namespace varnell
