// Call log and test frames shared by the framework tests.
#include "tests/framework/RecordingModules.h"

namespace zbtest {

void CallLog::Name(const void* face, const std::string& name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_names[face] = name;
}

size_t CallLog::Record(const std::string& module, const char* operation, const void* peer) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_entries.push_back(module + "." + operation + "(" + NameOf(peer) + ")");
  return m_entries.size() - 1;
}

void CallLog::SetAnswer(size_t index, const std::string& answer) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_entries.at(index) += "=" + answer;
}

std::vector<std::string> CallLog::Entries() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_entries;
}

void CallLog::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_entries.clear();
}

std::string CallLog::NameOf(const void* face) const {
  if (face == nullptr) return "";
  const auto found = m_names.find(face);
  return found != m_names.end() ? found->second : "?";
}

namespace {

uint8_t PatternByte(int32_t seq, uint32_t index) {
  return static_cast<uint8_t>(static_cast<uint32_t>(seq) * 31u + index);
}

}  // namespace

TestFrame::TestFrame(int32_t seq, uint32_t len) : payload(len) {
  info.seq = seq;
  info.flags = AV_CLASS_MEDIA;
  for (uint32_t i = 0; i < len; ++i) payload[i] = PatternByte(seq, i);
  frame.type = AV_TYPE_ADPCM;
  frame.kind = AV_KIND_AUDIO;
  frame.info = &info;
  frame.len = len;
  frame.data = payload.data();
}

bool TestFrame::Intact(const AvFrame* frame) {
  if (frame == nullptr || frame->info == nullptr || frame->data == nullptr) return false;
  for (uint32_t i = 0; i < frame->len; ++i) {
    if (frame->data[i] != PatternByte(frame->info->seq, i)) return false;
  }
  return true;
}

}  // namespace zbtest
