#include "alerts/sound/recorder.h"

#include <cstdio>

#include <gst/app/gstappsink.h>

#include "alerts/sound/media_library.h"

namespace varnell::sound {

namespace {

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

} // namespace

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

std::vector<std::uint8_t> RecordedData(SoundDevice& dev)
{
    std::lock_guard lock(dev.dataMutex);
    return dev.data;
}

} // namespace varnell::sound
