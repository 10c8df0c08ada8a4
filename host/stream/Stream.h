// The graph and its run, frame by frame: PCM source -> encoder -> lossy link -> decoder ->
// PCM sink, built from the library's modules and the host's own faces (a chain); the lossless
// reference chain, encoder connected straight to decoder; and the pipeline that streams every
// chain in lockstep and hands out each frame of all of them once it is final.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/base/StreamFrame.h"
#include "host/library/HostFaces.h"
#include "host/library/ZbLibrary.h"
#include "host/link/LossyLink.h"
#include "receive/Receiver.h"

namespace zbhost {

inline constexpr uint8_t kFrameFlags = AV_CLASS_MEDIA;  // class 2, partner distance 1
// Once frame k is pushed, frame k - 2 - K is final with a parity delay of K: the latest frames
// that can still rebuild it, data k - 1 - K and parity k - 1 (sent beside data k - 1), have come
// through, and the link holds back at most frame k's.
inline constexpr int32_t FinalLagFrames(int32_t parityDelay) { return zbreceive::kHoldFrames + parityDelay; }

using zbreceive::FrameOutcome;
// What the receive path counted over the whole stream.
using SinkCounters = zbreceive::ReceiveCounters;

// A final frame as a chain hands it out: valid until the next call into the chain.
struct FinalFrame {
  const int16_t* samples = nullptr;
  FrameOutcome outcome = FrameOutcome::Lost;
  bool parityUsed = false;  // a rebuild came from the parity frame of this number
};

struct FrameLayout {
  int32_t rate = kDefaultRate;
  int32_t frameSamples = 0;  // samples per 20 ms frame
  int32_t frameCount = 0;    // frames that carry the whole input, the last one zero-padded

  static FrameLayout For(int32_t rate, size_t inputSamples);
  double Seconds() const { return FrameSeconds(frameCount); }
};

// The encoder's modes by their names on the command line and in the reports.
struct EncoderModeName {
  ZbEncoderMode mode;
  const char* name;
};
inline constexpr EncoderModeName kEncoderModes[] = {
    {ZB_ENCODER_SPECIFIED, "specified"},
    {ZB_ENCODER_CARRIED, "carried"},
    {ZB_ENCODER_SEARCH, "search"},
    {ZB_ENCODER_SEARCH_DEEP, "search-deep"}};
const char* NameOf(ZbEncoderMode mode);
std::optional<ZbEncoderMode> EncoderModeNamed(const std::string& name);

struct StreamSettings {
  bool parity = true;
  bool conceal = false;
  ZbEncoderMode encoder = ZB_ENCODER_SPECIFIED;
  LinkSettings link;
};

// What one chain counted over the whole stream.
struct StreamResult {
  LinkCounters link;
  SinkCounters sink;
  int64_t refusedByEncoder = 0;  // PCM frames the encoder refused
  int64_t parityDelivered = 0;   // distinct parity frames that reached the decoder
  int64_t parityUsed = 0;        // of those, the ones a rebuild came from
  int64_t repaired = 0;          // frames whose data was dropped, rebuilt from parity
  int64_t rebuiltAhead = 0;      // frames rebuilt from parity before their own late data came
};

// One frame of one chain, final: its samples and what the link did to its frames.
struct ChainFrame {
  FinalFrame frame;
  FramePairFate fate;
};

class Chain {
 public:
  // A lossy chain when `lossy` is given, else the lossless reference; its encoder in `mode`.
  Chain(const ZbLibrary& library, int32_t frameSamples, ZbEncoderMode mode,
        const StreamSettings* lossy);
  ~Chain();
  Chain(const Chain&) = delete;
  Chain& operator=(const Chain&) = delete;

  // Pushes frame `index` through the chain; then time has reached it at the receiver.
  void Push(int32_t index, int16_t* pcm);
  // Delivers what the link still holds back, at the end of the stream.
  void Flush();
  // The oldest frame not yet final, made final; valid until the next call.
  ChainFrame Finalize();
  const StreamResult& result() const { return m_result; }

 private:
  // The sink face at the end of the link (or of the encoder): every frame it is handed goes
  // to the receive path as a packet.
  class PacketInput : public HostSinkFace {
   public:
    explicit PacketInput(zbreceive::Receiver& receiver) : m_receiver(receiver) {}
    bool AcceptsType(uint16_t type) override;
    bool HandleFrame(AvSourceFace* from, AvFrame* frame) override;

   private:
    zbreceive::Receiver& m_receiver;
  };

  int32_t m_nFrameSamples;
  ModuleHandle m_encoder;
  HostSourceFace m_source{AV_TYPE_PCM};
  std::unique_ptr<LossyLink> m_link;
  zbreceive::Receiver m_receiver;
  PacketInput m_input{m_receiver};
  zbreceive::OutFrame m_final;  // the frame handed out last
  StreamResult m_result;
};

// One frame of every chain, final, with the input it came from. `length` counts the samples
// that belong to the input: the last frame may be zero-padded past it.
struct FrameView {
  int32_t index = 0;
  size_t length = 0;
  const int16_t* input = nullptr;
  std::vector<ChainFrame> columns;     // one per lossy chain, in the order given
  std::vector<const int16_t*> lossless;  // per column: the lossless decode, same encoder mode
};
using FrameFn = std::function<void(const FrameView&)>;

class StreamPipeline {
 public:
  // One lossy chain per entry of `columns`, and a lossless reference per encoder mode among
  // them; `onFrame` gets each frame once it is final in all of them, in order.
  StreamPipeline(const ZbLibrary& library, int32_t rate, const std::vector<StreamSettings>& columns,
                 FrameFn onFrame);

  // Input samples at the stream rate, any number at a time.
  void Push(const int16_t* pcm, size_t count);
  // Pads and pushes the last frame, and makes every frame final.
  void Finish();

  FrameLayout layout() const;  // frameCount: the frames pushed so far
  int64_t samples() const { return m_nSamples; }
  const StreamResult& column(size_t index) const { return m_columns[index]->result(); }
  double librarySeconds() const { return m_librarySeconds; }    // every chain together
  double losslessSeconds() const { return m_losslessSeconds; }  // the first reference alone

 private:
  void PushFrame();
  void FinalizeOldest(size_t length);
  std::vector<int16_t>& InputOf(int64_t frame) {
    return m_inputs[static_cast<size_t>(frame % (m_nFinalLag + 1))];
  }

  int32_t m_nRate;
  int32_t m_nFrameSamples;
  int32_t m_nFinalLag;  // frames pushed after a frame before it is final in every chain
  FrameFn m_onFrame;
  std::vector<std::unique_ptr<Chain>> m_columns;
  std::vector<std::unique_ptr<Chain>> m_lossless;  // one per encoder mode, first column's first
  std::vector<size_t> m_losslessOf;                 // per column: its reference in m_lossless
  std::vector<const int16_t*> m_references;         // each reference's frame being handed out
  std::vector<std::vector<int16_t>> m_inputs;  // the frames not yet final, by frame number
  std::vector<int16_t> m_lent;                 // the copy of a frame lent to one chain
  size_t m_nFill = 0;                          // samples in the frame being gathered
  int64_t m_nSamples = 0;
  int64_t m_nPushed = 0;     // frames pushed
  int64_t m_nFinalized = 0;  // frames handed out
  FrameView m_view;
  double m_librarySeconds = 0;
  double m_losslessSeconds = 0;
};

}  // namespace zbhost
