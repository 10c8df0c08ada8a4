// The whole chain for one 20 ms frame: PCM into the encoder module, its ADPCM and parity
// frames into the decoder module, the decoded PCM into a host sink, every buffer from a
// host allocator, with the modules made and wired through the exported functions and the
// faces. The transcription's chain does the same work written plainly: a mutex per
// module, the line-by-line coder, byte loops. Both make the decoder's debugger-output
// calls; these are counted and not sent (their own cost is a case of its own).
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "Include/QV_Interface/zbav.h"
#include "QV_Base/Src/Platform.h"
#include "QV_Base/Src/QV_DebugTrace.h"
#include "QV_Base/Src/QV_Locker.h"
#include "bench/BenchCases.h"
#include "codec/AdpcmModuleLayout.h"
#include "exports/zbexports.h"
#include "exports/zbstream.h"
#include "reference/AdpcmReference.h"
#include "reference/AdpcmSignals.h"

namespace zbbench {

namespace {

constexpr uint32_t kFramePcmBytes = kFrameBlocks * kAdpcmPcmBytesPerBlock;
constexpr int32_t kFrameSamples = static_cast<int32_t>(kFramePcmBytes / 2);
constexpr uint32_t kSeed = 20240611;

class MallocAllocator : public IAvMemAlloc {
 public:
  void* Alloc(uint32_t size) override { return std::malloc(size); }
  void Free(void* ptr) override { std::free(ptr); }
};

// Keeps a copy of the last delivered frame, as a host that plays it out would.
struct LastFrame {
  uint8_t bytes[kFramePcmBytes] = {};
  uint32_t len = 0;
  int64_t frames = 0;
  void Keep(const uint8_t* data, uint32_t length) {
    len = length < kFramePcmBytes ? length : kFramePcmBytes;
    std::memcpy(bytes, data, len);
    ++frames;
  }
};

class HostSink : public AvSink {
 public:
  void* DeletingDestructor(unsigned int flags) override { return DestroyModule(this, flags); }
  bool AcceptsType(uint16_t type) override { return type == AV_TYPE_PCM; }
  bool HandleFrame(AvSourceFace*, AvFrame* frame) override {
    last.Keep(frame->data, frame->len);
    return true;
  }
  LastFrame last;
};

void* volatile g_lastBuffer = nullptr;

void CountCall(const char*, void* context) { ++*static_cast<int64_t*>(context); }

// The PCM frames the chains are fed, in turn.
struct Input {
  std::vector<uint8_t> pcm = adpcm_signals::Speech(kFrameSamples * 50, kSeed);
  size_t offset = 0;
  const uint8_t* Next() {
    const uint8_t* frame = pcm.data() + offset;
    offset = (offset + kFramePcmBytes) % pcm.size();
    return frame;
  }
};

// The library's chain, made through the exported functions.
class LibraryChain {
 public:
  LibraryChain() {
    zbInitialize();
    m_child = static_cast<IZBAvChildModule*>(zbCreateInstance(ZB_NAME_CHILD_MODULE));
    m_child->SetMemAllocator(&m_allocator);
    m_encoder = zbCreateInstance(ZB_NAME_ENCODER);
    m_decoder = zbCreateInstance(ZB_NAME_DECODER);
    m_sink = new HostSink();
    SourceFaceOf(m_encoder)->AddOutput(SinkFaceOf(m_decoder));
    SourceFaceOf(m_decoder)->AddOutput(m_sink);
    m_info.flags = AV_CLASS_MEDIA;
  }
  ~LibraryChain() {
    zbDestroyInstance(m_encoder);
    zbDestroyInstance(m_decoder);
    m_sink->DeletingDestructor(kDeleteFreesMemory);
    m_child->SetMemAllocator(nullptr);
    zbDestroyInstance(m_child);
    zbUninitialize();
  }
  LibraryChain(const LibraryChain&) = delete;
  LibraryChain& operator=(const LibraryChain&) = delete;

