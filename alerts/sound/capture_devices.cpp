#include <gst/gst.h>

#include "alerts/sound/media_library.h"
#include "alerts/sound/media_module.h"

namespace varnell::sound {

int CaptureDeviceNames(std::vector<std::string>& names, std::string* error)
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

} // namespace varnell::sound
