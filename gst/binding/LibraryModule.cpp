// Library set-up, module lifetime and the collecting sink face.
#include "gst/binding/LibraryModule.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>

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

// A sink face with one input, following the connection exchange: the side called first records
// the peer and then calls the peer's mirror operation, whose call back finds it recorded.
class LibraryModule::Collector final : public AvSinkFace {
 public:
  void* DeletingDestructor(unsigned int) override {
    if (m_pInput != nullptr) RemoveInput(m_pInput);
    return this;
  }
  bool AcceptsType(uint16_t) override { return true; }
  bool IsActive(AvSourceFace*) override { return true; }
  bool AddInput(AvSourceFace* pInput) override {
    if (pInput == nullptr || pInput == m_pInput) return true;
    m_pInput = pInput;
    pInput->AddOutput(this);
    return true;
  }
  bool RemoveInput(AvSourceFace* pInput) override {
    if (pInput == nullptr || pInput != m_pInput) return false;
    m_pInput = nullptr;
    pInput->RemoveOutput(this);
    return true;
  }
  bool HandleFrame(AvSourceFace*, AvFrame* frame) override {
    EmittedFrame copy;
    copy.type = frame->type;
    copy.seq = frame->info->seq;
    if (frame->data != nullptr) copy.bytes.assign(frame->data, frame->data + frame->len);
    m_emitted.push_back(std::move(copy));
    return true;
  }

  std::vector<EmittedFrame> m_emitted;

 private:
  AvSourceFace* m_pInput = nullptr;
};

LibraryModule::LibraryModule(const char* interfaceName) : m_pCollector(std::make_unique<Collector>()) {
  if (!InitLibrary()) throw std::runtime_error("the zbadpcm library failed to initialise");
  m_pObject = zbCreateInstance(interfaceName);
  if (m_pObject == nullptr) {
    throw std::runtime_error(std::string("the zbadpcm library could not create ") + interfaceName);
  }
  SourceFaceOf(m_pObject)->AddOutput(m_pCollector.get());
}

LibraryModule::~LibraryModule() { zbDestroyInstance(m_pObject); }

bool LibraryModule::Push(uint8_t type, int32_t seq, const uint8_t* data, uint32_t len) {
  AvFrameInfo info{seq, 0, AV_CLASS_MEDIA, {0, 0, 0}};
  AvFrame frame{type, 0, AV_KIND_AUDIO, &info, len, const_cast<uint8_t*>(data)};
  return SinkFaceOf(m_pObject)->HandleFrame(nullptr, &frame);
}

std::vector<EmittedFrame> LibraryModule::TakeEmitted() { return std::exchange(m_pCollector->m_emitted, {}); }

bool LibraryModule::ResetStream() { return static_cast<AvFilterSourceFace*>(SourceFaceOf(m_pObject))->ResetStream(); }

void LibraryModule::EnableRedundancy(bool enable) {
  static_cast<AvEncoderSourceFace*>(SourceFaceOf(m_pObject))->EnableRedundancy(enable);
}

void LibraryModule::SetEncoderMode(ZbEncoderMode mode) {
  static_cast<AvEncoderSourceFace*>(SourceFaceOf(m_pObject))->ReservedSetting(mode);
}

}  // namespace zbgst
