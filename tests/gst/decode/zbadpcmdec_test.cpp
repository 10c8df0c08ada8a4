// zbadpcmdec in a harness, fed the encoder element's frames with packets dropped, duplicated or
// delayed: what parity can rebuild equals the lossless decode bit for bit, the rest is silent
// (or concealed), the timestamps never break, and the counters say what happened. Every encoder
// mode plays and rebuilds alike.
#include <gst/rtp/gstrtpbuffer.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "gst/binding/StreamFormat.h"
#include "gst/rtp/RtpZbAdpcmPay.h"
#include "receive/Receiver.h"
#include "reference/AdpcmSignals.h"
#include "tests/gst/support/GstTestSupport.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

constexpr int kFrames = 30;
constexpr std::size_t kSamples = zbgst::SamplesPerFrame(kTestRate);
constexpr const char* kDefaultMode = "specified";

std::string PacketName(const CodedFrame& frame) {
  return (frame.parity ? "p" : "d") + std::to_string(frame.number);
}

struct LossCase : NamedRow {
  std::vector<std::string> drops;
  std::vector<std::pair<std::string, std::string>> delays;  // packet sent right after another
  bool duplicateAll;
  std::set<int> lost;  // frames nothing can rebuild
  uint64_t rebuilt;
  uint64_t late;
  std::string mode = kDefaultMode;  // the encoder element's `mode`
};

// One signal through the encoder element in one mode, and its lossless decode.
struct ModeStream {
  std::vector<CodedFrame> frames;
  Decoded lossless;
};

class DecoderLossTest : public ::testing::TestWithParam<LossCase> {
 protected:
  static const ModeStream& StreamIn(const std::string& mode) {
    static std::map<std::string, ModeStream> s_streams;
    ModeStream& stream = s_streams[mode];
    if (stream.frames.empty()) {
      stream.frames = Encode(adpcm_signals::Speech(kFrames * static_cast<int>(kSamples), 11), kTestRate, true,
                             mode.c_str());
      Decode(stream.frames, stream.lossless);
    }
    return stream;
  }
};

TEST_P(DecoderLossTest, RebuildsWhatParityCoversAndSilencesTheRest) {
  const LossCase& row = GetParam();
  const std::vector<CodedFrame>& frames = StreamIn(row.mode).frames;
  const Decoded& lossless = StreamIn(row.mode).lossless;
  // The mode reaches the library: another mode plays other samples.
  if (row.mode != kDefaultMode) {
    EXPECT_NE(lossless.samples, StreamIn(kDefaultMode).lossless.samples);
  }
  std::vector<CodedFrame> sent;
  for (const CodedFrame& frame : frames) {
    const std::string name = PacketName(frame);
    if (std::find(row.drops.begin(), row.drops.end(), name) != row.drops.end()) continue;
    sent.push_back(frame);
    if (row.duplicateAll) sent.push_back(frame);
  }
  for (const auto& [packet, after] : row.delays) {
    auto moved = std::find_if(sent.begin(), sent.end(), [&](const CodedFrame& f) { return PacketName(f) == packet; });
    const CodedFrame frame = *moved;
    sent.erase(moved);
    auto anchor = std::find_if(sent.begin(), sent.end(), [&](const CodedFrame& f) { return PacketName(f) == after; });
    sent.insert(anchor + 1, frame);
  }
  Decoded decoded;
  Decode(sent, decoded);

  ASSERT_EQ(lossless.samples.size(), kFrames * kSamples);
  EXPECT_TRUE(decoded.continuous);
  ExpectLosslessBut(decoded.samples, lossless.samples, row.lost);
  EXPECT_EQ(decoded.Stat("frames-rebuilt"), row.rebuilt);
  EXPECT_EQ(decoded.Stat("frames-lost"), row.lost.size());
  EXPECT_EQ(decoded.Stat("frames-late"), row.late);
  EXPECT_EQ(decoded.Stat("duplicates-dropped"), row.duplicateAll ? frames.size() : 0);
  // Each frame is played once: as received in time, rebuilt or lost.
  EXPECT_EQ(decoded.Stat("frames-received") + decoded.Stat("frames-rebuilt") + decoded.Stat("frames-lost"),
            static_cast<uint64_t>(kFrames));
}

