// plugin.cpp - the GStreamer plugin "tarvocoil" with its one element.
#include <gst/gst.h>

#include "gst/gsttarvocoil.h"

static gboolean plugin_init(GstPlugin* plugin) {
    return gst_element_register(plugin, "tarvocoil", GST_RANK_NONE, GST_TYPE_TARVOCOIL);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, tarvocoil,
                  "TarvoCoil video trigger: virtual induction loops on camera frames", plugin_init,
                  TARVOCOIL_GST_VERSION, "MIT/X11", "TarvoCoil", "unknown")
