// The plug-in's entry point: libgstzbadpcm.so, plugin name zbadpcm.
#include <gst/gst.h>

#include "gst/Elements.h"

namespace {
gboolean PluginInit(GstPlugin* plugin) { return zbgst::RegisterElements(plugin); }
}  // namespace

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, zbadpcm,
                  "IMA ADPCM with XOR parity frames: encoder, decoder, RTP payloading and an RTP sequence guard", PluginInit,
                  ZBGST_VERSION, "Proprietary", PACKAGE, "https://example.org/zbadpcm")