INSTANTIATE_TEST_SUITE_P(
    Losses, DecoderLossTest,
    ::testing::Values(
        // Every packet arrives: nothing to rebuild.
        LossCase{{"NoLoss"}, {}, {}, false, {}, 0, 0},
        // A lost data frame comes back from its own parity frame and the frame before.
        LossCase{{"DataFrame"}, {"d5"}, {}, false, {}, 1, 0},
        // ... the first one too, from the parity frame of the frame after it.
        LossCase{{"FirstDataFrame"}, {"d0"}, {}, false, {}, 1, 0},
        // ... or, when its parity frame is lost too, from the next pair, after the next frame.
        LossCase{{"DataFrameAndItsParity"}, {"d5", "p5"}, {}, false, {}, 1, 0},
        // With both parity frames that cover it gone, a frame is lost.
        LossCase{{"DataFrameAndBothParities"}, {"d5", "p5", "p6"}, {}, false, {5}, 0, 0},
        // Two data frames in a row: the first rebuilt one rebuilds the second.
        LossCase{{"TwoDataFrames"}, {"d5", "d6"}, {}, false, {}, 2, 0},
        // Three whole frames: the last comes back from the pair after it.
        LossCase{{"RunOfThreeFrames"}, {"d5", "p5", "d6", "p6", "d7", "p7"}, {}, false, {5, 6}, 1, 0},
        // Each packet twice: the copies are dropped.
        LossCase{{"EveryPacketTwice"}, {}, {}, true, {}, 0, 0},
        // A parity frame after the next pair still rebuilds its frame.
        LossCase{{"ParityFrameReordered"}, {"d5"}, {{"p5", "p6"}}, false, {}, 1, 0},
        // A data frame after its place was rebuilt is counted late and dropped.
        LossCase{{"DataFrameAfterItsRebuild"}, {}, {{"d5", "p6"}}, false, {}, 1, 1},
        // A stream coded in another mode is rebuilt alike.
        LossCase{{"DataFrameInSearchMode"}, {"d5"}, {}, false, {}, 1, 0, "search"}),
    RowName());

// A GAP event (a jitter buffer's lost packets) moves time on: the frames it covers come out
// lost, with no hole in the timestamps, although nothing after them ever arrived.
TEST(DecoderTest, GapEventFillsTheFramesItCovers) {
  const std::vector<CodedFrame> frames = Encode(adpcm_signals::Speech(24 * static_cast<int>(kSamples), 2), kTestRate);
  const std::vector<CodedFrame> first(frames.begin(), frames.begin() + 2 * 20 - 1);  // frames 0 to 19
  Decoded decoded;
  Decode(first, decoded, false, {{first.size(), gst_event_new_gap(20 * zbgst::kFrameDuration, 4 * zbgst::kFrameDuration)}});
  EXPECT_EQ(decoded.samples.size(), 24 * kSamples);
  EXPECT_TRUE(decoded.continuous);
  EXPECT_EQ(decoded.Stat("frames-lost"), 4u);
}

// With `plc` the lost frames are concealed when the build has the concealment library.
TEST(DecoderTest, PlcConcealsLostFrames) {
  std::vector<CodedFrame> frames = Encode(adpcm_signals::Speech(20 * static_cast<int>(kSamples), 4), kTestRate);
  frames.erase(frames.begin() + 2 * 10 - 1, frames.begin() + 2 * 13 - 1);  // frames 10 to 12, whole
  Decoded decoded;
  Decode(frames, decoded, true);
  EXPECT_EQ(decoded.Stat("frames-lost"), 2u);
  EXPECT_EQ(decoded.Stat("frames-concealed"), ZBGST_TEST_HAVE_CONCEALER ? 2u : 0u);
}


// Hostile packet sequences, as a network can send them: the decoder survives each under the
// sanitizers, its timestamps never go back, its output stays bounded by its input, and the
// counters say what it made of them. Packets carry a real frame's payload unless sized otherwise.
struct HostileCase : NamedRow {
  struct Step {
    uint32_t number;
    bool parity = false;
    std::size_t size = zbgst::CodedBytesPerFrame(kTestRate);  // payload bytes after the header
    bool marker = false;
  };
  std::vector<Step> steps;
  GstClockTime firstPts = 0;  // each packet's timestamp steps one frame from here
  uint64_t restarts;
  uint64_t invalid;
  uint64_t duplicates;
  uint64_t received;
};

std::vector<HostileCase::Step> Run(uint32_t first, uint32_t count) {
  std::vector<HostileCase::Step> steps;
  for (uint32_t i = 0; i < count; ++i) steps.push_back({(first + i) & zbgst::kFrameNumberMask});
  return steps;
}

