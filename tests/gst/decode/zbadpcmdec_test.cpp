// zbadpcmdec in a harness, fed the encoder element's frames with packets dropped, duplicated or
// delayed: what parity can rebuild equals the lossless decode bit for bit, the rest is silent
// (or concealed), the timestamps never break, and the counters say what happened. Every encoder
// mode plays and rebuilds alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "gst/binding/StreamFormat.h"
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

}  // namespace
}  // namespace zbtest
