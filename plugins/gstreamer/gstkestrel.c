/* The GStreamer plugin "kestrel": cameras behind Kestrel in pipelines. */
#include "gstkestrelsrc.h"

static gboolean plugin_init(GstPlugin* plugin)
{
    return gst_element_register(plugin, "kestrelsrc", GST_RANK_NONE, GST_TYPE_KESTREL_SRC);
}

#define PACKAGE "kestrel"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, kestrel,
                  "Cameras behind Kestrel, the crash-proof camera driver proxy", plugin_init, KESTREL_GST_VERSION,
                  "Proprietary", "Kestrel", "Kestrel")