std::vector<HostileCase::Step> Join(std::vector<std::vector<HostileCase::Step>> parts) {
  std::vector<HostileCase::Step> all;
  for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class DecoderHostileTest : public ::testing::TestWithParam<HostileCase> {};

TEST_P(DecoderHostileTest, SurvivesWithTimeMovingOnAndBoundedOutput) {
  const HostileCase& row = GetParam();
  const std::vector<CodedFrame> coded = Encode(adpcm_signals::Speech(8 * static_cast<int>(kSamples), 5), kTestRate, false);
  InitGstreamer();
  GstHarness* harness = gst_harness_new("zbadpcmdec");
  gst_harness_set_src_caps_str(harness, ("audio/x-zbadpcm, channels=1, rate=" + std::to_string(kTestRate)).c_str());
  for (std::size_t i = 0; i < row.steps.size(); ++i) {
    const HostileCase::Step& step = row.steps[i];
    CodedFrame frame;
    frame.bytes = coded[i % coded.size()].bytes;
    frame.bytes.resize(zbgst::kFrameHeaderBytes + step.size);
    zbgst::WriteFrameHeader(frame.bytes.data(), zbgst::FrameHeader{step.parity, step.number});
    frame.bytes.resize(std::min(frame.bytes.size(), zbgst::kFrameHeaderBytes + step.size));
    frame.pts = row.firstPts + i * zbgst::kFrameDuration;
    frame.marker = step.marker;
    gst_harness_push(harness, ToBuffer(frame));
  }
  gst_harness_push_event(harness, gst_event_new_eos());
  std::size_t frames = 0;
  GstClockTime end = 0;
  for (GstBuffer* buffer : PullAll(harness)) {
    EXPECT_GE(GST_BUFFER_PTS(buffer), end) << "output time went back";
    end = GST_BUFFER_PTS(buffer) + GST_BUFFER_DURATION(buffer);
    frames += gst_buffer_get_size(buffer) / zbgst::PcmBytesPerFrame(kTestRate);
    gst_buffer_unref(buffer);
  }
  EXPECT_LE(frames, row.steps.size() * (zbreceive::kMaxFillFrames + 1));
  GstStructure* stats = nullptr;
  g_object_get(harness->element, "stats", &stats, nullptr);
  guint64 restarts = 0, invalid = 0, duplicates = 0, received = 0;
  gst_structure_get(stats, "restarts", G_TYPE_UINT64, &restarts, "buffers-invalid", G_TYPE_UINT64, &invalid,
                    "duplicates-dropped", G_TYPE_UINT64, &duplicates, "frames-received", G_TYPE_UINT64, &received,
                    nullptr);
  gst_structure_free(stats);
  gst_harness_teardown(harness);
  EXPECT_EQ(restarts, row.restarts);
  EXPECT_EQ(invalid, row.invalid);
  EXPECT_EQ(duplicates, row.duplicates);
  EXPECT_EQ(received, row.received);
}

constexpr std::size_t kHuge = 70000;
constexpr GstClockTime kNearEndOfTime = (GstClockTime{1} << 63) - GST_SECOND;

INSTANTIATE_TEST_SUITE_P(
    Hostile, DecoderHostileTest,
    ::testing::Values(
        // A jump far ahead starts a new segment after the frames before it have gone out.
        HostileCase{{"JumpAhead"}, {{10}, {11}, {200}}, 0, 1, 0, 0, 3},
        // One stray packet amid a stream: two restarts, every real frame played.
        HostileCase{{"StrayPacket"}, Join({Run(0, 10), {{1000000}}, Run(10, 10)}), 0, 2, 0, 0, 21},
        // A sender that restarts from 0 without a mark: a new segment, nothing taken for a copy.
        HostileCase{{"RestartWithoutMark"}, Join({Run(0, 30), Run(0, 10)}), 0, 1, 0, 0, 40},
        // A marked restart close behind the stream's numbers is a restart, not late copies.
        HostileCase{{"MarkedRestart"}, Join({Run(0, 6), {{3, false, zbgst::CodedBytesPerFrame(kTestRate), true}},
                                             Run(4, 5)}), 0, 1, 0, 0, 12},
        // Packets of no payload, a header alone, or far too much are dropped and counted.
        HostileCase{{"EmptyHeaderOnlyAndHuge"}, Join({Run(0, 3), {{3, false, 0}, {3, true, 1}, {4, false, kHuge}}, Run(3, 3)}),
                    0, 0, 3, 0, 6},
        // Every packet twice.
        HostileCase{{"Duplicates"}, {{0}, {0}, {1}, {1}, {1, true}, {1, true}, {2}}, 0, 0, 0, 3, 3},
        // Numbers wrap from 2^31 - 1 to 0 within one stream.
        HostileCase{{"NumberWrap"}, Run(zbgst::kFrameNumberMask - 2, 6), 0, 0, 0, 0, 6},
        // Timestamps near the end of time saturate rather than wrap.
        HostileCase{{"TimeNearItsEnd"}, Join({Run(0, 4), {{500}}, Run(501, 3)}), kNearEndOfTime, 1, 0, 0, 8},
        // A parity packet far ahead restarts, and rebuilds nothing on its own.
        HostileCase{{"ParityFarAhead"}, Join({Run(0, 4), {{90, true}}, Run(4, 2)}), 0, 2, 0, 0, 6}),
    RowName());

// The latency query counts the decoder's hold, parity delay included: set once the format is
// known, not lost when the base class starts.
class DecoderLatencyTest : public ::testing::TestWithParam<guint> {};

TEST_P(DecoderLatencyTest, ReportsItsHoldAsLatency) {
  const guint delay = GetParam();
  const std::vector<CodedFrame> frames = Encode(adpcm_signals::Speech(4 * static_cast<int>(kSamples), 3), kTestRate);
  InitGstreamer();
  GstHarness* harness = gst_harness_new("zbadpcmdec");
  g_object_set(harness->element, "parity-delay", delay, nullptr);
  gst_harness_set_src_caps_str(harness, ("audio/x-zbadpcm, channels=1, rate=" + std::to_string(kTestRate)).c_str());
  constexpr GstClockTime kUpstream = 30 * GST_MSECOND;  // what a jitter buffer before it holds
  gst_harness_set_upstream_latency(harness, kUpstream);
  gst_harness_push(harness, ToBuffer(frames.front()));
  const GstClockTime latency = gst_harness_query_latency(harness);
  gst_harness_teardown(harness);
  EXPECT_EQ(latency, kUpstream + (zbreceive::kHoldFrames + delay) * zbgst::kFrameDuration);
}

INSTANTIATE_TEST_SUITE_P(Delays, DecoderLatencyTest, ::testing::Values(0u, 3u, zbgst::kMaxParityDelay));

struct BurstCase : NamedRow {
  guint delay;          // the payloader's and the decoder's parity-delay
  uint32_t burstFirst;  // the first data frame of the burst
  uint32_t burstFrames; // data frames lost in a row, each with the packet sent right after it
  std::set<int> lost;   // frames nothing can rebuild
  uint64_t rebuilt;
};

class ParityDelayBurstTest : public ::testing::TestWithParam<BurstCase> {};

// A burst takes a run of data frames and the packets sent beside them. The payloader sends
// each parity frame `delay` frames late, so the burst takes parity frames of earlier numbers,
// and the decoder, holding as much longer, rebuilds the run from the parity frames sent after
// it; every frame comes out in order, equal to the lossless decode, or silent when lost.
TEST_P(ParityDelayBurstTest, RepairsBurstsUpToTheDelay) {
  const BurstCase& row = GetParam();
  const std::vector<CodedFrame> frames = Encode(adpcm_signals::Speech(kFrames * static_cast<int>(kSamples), 11), kTestRate);
  Decoded lossless;
  Decode(frames, lossless);

  InitGstreamer();
  GstHarness* sender = gst_harness_new("rtpzbadpcmpay");
  g_object_set(sender->element, "parity-delay", row.delay, nullptr);
  gst_harness_set_src_caps_str(sender, ("audio/x-zbadpcm, channels=1, rate=" + std::to_string(kTestRate)).c_str());
  for (const CodedFrame& frame : frames) gst_harness_push(sender, ToBuffer(frame));
  gst_harness_push_event(sender, gst_event_new_eos());
  GstCaps* rtpCaps = gst_pad_get_current_caps(sender->sinkpad);
  const std::vector<GstBuffer*> packets = PullAll(sender);
  gst_harness_teardown(sender);

  GstHarness* receiver = gst_harness_new_parse("rtpzbadpcmdepay ! zbadpcmdec");
  GstElement* decoder = gst_harness_find_element(receiver, "zbadpcmdec");
  g_object_set(decoder, "parity-delay", row.delay, nullptr);
  gst_harness_set_src_caps(receiver, rtpCaps);
  bool burstParity = false;  // the packet after a lost data frame is lost with it
  for (GstBuffer* packet : packets) {
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    ASSERT_TRUE(gst_rtp_buffer_map(packet, GST_MAP_READ, &rtp));
    const zbgst::FrameHeader header =
        zbgst::ReadFrameHeader(static_cast<const uint8_t*>(gst_rtp_buffer_get_payload(&rtp)));
    gst_rtp_buffer_unmap(&rtp);
    const bool inBurst = !header.parity && header.number >= row.burstFirst &&
                         header.number < row.burstFirst + row.burstFrames;
    const bool drop = inBurst || (header.parity && burstParity);
    burstParity = inBurst;
    if (drop) {
      gst_buffer_unref(packet);
    } else {
      gst_harness_push(receiver, packet);
    }
  }
  gst_harness_push_event(receiver, gst_event_new_eos());
  Decoded decoded;
  GstClockTime expected = GST_CLOCK_TIME_NONE;
  for (GstBuffer* buffer : PullAll(receiver)) {
    Append(buffer, decoded, expected);
    gst_buffer_unref(buffer);
  }
  g_object_get(decoder, "stats", &decoded.stats, nullptr);
  gst_object_unref(decoder);
  gst_harness_teardown(receiver);

  EXPECT_TRUE(decoded.continuous);
  ExpectLosslessBut(decoded.samples, lossless.samples, row.lost);
  EXPECT_EQ(decoded.Stat("frames-rebuilt"), row.rebuilt);
  EXPECT_EQ(decoded.Stat("frames-lost"), row.lost.size());
}

INSTANTIATE_TEST_SUITE_P(
    Bursts, ParityDelayBurstTest,
    ::testing::Values(
        // Parity beside its own data frame: the burst takes both parity frames of frame 10.
        BurstCase{{"NoDelayTwoFrames"}, 0, 10, 2, {10}, 1},
        // One frame late: parity 11 survives, but needs frame 10 or 11 to rebuild the other.
        BurstCase{{"OneFrameTwoFrames"}, 1, 10, 2, {10}, 1},
        // Two frames late: parity 10 and 11 come after the burst and rebuild it in turn.
        BurstCase{{"TwoFramesTwoFrames"}, 2, 10, 2, {}, 2},
        // A delay as long as the burst repairs it.
        BurstCase{{"ThreeFramesThreeFrames"}, 3, 10, 3, {}, 3},
        // A longer burst than the delay leaves frames lost.
        BurstCase{{"TwoFramesThreeFrames"}, 2, 10, 3, {10, 11}, 1}),
    RowName());

// A sender that restarts its numbering close behind where it was: the payloader marks the first
// packet, the depayloader hands the mark on, and the decoder starts a new segment rather than
// dropping the new stream's frames as copies.
TEST(DecoderTest, MarkedRestartCrossesTheDepayloader) {
  std::vector<CodedFrame> frames = Encode(adpcm_signals::Speech(8 * static_cast<int>(kSamples), 6), kTestRate, false);
  InitGstreamer();
  GstHarness* harness = gst_harness_new_parse("rtpzbadpcmpay ! rtpzbadpcmdepay ! zbadpcmdec");
  gst_harness_set_src_caps_str(harness, ("audio/x-zbadpcm, channels=1, rate=" + std::to_string(kTestRate)).c_str());
  constexpr uint32_t kRestartAt = 5;
  constexpr uint32_t kNewFirst = 3;  // within the fill limit behind the old numbers
  for (uint32_t i = 0; i < frames.size(); ++i) {
    const uint32_t number = i < kRestartAt ? i : kNewFirst + (i - kRestartAt);
    zbgst::WriteFrameHeader(frames[i].bytes.data(), zbgst::FrameHeader{false, number});
    frames[i].pts = i * zbgst::kFrameDuration;
    GstBuffer* buffer = ToBuffer(frames[i]);
    if (i == kRestartAt) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    gst_harness_push(harness, buffer);
  }
  gst_harness_push_event(harness, gst_event_new_eos());
  Decoded decoded;
  GstClockTime expected = GST_CLOCK_TIME_NONE;
  for (GstBuffer* buffer : PullAll(harness)) {
    Append(buffer, decoded, expected);
    gst_buffer_unref(buffer);
  }
  GstElement* decoder = gst_harness_find_element(harness, "zbadpcmdec");
  g_object_get(decoder, "stats", &decoded.stats, nullptr);
  gst_object_unref(decoder);
  gst_harness_teardown(harness);
  EXPECT_EQ(decoded.Stat("restarts"), 1u);
  EXPECT_EQ(decoded.Stat("duplicates-dropped"), 0u);
  EXPECT_EQ(decoded.Stat("frames-received"), frames.size());
}

}  // namespace
}  // namespace zbtest
