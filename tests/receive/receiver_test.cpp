// The receive path over the linked library: a stream coded by the encoder module, its packets
// dropped, moved, renumbered across the 31-bit wrap or restarted, and what comes out: every
// frame the parity can rebuild equal to the lossless decode, the rest lost and silent, holes
// filled up to the limit and longer jumps a new segment.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "codec/AdpcmBlock.h"
#include "exports/zbexports.h"
#include "receive/Receiver.h"
#include "reference/AdpcmSignals.h"
#include "tests/support/CaseNames.h"
#include "tests/support/TestSupport.h"

namespace zbtest {
namespace {

using namespace zbreceive;

constexpr int32_t kRate = 8000;
constexpr int32_t kSamples = 160;
constexpr int kFrames = 24;

struct Coded {
  std::vector<uint8_t> data;
  std::vector<uint8_t> parity;
};

const zbreceive::ZbExports& Exports() {
  static const ZbExports s_exports = [] {
    zbInitialize();
    return ZbExports{zbInitialize, zbUninitialize, zbGetInterfaceName, zbCreateInstance, zbDestroyInstance};
  }();
  return s_exports;
}

// One packet as sent: its source frame, kind, number and restart flag.
struct Sent {
  int source;
  bool parity;
  uint32_t number;
  bool restart = false;
};

struct ReceiveCase : NamedRow {
  uint32_t firstNumber = 0;
  std::vector<std::string> drops;                           // "d5", "p5": by source frame
  std::vector<std::pair<std::string, std::string>> delays;  // packet sent right after another
  int restartAt = -1;  // from this source frame on, numbers start again at 0 and it is marked
  int32_t parityDelay = 0;  // parity n sent beside data n + parityDelay
  std::set<int> lost;     // source frames played as lost
  std::set<int> skipped;  // source frames that never play (a jump starts a new segment)
  int64_t rebuilt = 0;
  int64_t late = 0;
  int64_t restarts = 0;
};

class ReceiverTest : public testing::TestWithParam<ReceiveCase> {
 protected:
  static void SetUpTestSuite() {
    AllocatorScope scope(&s_allocator);
    LibraryModule encoder(Exports(), ZB_NAME_ENCODER);
    encoder.EnableRedundancy(true);
    const std::vector<uint8_t> pcm = adpcm_signals::Speech(kFrames * kSamples, 7);
    const size_t frameBytes = kSamples * sizeof(int16_t);
    s_coded.assign(kFrames, Coded{});
    s_lossless.clear();
    for (int i = 0; i < kFrames; ++i) {
      encoder.Push(AV_TYPE_PCM, i, pcm.data() + i * frameBytes, static_cast<uint32_t>(frameBytes));
      for (EmittedFrame& frame : encoder.TakeEmitted()) {
        (frame.type == AV_TYPE_ADPCM_PARITY ? s_coded[i].parity : s_coded[i].data) = frame.bytes;
      }
      std::vector<int16_t> decoded(kSamples);
      AdpcmCodecState state{};
      state.channels = 1;
      DecodeAdpcmBlocks(state, reinterpret_cast<uint8_t*>(decoded.data()), s_coded[i].data.data(), kAdpcmBytesPerBlock,
                        static_cast<int32_t>(s_coded[i].data.size() / kAdpcmBytesPerBlock));
      s_lossless.push_back(decoded);
    }
  }

