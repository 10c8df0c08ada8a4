// Library set-up and the linked exports.
#include "gst/binding/LinkedLibrary.h"

#include <cstdlib>

namespace zbgst {

namespace {

// Frame buffers for every module in the process, from the C heap (thread-safe).
class HeapAllocator final : public IAvMemAlloc {
 public:
  void* Alloc(uint32_t size) override { return std::malloc(size != 0 ? size : 1); }
  void Free(void* ptr) override { std::free(ptr); }
};

HeapAllocator g_allocator;

}  // namespace

bool InitLibrary() {
  static bool s_bReady = [] {
    if (!zbInitialize()) return false;
    auto* descriptor = static_cast<IZBAvChildModule*>(zbCreateInstance(ZB_NAME_CHILD_MODULE));
    if (descriptor == nullptr) return false;
    descriptor->SetMemAllocator(&g_allocator);
    return true;
  }();
  return s_bReady;
}

const zbreceive::ZbExports& LinkedExports() {
  static const zbreceive::ZbExports s_exports{zbInitialize, zbUninitialize, zbGetInterfaceName, zbCreateInstance,
                                              zbDestroyInstance};
  return s_exports;
}

}  // namespace zbgst