  void Frame(const uint8_t* pcm) {
    ++m_info.seq;
    m_info.timestamp += ZB_FRAME_MS;
    AvFrame frame{AV_TYPE_PCM, 0, AV_KIND_AUDIO, &m_info, kFramePcmBytes, const_cast<uint8_t*>(pcm)};
    SinkFaceOf(m_encoder)->HandleFrame(nullptr, &frame);
  }
  const LastFrame& Last() const { return m_sink->last; }

 private:
  MallocAllocator m_allocator;
  IZBAvChildModule* m_child = nullptr;
  void* m_encoder = nullptr;
  void* m_decoder = nullptr;
  HostSink* m_sink = nullptr;
  AvFrameInfo m_info{};
};

// The transcription's chain: the same steps, written plainly.
class PlainDecoder {
 public:
  void HandleFrame(bool parity, int32_t seq, const uint8_t* data, uint32_t len) {
    std::lock_guard<std::mutex> lock(m_lock);
    zbbase::DebugTrace("Adpcm HandleFrame\r\n");
    const bool seenN = Seen(seq);
    const bool seenP = Seen(seq - 1);
    if (seenN && seenP) return;
    if (!parity && !seenN) {
      std::memcpy(m_lastData, data, len);
      m_lastDataSeq = seq;
      for (int i = 0; i + 1 < kHistory; ++i) m_history[i] = m_history[i + 1];
      m_history[kHistory - 1] = seq;
      Render(data, len);
    } else if (parity) {
      std::memcpy(m_lastParity, data, len);
      m_lastParitySeq = seq;
    }
  }
  LastFrame last;

 private:
  static constexpr int kHistory = 10;
  bool Seen(int32_t seq) const {
    for (int32_t s : m_history) {
      if (s == seq) return true;
    }
    return false;
  }
  void Render(const uint8_t* data, uint32_t len) {
    zbbase::DebugTrace("Render Adpcm Frame\r\n");
    auto* pcm = static_cast<uint8_t*>(std::malloc(3200));
    uint32_t total = 0;
    for (uint32_t offset = 0; offset + kAdpcmBlockBytes <= len; offset += kAdpcmBlockBytes) {
      AdpcmCodecState state{1, 0, 0, {}};
      int32_t written = 0;
      adpcm_reference::DecodeBlock(state, pcm + total, written, data + offset, kAdpcmBlockBytes);
      total += static_cast<uint32_t>(written);
    }
    last.Keep(pcm, total);
    std::free(pcm);
  }
  std::mutex m_lock;
  int32_t m_history[kHistory] = {};
  uint8_t m_lastData[512] = {};
  int32_t m_lastDataSeq = 0;
  uint8_t m_lastParity[512] = {};
  int32_t m_lastParitySeq = 0;
};

class PlainEncoder {
 public:
  explicit PlainEncoder(PlainDecoder* output) : m_output(output) {}
  void Frame(const uint8_t* pcm) {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_seq;
    const uint32_t blocks = kFramePcmBytes / kAdpcmPcmBytesPerBlock;
    auto* buffer = static_cast<uint8_t*>(std::malloc(blocks * kAdpcmBlockBytes + 10));
    uint32_t total = 0;
    for (uint32_t b = 0; b < blocks; ++b) {
      AdpcmCodecState state{1, kAdpcmPcmBytesPerBlock, 0, {}};
      total += static_cast<uint32_t>(
          adpcm_reference::EncodeBlock(state, buffer + total, pcm + b * kAdpcmPcmBytesPerBlock));
    }
    m_output->HandleFrame(false, m_seq, buffer, total);
    if (m_prevLen != 0) {
      for (uint32_t i = 0; i < m_prevLen && i < total; ++i) m_prev[i] = static_cast<uint8_t>(m_prev[i] ^ buffer[i]);
      m_output->HandleFrame(true, m_seq, m_prev, m_prevLen);
    }
    std::memcpy(m_prev, buffer, total);
    m_prevLen = total;
    std::free(buffer);
  }

