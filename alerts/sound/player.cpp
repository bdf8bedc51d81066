#include "alerts/sound/player.h"

#include "alerts/sound/media_library.h"

namespace varnell::sound {

namespace {

// Play-flags bit of playbin that enables audio; video and subtitles stay off.
constexpr guint kPlayFlagAudio = 0x2;

void SeekToStart(GstElement* player)
{
    gst_element_seek_simple(player, GST_FORMAT_TIME,
                            static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT), 0);
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
            SeekToStart(player);
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

} // namespace

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

int StartPlayer(SoundDevice& dev, bool repeat, std::string& error)
{
    dev.repeat = repeat;
    if (!dev.watcher.joinable())
        dev.watcher = std::thread(WatchPlayer, &dev, dev.player);
    SeekToStart(dev.player);
    if (gst_element_set_state(dev.player, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        error = TakeBusError(dev.player, "The sound could not be played.");
        return kSoundErrLibrary;
    }
    return kSoundOk;
}

void DestroyPlayer(SoundDevice& dev)
{
    StopWatcher(dev);
    DestroyPipeline(dev.player);
}

} // namespace varnell::sound
