// Building, running and taking down the frame graph.
#include "host/stream/Stream.h"

#include <algorithm>
#include <chrono>

namespace zbhost {

namespace {

// Feeds `input` frame by frame into `source`; returns the frames nobody took.
int64_t PushFrames(HostSourceFace& source, const std::vector<int16_t>& input,
                   const FrameLayout& layout, const ProgressFn& progress) {
  std::vector<int16_t> pcm(static_cast<size_t>(layout.frameSamples));
  int64_t refused = 0;
  for (int32_t index = 0; index < layout.frameCount; ++index) {
    const size_t first = static_cast<size_t>(index) * layout.frameSamples;
    const size_t count = std::min(pcm.size(), input.size() - first);
    std::fill(pcm.begin(), pcm.end(), 0);
    std::copy_n(input.begin() + static_cast<ptrdiff_t>(first), count, pcm.begin());

    AvFrameInfo info{};
    info.seq = index;
    info.timestamp = index * kFrameMs;
    info.flags = kFrameFlags;
    AvFrame frame{};
    frame.type = AV_TYPE_PCM;
    frame.kind = AV_KIND_AUDIO;
    frame.info = &info;
    frame.len = static_cast<uint32_t>(pcm.size() * sizeof(int16_t));
    frame.data = reinterpret_cast<uint8_t*>(pcm.data());
    if (source.Deliver(&frame) == 0) ++refused;
    if (progress) progress(index + 1, layout.frameCount);
  }
  return refused;
}

std::vector<int16_t> Trimmed(const std::vector<int16_t>& samples, size_t length) {
  return std::vector<int16_t>(samples.begin(), samples.begin() + static_cast<ptrdiff_t>(length));
}

}  // namespace

bool IsStreamRate(int32_t rate) {
  return std::find(std::begin(kStreamRates), std::end(kStreamRates), rate) != std::end(kStreamRates);
}

FrameLayout FrameLayout::For(int32_t rate, size_t inputSamples) {
  FrameLayout layout;
  layout.rate = rate;
  layout.frameSamples = rate * kFrameMs / kMsPerSecond;
  layout.frameCount = static_cast<int32_t>((inputSamples + layout.frameSamples - 1) / layout.frameSamples);
  return layout;
}

StreamResult RunLossyStream(const ZbLibrary& library, const std::vector<int16_t>& input,
                            int32_t rate, const StreamSettings& settings, const ProgressFn& progress) {
  const FrameLayout layout = FrameLayout::For(rate, input.size());
  ModuleHandle encoder = library.Create(ZB_NAME_ENCODER);
  ModuleHandle decoder = library.Create(ZB_NAME_DECODER);
  encoder.EnableRedundancy(settings.parity);

  HostSourceFace source(AV_TYPE_PCM);
  FrameOrigin origin;
  LossyLink link(settings.link, origin);
  PcmSink sink(layout.frameCount, layout.frameSamples, &origin);

  // Connected from both ends on purpose: either side's call records the pair on both.
  source.AddOutput(encoder.Sink());
  encoder.Source()->AddOutput(link.Input());
  decoder.Sink()->AddInput(link.Output());
  sink.AddInput(decoder.Source());

  StreamResult result;
  result.refusedByEncoder = PushFrames(source, input, layout, progress);
  link.Flush();

  // Our faces leave the graph before the modules go, so nothing points at a dead object.
  source.DetachAll();
  link.Input()->DetachAll();
  link.Output()->DetachAll();
  sink.DetachAll();
  encoder.Reset();
  decoder.Reset();

  sink.Finish(settings.conceal);
  result.link = link.counters();
  result.sink = sink.counters();
  result.outcomes = sink.outcomes();
  result.output = Trimmed(sink.samples(), input.size());
  return result;
}

LosslessResult RunLosslessStream(const ZbLibrary& library, const std::vector<int16_t>& input,
                                 int32_t rate) {
  const FrameLayout layout = FrameLayout::For(rate, input.size());
  ModuleHandle encoder = library.Create(ZB_NAME_ENCODER);
  ModuleHandle decoder = library.Create(ZB_NAME_DECODER);
  HostSourceFace source(AV_TYPE_PCM);
  PcmSink sink(layout.frameCount, layout.frameSamples, nullptr);

  source.AddOutput(encoder.Sink());
  encoder.Source()->AddOutput(decoder.Sink());
  decoder.Source()->AddOutput(&sink);
  LosslessResult result;
  const auto started = std::chrono::steady_clock::now();
  PushFrames(source, input, layout, nullptr);
  result.processingSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  source.DetachAll();
  encoder.Source()->RemoveOutput(decoder.Sink());
  sink.DetachAll();
  encoder.Reset();
  decoder.Reset();
  sink.Finish(false);
  result.output = Trimmed(sink.samples(), input.size());
  return result;
}

}  // namespace zbhost
