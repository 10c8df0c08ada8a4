// The plug-in links the codec library: its exports as the receive path's table, and the
// library's one-time set-up with a frame-buffer allocator from the C heap.
#pragma once

#include "receive/Exports.h"

namespace zbgst {

// Initialises the library once per process and installs the allocator. False when the library
// fails to initialise or offers no descriptor; true on every later call after a success.
bool InitLibrary();
// The linked library's five exports.
const zbreceive::ZbExports& LinkedExports();

}  // namespace zbgst
