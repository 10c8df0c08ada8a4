// Registers the plug-in's five elements with `plugin`: the plug-in's entry point, and tests that
// register the same elements in their own process.
#pragma once

#include <gst/gst.h>

namespace zbgst {

// False when the codec library cannot be initialised or an element fails to register.
gboolean RegisterElements(GstPlugin* plugin);

}  // namespace zbgst
