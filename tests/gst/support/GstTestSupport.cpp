// GStreamer set-up and the element runs the plug-in's tests share.
#include "tests/gst/support/GstTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "gst/Elements.h"
#include "gst/binding/StreamFormat.h"

namespace zbtest {

void InitGstreamer() {
  static const bool s_bReady = [] {
    gst_init(nullptr, nullptr);
    return gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, "zbadpcm", "zbadpcm elements under test",
                                      zbgst::RegisterElements, "0", "Proprietary", "zbadpcm", "zbadpcm", "tests") != 0;
  }();
  if (!s_bReady) std::abort();
}

CodedFrame ToCodedFrame(GstBuffer* buffer) {
  CodedFrame frame;
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_READ);
  frame.bytes.assign(map.data, map.data + map.size);
  gst_buffer_unmap(buffer, &map);
  const zbgst::FrameHeader header = zbgst::ReadFrameHeader(frame.bytes.data());
  frame.parity = header.parity;
  frame.number = header.number;
  frame.pts = GST_BUFFER_PTS(buffer);
  frame.duration = GST_BUFFER_DURATION(buffer);
  frame.discont = GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT);
  return frame;
}

GstBuffer* ToBuffer(const CodedFrame& frame) {
  GstBuffer* buffer = gst_buffer_new_memdup(frame.bytes.data(), frame.bytes.size());
  GST_BUFFER_PTS(buffer) = frame.pts;
  GST_BUFFER_DURATION(buffer) = frame.duration;
  if (frame.marker) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_MARKER);
  return buffer;
}

std::vector<GstBuffer*> PullAll(GstHarness* harness) {
  std::vector<GstBuffer*> buffers;
  while (GstBuffer* buffer = gst_harness_try_pull(harness)) buffers.push_back(buffer);
  return buffers;
}

std::vector<CodedFrame> Encode(const std::vector<uint8_t>& pcm, int rate, bool parity, const char* mode) {
  InitGstreamer();
  GstHarness* harness = gst_harness_new("zbadpcmenc");
  g_object_set(harness->element, "parity", parity, nullptr);
  if (mode != nullptr) gst_util_set_object_arg(G_OBJECT(harness->element), "mode", mode);
  gst_harness_set_src_caps_str(harness, ("audio/x-raw, format=S16LE, layout=interleaved, channels=1, rate=" +
                                         std::to_string(rate)).c_str());
  const std::size_t frameBytes = zbgst::PcmBytesPerFrame(rate);
  for (std::size_t at = 0; at < pcm.size(); at += frameBytes) {
    const std::size_t size = std::min(frameBytes, pcm.size() - at);
    GstBuffer* buffer = gst_buffer_new_memdup(pcm.data() + at, size);
    GST_BUFFER_PTS(buffer) = gst_util_uint64_scale(at / zbgst::kBytesPerSample, GST_SECOND, rate);
    gst_harness_push(harness, buffer);
  }
  gst_harness_push_event(harness, gst_event_new_eos());
  std::vector<CodedFrame> frames;
  for (GstBuffer* buffer : PullAll(harness)) {
    frames.push_back(ToCodedFrame(buffer));
    gst_buffer_unref(buffer);
  }
  gst_harness_teardown(harness);
  return frames;
}

uint64_t Decoded::Stat(const char* field) const {
  guint64 value = 0;
  gst_structure_get_uint64(stats, field, &value);
  return value;
}

void Decode(const std::vector<CodedFrame>& frames, Decoded& out, bool plc, const std::vector<PositionedEvent>& events) {
  InitGstreamer();
  GstHarness* harness = gst_harness_new("zbadpcmdec");
  g_object_set(harness->element, "plc", plc, nullptr);
  gst_harness_set_src_caps_str(harness,
                               ("audio/x-zbadpcm, channels=1, rate=" + std::to_string(kTestRate)).c_str());
  auto event = events.begin();
  for (std::size_t i = 0; i < frames.size(); ++i) {
    gst_harness_push(harness, ToBuffer(frames[i]));
    for (; event != events.end() && event->after == i; ++event) gst_harness_push_event(harness, event->event);
  }
  for (; event != events.end(); ++event) gst_harness_push_event(harness, event->event);
  gst_harness_push_event(harness, gst_event_new_eos());
  GstClockTime expected = 0;
  for (GstBuffer* buffer : PullAll(harness)) {
    Append(buffer, out, expected);
    gst_buffer_unref(buffer);
  }
  g_object_get(harness->element, "stats", &out.stats, nullptr);
  gst_harness_teardown(harness);
}

void Append(GstBuffer* buffer, Decoded& out, GstClockTime& expectedPts) {
  out.continuous = out.continuous && (expectedPts == GST_CLOCK_TIME_NONE || GST_BUFFER_PTS(buffer) == expectedPts);
  expectedPts = GST_BUFFER_PTS(buffer) + GST_BUFFER_DURATION(buffer);
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_READ);
  const auto* samples = reinterpret_cast<const int16_t*>(map.data);
  out.samples.insert(out.samples.end(), samples, samples + map.size / sizeof(int16_t));
  gst_buffer_unmap(buffer, &map);
}

void ExpectLosslessBut(const std::vector<int16_t>& got, const std::vector<int16_t>& lossless,
                       const std::set<int>& lost) {
  const auto samples = static_cast<std::ptrdiff_t>(zbgst::SamplesPerFrame(kTestRate));
  ASSERT_EQ(got.size(), lossless.size());
  for (std::ptrdiff_t n = 0; n * samples < static_cast<std::ptrdiff_t>(got.size()); ++n) {
    const auto frame = got.begin() + n * samples;
    if (lost.count(static_cast<int>(n)) != 0) {
      EXPECT_TRUE(std::all_of(frame, frame + samples, [](int16_t s) { return s == 0; })) << "frame " << n;
    } else {
      EXPECT_TRUE(std::equal(frame, frame + samples, lossless.begin() + n * samples)) << "frame " << n;
    }
  }
}

}  // namespace zbtest
