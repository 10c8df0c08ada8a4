// A C++ host built against an installed package through pkg-config alone:
//   c++ -std=c++17 pkgconfig_consumer.cpp $(pkg-config --cflags --libs zbadpcm)
// Between encoder and decoder it loses one ADPCM frame; every frame must still come out,
// the lost one rebuilt from parity, and every frame buffer must go back to the allocator.
// Exit code 0 when all of that holds. It includes the C header too, which brings in the C++
// ones and checks, compiled as C++, that its faces agree with theirs.
#include <zbav_c.h>

#include <cstdio>
#include <cstdlib>
#include <set>

namespace {

constexpr int32_t kFrames = 8;
constexpr int32_t kLostSeq = 3;
constexpr uint32_t kPcmFrameBytes = 640;

class CountingAllocator final : public IAvMemAlloc {
 public:
  void* Alloc(uint32_t size) override {
    ++m_nLive;
    return std::malloc(size);
  }
  void Free(void* ptr) override {
    --m_nLive;
    std::free(ptr);
  }
  int live() const { return m_nLive; }

 private:
  int m_nLive = 0;
};

// A host sink with one input; a connection is recorded on both sides.
class OneInputSink : public AvSinkFace {
 public:
  void* DeletingDestructor(unsigned int) override { return this; }
  bool IsActive(AvSourceFace*) override { return true; }
  bool AddInput(AvSourceFace* pInput) override {
    if (m_pInput == pInput) return true;
    m_pInput = pInput;
    pInput->AddOutput(this);
    return true;
  }
  bool RemoveInput(AvSourceFace* pInput) override {
    if (pInput == nullptr || m_pInput != pInput) return false;
    m_pInput = nullptr;
    pInput->RemoveOutput(this);
    return true;
  }
  AvSourceFace* input() const { return m_pInput; }

 protected:
  ~OneInputSink() = default;

 private:
  AvSourceFace* m_pInput = nullptr;
};

// Loses the data frame kLostSeq and hands everything else to the decoder.
class LossyLink final : public OneInputSink {
 public:
  explicit LossyLink(AvSinkFace* decoder) : m_pDecoder(decoder) {}
  bool AcceptsType(uint16_t type) override { return type == AV_TYPE_ADPCM || type == AV_TYPE_ADPCM_PARITY; }
  bool HandleFrame(AvSourceFace*, AvFrame* frame) override {
    if (frame->type == AV_TYPE_ADPCM && frame->info->seq == kLostSeq) return true;
    return m_pDecoder->HandleFrame(nullptr, frame);
  }

 private:
  AvSinkFace* m_pDecoder;
};

// Notes the sequence number of every whole PCM frame.
class PcmCounter final : public OneInputSink {
 public:
  bool AcceptsType(uint16_t type) override { return type == AV_TYPE_PCM; }
  bool HandleFrame(AvSourceFace*, AvFrame* frame) override {
    if (frame->type == AV_TYPE_PCM && frame->len == kPcmFrameBytes) m_seqs.insert(frame->info->seq);
    return true;
  }
  size_t frames() const { return m_seqs.size(); }

 private:
  std::set<int32_t> m_seqs;
};

}  // namespace

int main() {
  CountingAllocator allocator;
  if (!zbInitialize()) return EXIT_FAILURE;
  static_cast<IZBAvChildModule*>(zbCreateInstance(ZB_NAME_CHILD_MODULE))->SetMemAllocator(&allocator);
  void* encoder = zbCreateInstance(ZB_NAME_ENCODER);
  void* decoder = zbCreateInstance(ZB_NAME_DECODER);
  if (encoder == nullptr || decoder == nullptr) return EXIT_FAILURE;

  LossyLink link(SinkFaceOf(decoder));
  PcmCounter counter;
  SourceFaceOf(encoder)->AddOutput(&link);
  SourceFaceOf(decoder)->AddOutput(&counter);
  for (int32_t seq = 0; seq < kFrames; ++seq) {
    uint8_t pcm[kPcmFrameBytes] = {};
    for (uint32_t i = 0; i < kPcmFrameBytes; i += 2) pcm[i + 1] = static_cast<uint8_t>((i + 64 * seq) & 0x3F);
    AvFrameInfo info = {seq, 20 * seq, AV_CLASS_MEDIA, {}};
    AvFrame frame = {AV_TYPE_PCM, 0, AV_KIND_AUDIO, &info, kPcmFrameBytes, pcm};
    SinkFaceOf(encoder)->HandleFrame(nullptr, &frame);
  }
  zbDestroyInstance(encoder);
  zbDestroyInstance(decoder);
  zbUninitialize();

  const bool ok = counter.frames() == static_cast<size_t>(kFrames) && allocator.live() == 0 &&
                  link.input() == nullptr && counter.input() == nullptr;
  std::printf("%zu of %d frames decoded with frame %d lost on the way, %d buffers left: %s\n",
              counter.frames(), kFrames, kLostSeq, allocator.live(), ok ? "ok" : "FAILED");
  return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}
