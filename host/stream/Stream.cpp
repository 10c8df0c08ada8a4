// Building, running and taking down the frame graphs.
#include "host/stream/Stream.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <stdexcept>

#include <fmt/format.h>

#include "host/base/HostError.h"

namespace zbhost {

namespace {

using Clock = std::chrono::steady_clock;

// Frame numbers whose timestamps fit the frame record.
constexpr int64_t kMaxFrames = std::numeric_limits<int32_t>::max() / kFrameMs;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

const char* NameOf(ZbEncoderMode mode) {
  for (const EncoderModeName& entry : kEncoderModes) {
    if (entry.mode == mode) return entry.name;
  }
  return "";
}

std::optional<ZbEncoderMode> EncoderModeNamed(const std::string& name) {
  for (const EncoderModeName& entry : kEncoderModes) {
    if (name == entry.name) return entry.mode;
  }
  return std::nullopt;
}

FrameLayout FrameLayout::For(int32_t rate, size_t inputSamples) {
  FrameLayout layout;
  layout.rate = rate;
  layout.frameSamples = rate * kFrameMs / kMsPerSecond;
  layout.frameCount = static_cast<int32_t>((inputSamples + layout.frameSamples - 1) / layout.frameSamples);
  return layout;
}

namespace {

zbreceive::ReceiverSettings ReceiverSettingsFor(int32_t frameSamples, bool conceal, int32_t parityDelay) {
  zbreceive::ReceiverSettings settings;
  settings.sampleRate = frameSamples * kMsPerSecond / kFrameMs;
  settings.frameSamples = frameSamples;
  settings.codedBytes = zbreceive::CodedBytesPerFrame(frameSamples);
  settings.conceal = conceal;
  settings.parityDelay = parityDelay;
  return settings;
}

// The lag after which a frame is final in every chain: the longest parity delay's.
int32_t LongestLag(const std::vector<StreamSettings>& columns) {
  int32_t delay = 0;
  for (const StreamSettings& settings : columns) delay = std::max(delay, settings.link.parityDelay);
  return FinalLagFrames(delay);
}

}  // namespace

bool Chain::PacketInput::AcceptsType(uint16_t type) {
  return type == AV_TYPE_ADPCM || type == AV_TYPE_ADPCM_PARITY;
}

bool Chain::PacketInput::HandleFrame(AvSourceFace*, AvFrame* frame) {
  if (frame == nullptr || frame->info == nullptr || !AcceptsType(frame->type)) return false;
  zbreceive::Packet packet;
  packet.number = static_cast<uint32_t>(frame->info->seq);
  packet.parity = frame->type == AV_TYPE_ADPCM_PARITY;
  packet.data = frame->data;
  packet.size = frame->len;
  m_receiver.Push(packet);
  return true;
}

Chain::Chain(const ZbLibrary& library, int32_t frameSamples, ZbEncoderMode mode,
             const StreamSettings* lossy)
    : m_nFrameSamples(frameSamples),
      m_encoder(library.Create(ZB_NAME_ENCODER)),
      m_receiver(library.exports(),
                 ReceiverSettingsFor(frameSamples, lossy != nullptr && lossy->conceal,
                                     lossy != nullptr ? lossy->link.parityDelay : 0)) {
  m_encoder.ChooseEncoderMode(mode);
  // The stream starts at frame 0, whether its packets come or not.
  m_receiver.Anchor(0);
  if (lossy == nullptr) {
    m_source.AddOutput(m_encoder.Sink());
    m_encoder.Source()->AddOutput(&m_input);
    return;
  }
  m_encoder.EnableRedundancy(lossy->parity);
  m_link = std::make_unique<LossyLink>(lossy->link);
  // Connected from both ends on purpose: either side's call records the pair on both.
  m_source.AddOutput(m_encoder.Sink());
  m_encoder.Source()->AddOutput(m_link->Input());
  m_input.AddInput(m_link->Output());
}

Chain::~Chain() {
  // Our faces leave the graph before the modules go, so nothing points at a dead object.
  m_source.DetachAll();
  if (m_link) {
    m_link->Input()->DetachAll();
    m_link->Output()->DetachAll();
  }
  m_input.DetachAll();
  m_encoder.Reset();
}

void Chain::Push(int32_t index, int16_t* pcm) {
  AvFrameInfo info{};
  info.seq = index;
  info.timestamp = index * kFrameMs;
  info.flags = kFrameFlags;
  AvFrame frame{};
  frame.type = AV_TYPE_PCM;
  frame.kind = AV_KIND_AUDIO;
  frame.info = &info;
  frame.len = static_cast<uint32_t>(m_nFrameSamples) * sizeof(int16_t);
  frame.data = reinterpret_cast<uint8_t*>(pcm);
  if (m_source.Deliver(&frame) == 0) ++m_result.refusedByEncoder;
  m_receiver.Advance(index);
}

void Chain::Flush() {
  if (m_link) m_link->Flush();
  m_receiver.Drain();
}

ChainFrame Chain::Finalize() {
  ChainFrame out;
  // The pipeline asks for a frame only once time has passed it, so one is always waiting.
  if (!m_receiver.Next(m_final)) throw std::logic_error("a chain was asked for a frame not yet final");
  out.frame.samples = m_final.samples.data();
  out.frame.outcome = m_final.outcome;
  out.frame.parityUsed = m_final.parityUsed;
  m_result.sink = m_receiver.counters();
  if (!m_link) return out;
  out.fate = m_link->TakeFate(static_cast<int32_t>(m_final.index));
  if (out.fate.parity.deliveries > 0) {
    ++m_result.parityDelivered;
    m_result.parityUsed += out.frame.parityUsed;
  }
  if (out.frame.outcome == FrameOutcome::Rebuilt) {
    ++(out.fate.data.dropped ? m_result.repaired : m_result.rebuiltAhead);
  }
  m_result.link = m_link->counters();
  return out;
}

StreamPipeline::StreamPipeline(const ZbLibrary& library, int32_t rate,
                               const std::vector<StreamSettings>& columns, FrameFn onFrame)
    : m_nRate(rate),
      m_nFrameSamples(rate * kFrameMs / kMsPerSecond),
      m_nFinalLag(LongestLag(columns)),
      m_onFrame(std::move(onFrame)),
      m_inputs(static_cast<size_t>(m_nFinalLag) + 1, std::vector<int16_t>(static_cast<size_t>(m_nFrameSamples), 0)) {
  std::vector<ZbEncoderMode> modes;
  for (const StreamSettings& settings : columns) {
    m_columns.push_back(std::make_unique<Chain>(library, m_nFrameSamples, settings.encoder, &settings));
    const auto known = std::find(modes.begin(), modes.end(), settings.encoder);
    m_losslessOf.push_back(static_cast<size_t>(known - modes.begin()));
    if (known != modes.end()) continue;
    modes.push_back(settings.encoder);
    m_lossless.push_back(std::make_unique<Chain>(library, m_nFrameSamples, settings.encoder, nullptr));
  }
  m_view.columns.resize(columns.size());
  m_view.lossless.resize(columns.size());
}

FrameLayout StreamPipeline::layout() const {
  FrameLayout layout = FrameLayout::For(m_nRate, 0);
  layout.frameCount = static_cast<int32_t>(m_nPushed);
  return layout;
}

void StreamPipeline::Push(const int16_t* pcm, size_t count) {
  while (count > 0) {
    std::vector<int16_t>& frame = InputOf(m_nPushed);
    const size_t take = std::min(count, frame.size() - m_nFill);
    std::copy_n(pcm, take, frame.begin() + static_cast<ptrdiff_t>(m_nFill));
    m_nFill += take;
    m_nSamples += static_cast<int64_t>(take);
    pcm += take;
    count -= take;
    if (m_nFill == frame.size()) PushFrame();
  }
}

void StreamPipeline::PushFrame() {
  if (m_nPushed >= kMaxFrames) {
    throw HostError(kExitInput, fmt::format("the input is longer than the {} frames a stream can "
                                            "number",
                                            kMaxFrames));
  }
  std::vector<int16_t>& frame = InputOf(m_nPushed);
  std::fill(frame.begin() + static_cast<ptrdiff_t>(m_nFill), frame.end(), 0);
  m_nFill = 0;
  const int32_t index = static_cast<int32_t>(m_nPushed);
  // Each chain gets its own copy: a module may not keep or change what it is lent, but one
  // that does must not reach the others.
  const Clock::time_point started = Clock::now();
  for (const std::unique_ptr<Chain>& chain : m_columns) {
    m_lent = frame;
    chain->Push(index, m_lent.data());
  }
  for (size_t i = 0; i < m_lossless.size(); ++i) {
    const Clock::time_point lossless = Clock::now();
    m_lent = frame;
    m_lossless[i]->Push(index, m_lent.data());
    if (i == 0) m_losslessSeconds += SecondsSince(lossless);
  }
  m_librarySeconds += SecondsSince(started);
  ++m_nPushed;
  if (m_nPushed > m_nFinalLag) FinalizeOldest(frame.size());
}

void StreamPipeline::FinalizeOldest(size_t length) {
  const Clock::time_point started = Clock::now();
  for (size_t column = 0; column < m_columns.size(); ++column) {
    m_view.columns[column] = m_columns[column]->Finalize();
  }
  m_references.clear();
  for (const std::unique_ptr<Chain>& chain : m_lossless) {
    m_references.push_back(chain->Finalize().frame.samples);
  }
  for (size_t column = 0; column < m_columns.size(); ++column) {
    m_view.lossless[column] = m_references[m_losslessOf[column]];
  }
  m_librarySeconds += SecondsSince(started);
  m_view.index = static_cast<int32_t>(m_nFinalized);
  m_view.length = length;
  m_view.input = InputOf(m_nFinalized).data();
  ++m_nFinalized;
  m_onFrame(m_view);
}

void StreamPipeline::Finish() {
  const size_t lastLength = m_nFill;
  if (m_nFill > 0) PushFrame();
  for (const std::unique_ptr<Chain>& chain : m_columns) chain->Flush();
  while (m_nFinalized < m_nPushed) {
    const bool last = m_nFinalized + 1 == m_nPushed && lastLength > 0;
    FinalizeOldest(last ? lastLength : static_cast<size_t>(m_nFrameSamples));
  }
}

}  // namespace zbhost
