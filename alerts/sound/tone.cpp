#include <cstdio>

#include <gst/gst.h>

#include "alerts/sound/media_library.h"
#include "alerts/sound/media_module.h"

namespace varnell::sound {

int Tone(std::uint32_t frequencyHz, std::uint32_t durationMs, std::string* error)
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

} // namespace varnell::sound
