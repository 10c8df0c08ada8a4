// Test modules for the framework tests: filters built on the encoder and decoder bases
// that record every face call they receive into a shared CallLog (operation, peer,
// order and, for connection calls, the answer), with hooks through which a test acts
// from inside a call, and accessors to the protected port lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Include/QV_Interface/zbav.h"

namespace zbtest {

// The calls that test modules receive, in order, as "Module.Operation(Peer)" texts,
// followed by "=answer" for operations whose answer the test checks.
class CallLog {
 public:
  // Names a face pointer so that entries show the module name instead of an address.
  void Name(const void* face, const std::string& name);
  // Appends an entry and returns its index, so that the answer can be added later.
  size_t Record(const std::string& module, const char* operation, const void* peer);
  void SetAnswer(size_t index, const std::string& answer);
  std::vector<std::string> Entries() const;
  void Clear();

 private:
  std::string NameOf(const void* face) const;  // called with m_mutex held

  mutable std::mutex m_mutex;
  std::map<const void*, std::string> m_names;
  std::vector<std::string> m_entries;
};

// Actions a test runs from inside a module's calls. Set before the module is shared
// between threads; each defaults to doing nothing.
struct ModuleHooks {
  // Runs first in AddOutput, RemoveOutput, AddInput and RemoveInput.
  std::function<void()> onConnectionCall;
  // Runs inside HandleFrame; its answer is HandleFrame's answer. Unset: accept.
  std::function<bool(AvSourceFace* from, AvFrame* frame)> onFrame;
  // Runs inside RemoveInput after the base operation has finished.
  std::function<void(AvSourceFace* pInput)> afterRemoveInput;
};

// Records every face call it receives and forwards connection calls to the base.
// With a null log nothing is recorded and no lock of the test is taken, so that
// concurrency tests see only the synchronisation of the framework itself.
template <typename Base>
class RecordingModule : public Base {
 public:
  RecordingModule(CallLog* log, std::string name, int* destroyed = nullptr)
      : m_log(log), m_name(std::move(name)), m_destroyed(destroyed) {
    if (m_log != nullptr) {
      m_log->Name(source(), m_name);
      m_log->Name(sink(), m_name);
    }
  }
  ~RecordingModule() {
    Record("Destroyed", nullptr);
    if (m_destroyed != nullptr) ++*m_destroyed;
  }
  RecordingModule(const RecordingModule&) = delete;
  RecordingModule& operator=(const RecordingModule&) = delete;

  AvSourceFace* source() { return static_cast<AvSourceFace*>(this); }
  AvSinkFace* sink() { return static_cast<AvSinkFace*>(this); }

  bool AddOutput(AvSinkFace* pOutput) override {
    if (hooks.onConnectionCall) hooks.onConnectionCall();
    const size_t entry = Record("AddOutput", pOutput);
    return Answer(entry, Base::AddOutput(pOutput));
  }
  bool RemoveOutput(AvSinkFace* pOutput) override {
    if (hooks.onConnectionCall) hooks.onConnectionCall();
    const size_t entry = Record("RemoveOutput", pOutput);
    return Answer(entry, Base::RemoveOutput(pOutput));
  }
  int32_t CountActiveOutputs() override {
    const size_t entry = Record("CountActiveOutputs", nullptr);
    const int32_t count = Base::CountActiveOutputs();
    if (m_log != nullptr) m_log->SetAnswer(entry, std::to_string(count));
    return count;
  }
  bool ResetStream() override {
    const size_t entry = Record("ResetStream", nullptr);
    return Answer(entry, Base::ResetStream());
  }
  bool IsActive(AvSourceFace* from) override {
    const size_t entry = Record("IsActive", from);
    return Answer(entry, Base::IsActive(from));
  }
  bool AddInput(AvSourceFace* pInput) override {
    if (hooks.onConnectionCall) hooks.onConnectionCall();
    const size_t entry = Record("AddInput", pInput);
    return Answer(entry, Base::AddInput(pInput));
  }
  bool RemoveInput(AvSourceFace* pInput) override {
    if (hooks.onConnectionCall) hooks.onConnectionCall();
    const size_t entry = Record("RemoveInput", pInput);
    const bool removed = Answer(entry, Base::RemoveInput(pInput));
    if (hooks.afterRemoveInput) hooks.afterRemoveInput(pInput);
    return removed;
  }
  bool HandleFrame(AvSourceFace* from, AvFrame* frame) override {
    Record("HandleFrame", from);
    if (m_keepFrames) {
      std::lock_guard<std::mutex> lock(m_framesMutex);
      m_frames.push_back(frame);
    }
    return hooks.onFrame ? hooks.onFrame(from, frame) : true;
  }