 private:
  std::mutex m_lock;
  PlainDecoder* m_output;
  int32_t m_seq = 0;
  uint8_t m_prev[2000] = {};
  uint32_t m_prevLen = 0;
};

struct Chains {
  Chains() {
    zbplat::SetDebugListener(CountCall, &calls);
    zbplat::HoldBackDebuggerOutput(true);
  }
  ~Chains() {
    zbplat::HoldBackDebuggerOutput(false);
    zbplat::SetDebugListener(nullptr, nullptr);
  }
  Chains(const Chains&) = delete;
  Chains& operator=(const Chains&) = delete;
  int64_t calls = 0;
  Input input;
  LibraryChain library;
  PlainDecoder plainDecoder;
  PlainEncoder plainEncoder{&plainDecoder};
};

}  // namespace

std::vector<Case> ChainCases() {
  auto chains = std::make_shared<Chains>();
  std::vector<Case> cases;

  Case reference;
  reference.name = "Chain/reference/1";
  reference.frames = 1;
  reference.samples = kFrameSamples;
  reference.run = [chains] { chains->plainEncoder.Frame(chains->input.Next()); };
  reference.check = [chains] {
    chains->plainEncoder.Frame(chains->input.Next());
    return chains->plainDecoder.last.len == kFramePcmBytes;
  };
  cases.push_back(reference);

  // The library's chain must deliver what the transcription's delivers for the same
  // frames, and make as many debugger-output calls.
  Case library;
  library.name = "Chain/library/1";
  library.baseline = reference.name;
  library.frames = 1;
  library.samples = kFrameSamples;
  library.run = [chains] { chains->library.Frame(chains->input.Next()); };
  library.check = [chains] {
    for (int i = 0; i < 3; ++i) {
      const uint8_t* pcm = chains->input.Next();
      const int64_t before = chains->calls;
      chains->plainEncoder.Frame(pcm);
      const int64_t plainCalls = chains->calls - before;
      chains->library.Frame(pcm);
      const LastFrame& a = chains->library.Last();
      const LastFrame& b = chains->plainDecoder.last;
      // The first frame of a chain goes without a parity frame: from the second on, both chains are past it.
      const bool sameCalls = i == 0 || chains->calls - before == 2 * plainCalls;
      if (!sameCalls || a.len != b.len || std::memcmp(a.bytes, b.bytes, a.len) != 0) {
        return false;
      }
    }
    return true;
  };
  library.note = [chains] {
    const int64_t before = chains->calls;
    chains->library.Frame(chains->input.Next());
    return std::to_string(chains->calls - before) + " debugger-output calls per frame, counted, not sent";
  };
  cases.push_back(library);

  // What the platform charges the library's chain per frame besides the debugger output:
  // one lock taken and released (a frame takes six: each module's state lock, and its
  // output list's lock per frame delivered) and one buffer from the host allocator and
  // back (a frame takes two).
  auto locker = std::make_shared<zbbase::Locker>();
  Case lock;
  lock.name = "Lock/pair/1";
  lock.run = [locker] { zbbase::AutoLock hold(locker.get()); };
  lock.check = [] { return true; };
  cases.push_back(lock);

  auto allocator = std::make_shared<MallocAllocator>();
  Case buffer;
  buffer.name = "HostAlloc/pair/1";
  buffer.run = [allocator] {
    // Through the interface, the address kept where the compiler cannot see it unused,
    // so that the pair is not folded away.
    IAvMemAlloc* host = allocator.get();
    void* frame = host->Alloc(kFramePcmBytes);
    g_lastBuffer = frame;
    host->Free(frame);
  };
  buffer.check = [] { return true; };
  cases.push_back(buffer);

  // One debugger-output call as the decoder makes it, sent to the debugger.
  Case sent;
  sent.name = "DebugOutput/sent/1";
  sent.run = [] { zbbase::DebugTrace("Render Adpcm Frame\r\n"); };
  sent.check = [] { return true; };
  sent.before = [] { zbplat::HoldBackDebuggerOutput(false); };
  sent.after = [] { zbplat::HoldBackDebuggerOutput(true); };
  cases.push_back(sent);
  return cases;
}

}  // namespace zbbench
