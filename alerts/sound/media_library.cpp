#include "alerts/sound/media_library.h"

#include <mutex>

namespace varnell::sound {

namespace {

std::once_flag g_initOnce;
bool g_initOk = false;
std::string g_initError;

bool HaveElement(const char* name)
{
    GstElementFactory* f = gst_element_factory_find(name);
    if (f == nullptr)
        return false;
    gst_object_unref(f);
    return true;
}

} // namespace

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

} // namespace varnell::sound