  // Snapshots of the port lists, taken under their locks.
  std::vector<AvSinkFace*> Outputs() { return Snapshot(this->m_lstOutputs); }
  std::vector<AvSourceFace*> Inputs() { return Snapshot(this->m_lstInputs); }
  int32_t OutputBlocks() {
    zbbase::AutoLock lock(&this->m_lstOutputs);
    return this->m_lstOutputs.BlockCount();
  }
  int32_t InputBlocks() {
    zbbase::AutoLock lock(&this->m_lstInputs);
    return this->m_lstInputs.BlockCount();
  }
  // Stores a null entry, which the connection operations never do themselves.
  void AppendNullOutput() {
    zbbase::AutoLock lock(&this->m_lstOutputs);
    this->m_lstOutputs.AddTail(nullptr);
  }
  zbbase::Locker& OutputLock() { return this->m_lstOutputs; }
  void SetActive(bool active) { this->m_bActive = active; }
  // Frames received by HandleFrame, in order; off for modules that see many frames.
  void KeepFrames(bool keep) { m_keepFrames = keep; }
  std::vector<AvFrame*> Frames() {
    std::lock_guard<std::mutex> lock(m_framesMutex);
    return m_frames;
  }

  ModuleHooks hooks;

 private:
  size_t Record(const char* operation, const void* peer) {
    return m_log != nullptr ? m_log->Record(m_name, operation, peer) : 0;
  }
  bool Answer(size_t entry, bool answer) {
    if (m_log != nullptr) m_log->SetAnswer(entry, answer ? "true" : "false");
    return answer;
  }
  template <typename T>
  static std::vector<T*> Snapshot(zbbase::LockedPtrList<T>& list) {
    zbbase::AutoLock lock(&list);
    std::vector<T*> values;
    for (auto* node = list.head(); node != nullptr; node = node->next) values.push_back(node->value);
    return values;
  }

  CallLog* m_log;
  std::string m_name;
  int* m_destroyed;
  bool m_keepFrames = true;
  std::mutex m_framesMutex;
  std::vector<AvFrame*> m_frames;  // guarded by m_framesMutex
};

// A filter on the encoder base: emits ADPCM, takes PCM through the base's AcceptsType.
class TestEncoder final : public RecordingModule<AvEncoderBase> {
 public:
  using RecordingModule::RecordingModule;
  void* DeletingDestructor(unsigned int flags) override { return DestroyModule(this, flags); }
  uint16_t GetOutputType() override { return AV_TYPE_ADPCM; }
  bool Redundancy() const { return m_bRedundancy; }
};

// A filter on the decoder base: emits PCM through the base's GetOutputType, takes ADPCM.
class TestDecoder final : public RecordingModule<AvDecoderBase> {
 public:
  using RecordingModule::RecordingModule;
  void* DeletingDestructor(unsigned int flags) override { return DestroyModule(this, flags); }
  bool AcceptsType(uint16_t type) override {
    return type == AV_TYPE_ADPCM || type == AV_TYPE_ADPCM_PARITY;
  }
};

// A frame with its own info record and a payload of `len` bytes that encode `seq`.
struct TestFrame {
  explicit TestFrame(int32_t seq, uint32_t len = kPayloadBytes);
  // True when `frame` carries an intact payload of the pattern that TestFrame writes.
  static bool Intact(const AvFrame* frame);

  static constexpr uint32_t kPayloadBytes = 16;
  AvFrameInfo info{};
  std::vector<uint8_t> payload;
  AvFrame frame{};
};

}  // namespace zbtest
