// Module lifetime and the collecting sink face.
#include "receive/LibraryModule.h"

#include <stdexcept>
#include <string>
#include <utility>

namespace zbreceive {

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
    if (frame == nullptr || frame->info == nullptr) return false;
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

LibraryModule::LibraryModule(const ZbExports& exports, const char* interfaceName)
    : m_fnDestroy(exports.destroyInstance), m_pCollector(std::make_unique<Collector>()) {
  m_pObject = exports.createInstance(interfaceName);
  if (m_pObject == nullptr) {
    throw std::runtime_error(std::string("the zbadpcm library could not create ") + interfaceName);
  }
  SourceFaceOf(m_pObject)->AddOutput(m_pCollector.get());
}

LibraryModule::~LibraryModule() { m_fnDestroy(m_pObject); }

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

}  // namespace zbreceive