  static CountingAllocator s_allocator;
  static std::vector<Coded> s_coded;
  static std::vector<std::vector<int16_t>> s_lossless;
};

CountingAllocator ReceiverTest::s_allocator;
std::vector<Coded> ReceiverTest::s_coded;
std::vector<std::vector<int16_t>> ReceiverTest::s_lossless;

std::string NameOf(const Sent& sent) { return (sent.parity ? "p" : "d") + std::to_string(sent.source); }

TEST_P(ReceiverTest, PlaysWhatCameRebuildsWhatParityCoversAndKeepsTimeMovingOn) {
  const ReceiveCase& row = GetParam();
  std::vector<Sent> sent;
  auto send = [&](int i, bool parity) {
    const bool restarted = row.restartAt >= 0 && i >= row.restartAt;
    const uint32_t number = (restarted ? static_cast<uint32_t>(i - row.restartAt) : row.firstNumber + i) & kFrameNumberMask;
    const Sent packet{i, parity, number, i == row.restartAt && !parity};
    if (std::find(row.drops.begin(), row.drops.end(), NameOf(packet)) == row.drops.end()) sent.push_back(packet);
  };
  for (int i = 0; i < kFrames + row.parityDelay; ++i) {
    if (i < kFrames) send(i, false);
    if (i >= row.parityDelay) send(i - row.parityDelay, true);
  }
  for (const auto& [packet, after] : row.delays) {
    auto moved = std::find_if(sent.begin(), sent.end(), [&](const Sent& s) { return NameOf(s) == packet; });
    const Sent held = *moved;
    sent.erase(moved);
    auto anchor = std::find_if(sent.begin(), sent.end(), [&](const Sent& s) { return NameOf(s) == after; });
    sent.insert(anchor + 1, held);
  }

  AllocatorScope scope(&s_allocator);
  std::vector<OutFrame> out;
  ReceiveCounters counters;
  {
    ReceiverSettings settings;
    settings.sampleRate = kRate;
    settings.frameSamples = kSamples;
    settings.codedBytes = CodedBytesPerFrame(kSamples);
    settings.parityDelay = row.parityDelay;
    Receiver receiver(Exports(), settings);
    OutFrame frame;
    for (const Sent& packet : sent) {
      const std::vector<uint8_t>& bytes = packet.parity ? s_coded[packet.source].parity : s_coded[packet.source].data;
      receiver.Push(Packet{packet.number, packet.parity, bytes.data(), bytes.size(), packet.restart});
      while (receiver.Next(frame)) out.push_back(frame);
      EXPECT_LE(receiver.held(), static_cast<size_t>(2 * row.parityDelay + kHoldFrames + 3));
    }
    receiver.Drain();
    while (receiver.Next(frame)) out.push_back(frame);
    counters = receiver.counters();
  }
  EXPECT_EQ(s_allocator.live(), 0u);

  std::vector<int> sources;
  for (int i = 0; i < kFrames; ++i) {
    if (row.skipped.count(i) == 0) sources.push_back(i);
  }
  ASSERT_EQ(out.size(), sources.size());
  for (size_t k = 0; k < out.size(); ++k) {
    if (k > 0) {
      EXPECT_GT(out[k].index, out[k - 1].index);
    }
    const int source = sources[k];
    if (row.lost.count(source) != 0) {
      EXPECT_EQ(out[k].outcome, FrameOutcome::Lost) << "frame " << source;
      EXPECT_EQ(out[k].samples, std::vector<int16_t>(kSamples, 0)) << "frame " << source;
    } else {
      EXPECT_EQ(out[k].samples, s_lossless[source]) << "frame " << source;
    }
  }
  EXPECT_EQ(counters.rebuilt, row.rebuilt);
  EXPECT_EQ(counters.lost, static_cast<int64_t>(row.lost.size()));
  EXPECT_EQ(counters.late, row.late);
  EXPECT_EQ(counters.restarts, row.restarts);
  EXPECT_EQ(counters.received + counters.rebuilt + counters.lost, static_cast<int64_t>(out.size()));
}

ReceiveCase Case(const char* name) {
  ReceiveCase row;
  row.name = name;
  return row;
}

std::vector<ReceiveCase> Cases() {
  std::vector<ReceiveCase> rows;
  // Every packet arrives.
  rows.push_back(Case("NoLoss"));
  // Numbers wrap from 2^31 - 1 to 0, and two frames lost across the wrap are rebuilt.
  ReceiveCase wrap = Case("LossAcrossTheWrap");
  wrap.firstNumber = kFrameNumberMask - 2;
  wrap.drops = {"d3", "d4"};
  wrap.rebuilt = 2;
  rows.push_back(wrap);
  // A hole of kMaxFillFrames frames is filled; parity rebuilds the last of them.
  ReceiveCase fill = Case("HoleWithinTheFill");
  for (int i = 5; i < 5 + kMaxFillFrames; ++i) fill.drops.insert(fill.drops.end(), {"d" + std::to_string(i), "p" + std::to_string(i)});
  for (int i = 5; i < 4 + kMaxFillFrames; ++i) fill.lost.insert(i);
  fill.rebuilt = 1;
  rows.push_back(fill);
  // A longer hole starts a new segment: nothing filled, the frame before the jump rebuilt.
  ReceiveCase jump = Case("HoleBeyondTheFill");
  for (int i = 5; i < 6 + kMaxFillFrames; ++i) jump.drops.insert(jump.drops.end(), {"d" + std::to_string(i), "p" + std::to_string(i)});
  for (int i = 5; i < 5 + kMaxFillFrames; ++i) jump.skipped.insert(i);
  jump.rebuilt = 1;
  jump.restarts = 1;
  rows.push_back(jump);
  // A data frame after its place was rebuilt and played is late.
  ReceiveCase late = Case("DataAfterItsRebuild");
  late.delays = {{"d5", "p6"}};
  late.rebuilt = 1;
  late.late = 1;
  rows.push_back(late);
  // A sender's marked restart numbers from 0 again: a new segment, every frame played once.
  ReceiveCase restart = Case("MarkedRestart");
  restart.restartAt = 10;
  restart.drops = {"p10"};  // its parity would span the two streams
  restart.restarts = 1;
  rows.push_back(restart);
  // A burst of three packets in a row: parity sent beside its data loses a frame for good...
  ReceiveCase burst = Case("BurstWithParityBesideItsData");
  burst.drops = {"d5", "p5", "d6"};
  burst.lost = {5};
  burst.rebuilt = 1;
  rows.push_back(burst);
  // ... parity sent a frame late rebuilds both, fed to the module in frame order.
  ReceiveCase delayed = Case("BurstWithParityAFrameLate");
  delayed.parityDelay = 1;
  delayed.drops = {"d5", "p4", "d6"};
  delayed.rebuilt = 2;
  rows.push_back(delayed);
  // Two frames late, a burst of five packets.
  ReceiveCase later = Case("BurstWithParityTwoFramesLate");
  later.parityDelay = 2;
  later.drops = {"d5", "p3", "d6", "p4", "d7"};
  later.rebuilt = 3;
  rows.push_back(later);
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Packets, ReceiverTest, testing::ValuesIn(Cases()), RowName());

}  // namespace
}  // namespace zbtest
