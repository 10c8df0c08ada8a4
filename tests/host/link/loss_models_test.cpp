// Loss models: parsing of their texts, seeded determinism, the rates they reach and
// explicit lists.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Include/QV_Interface/zbav_abi.h"
#include "host/base/HostError.h"
#include "host/link/LossModels.h"
#include "tests/support/CaseNames.h"
#include "tests/support/ScratchDir.h"

namespace zbtest {
namespace {

using namespace zbhost;

constexpr int kDraws = 200000;

std::vector<bool> Pattern(const LossPlan& plan, uint64_t seed, int count) {
  auto model = MakeLossModel(plan, seed);
  std::vector<bool> drops;
  for (int i = 0; i < count; ++i) drops.push_back(model->Drops(AV_TYPE_ADPCM, i));
  return drops;
}

struct BadSpec : NamedRow {
  const char* text;
  const char* message;  // part of the error
};

class BadLossPlanTest : public testing::TestWithParam<BadSpec> {};

TEST_P(BadLossPlanTest, IsRefusedWithItsReason) {
  try {
    ParseLossPlan(GetParam().text);
    FAIL() << "accepted " << GetParam().text;
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find(GetParam().message), std::string::npos) << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BadLossPlanTest,
    testing::Values(BadSpec{"NoSuchModel", "bogus", "unknown loss model"},
                    BadSpec{"RateMissing", "random", "unknown loss model"},
                    BadSpec{"EmptyRate", "random:", "percentage"},
                    BadSpec{"RateAbove100", "random:101", "percentage"},
                    BadSpec{"RateBelow0", "random:-1", "percentage"},
                    BadSpec{"TrailingJunk", "random:5x", "percentage"},
                    BadSpec{"NotANumber", "random:nan", "percentage"},
                    BadSpec{"TooFewParameters", "gilbert:5", "2 to 4"},
                    BadSpec{"TooManyParameters", "gilbert:1,2,3,4,5", "2 to 4"},
                    BadSpec{"LeaveChanceOutOfRange", "gilbert:1,200", "percentage"},
                    BadSpec{"UnknownFrameLetter", "list:x5", "bad frame list entry"},
                    BadSpec{"ReversedRange", "list:d5-3", "empty range"},
                    BadSpec{"NegativeNumber", "list:d-3", "bad frame list entry"},
                    BadSpec{"RangeWouldFloodMemory", "list:d0-99999999", "range too long"},
                    BadSpec{"NoneTakesNothing", "none:1", "unknown loss model"}),
    RowName());

TEST(LossPlanTest, ParsesEachModel) {
  EXPECT_EQ(ParseLossPlan("none").kind, LossPlan::Kind::None);
  const LossPlan random = ParseLossPlan("random:2.5");
  EXPECT_EQ(random.kind, LossPlan::Kind::Random);
  EXPECT_DOUBLE_EQ(random.percent, 2.5);
  const LossPlan burst = ParseLossPlan("gilbert:3,40,90,1");
  EXPECT_EQ(burst.kind, LossPlan::Kind::Gilbert);
  EXPECT_DOUBLE_EQ(burst.gilbert.enterBad, 3);
  EXPECT_DOUBLE_EQ(burst.gilbert.leaveBad, 40);
  EXPECT_DOUBLE_EQ(burst.gilbert.lossBad, 90);
  EXPECT_DOUBLE_EQ(burst.gilbert.lossGood, 1);
  const LossPlan defaults = ParseLossPlan("burst:3,40");
  EXPECT_DOUBLE_EQ(defaults.gilbert.lossBad, 100);
  EXPECT_DOUBLE_EQ(defaults.gilbert.lossGood, 0);
  EXPECT_TRUE(random.IsRandom());
  EXPECT_TRUE(burst.IsRandom());
  EXPECT_FALSE(ParseLossPlan("list:1").IsRandom());
}

TEST(LossPlanTest, ListTakesDataParityBareNumbersAndRanges) {
  const LossPlan plan = ParseLossPlan("list:d5,P7,9, d11-13");
  const std::set<FrameRef> expected = {{AV_TYPE_ADPCM, 5},  {AV_TYPE_ADPCM_PARITY, 7},
                                       {AV_TYPE_ADPCM, 9},  {AV_TYPE_ADPCM, 11},
                                       {AV_TYPE_ADPCM, 12}, {AV_TYPE_ADPCM, 13}};
  EXPECT_EQ(plan.dropped, expected);
}

TEST(LossPlanTest, ListFileTakesCommentsAndLines) {
  const std::string path = ScratchDir::ForProcess().File("loss_list.txt");
  {
    std::ofstream file(path);
    file << "# burst at the start\nd1-2 p2\n\n3, p40  # trailing comment\n";
  }
  const LossPlan plan = ParseLossPlan("file:" + path);
  const std::set<FrameRef> expected = {{AV_TYPE_ADPCM, 1}, {AV_TYPE_ADPCM, 2},
                                       {AV_TYPE_ADPCM_PARITY, 2}, {AV_TYPE_ADPCM, 3},
                                       {AV_TYPE_ADPCM_PARITY, 40}};
  EXPECT_EQ(plan.dropped, expected);
  EXPECT_EQ(plan.source, path);
}

TEST(LossPlanTest, MissingListFileIsAnInputError) {
  try {
    ParseLossPlan("file:/nonexistent/zbhost/list.txt");
    FAIL();
  } catch (const HostError& error) {
    EXPECT_EQ(error.status(), kExitInput);
  }
}

// A list file is read with a bound: an endless source and one beyond the size are refused
// as input errors, before they can fill memory.
TEST(LossPlanTest, EndlessOrOversizedListFileIsRefused) {
  const std::string oversized = ScratchDir::ForProcess().File("oversized_list.txt");
  std::ofstream(oversized) << std::string(kMaxLossListBytes + 1, ' ');
  const std::pair<std::string, const char*> cases[] = {
      {"/dev/zero", "is not text"},  // never ends, and NUL bytes from the first block
      {oversized, "larger than"},
  };
  for (const auto& [path, message] : cases) {
    try {
      ParseLossPlan("file:" + path);
      ADD_FAILURE() << path;
    } catch (const HostError& error) {
      EXPECT_EQ(error.status(), kExitInput) << path;
      EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
    }
  }
}

TEST(LossModelTest, ListDropsExactlyTheNamedFrames) {
  auto model = MakeLossModel(ParseLossPlan("list:d3,p4"), 0);
  for (int32_t seq = 0; seq < 8; ++seq) {
    EXPECT_EQ(model->Drops(AV_TYPE_ADPCM, seq), seq == 3) << seq;
    EXPECT_EQ(model->Drops(AV_TYPE_ADPCM_PARITY, seq), seq == 4) << seq;
  }
}

TEST(LossModelTest, SameSeedSamePatternOtherSeedAnother) {
  for (const char* text : {"random:10", "gilbert:5,30"}) {
    const LossPlan plan = ParseLossPlan(text);
    EXPECT_EQ(Pattern(plan, 7, 1000), Pattern(plan, 7, 1000)) << text;
    EXPECT_NE(Pattern(plan, 7, 1000), Pattern(plan, 8, 1000)) << text;
  }
}

TEST(LossModelTest, RandomReachesItsRate) {
  const std::vector<bool> drops = Pattern(ParseLossPlan("random:5"), 1, kDraws);
  const double rate = static_cast<double>(std::count(drops.begin(), drops.end(), true)) / kDraws;
  EXPECT_NEAR(rate, 0.05, 0.003);
}

TEST(LossModelTest, GilbertLosesInBurstsOfTheExpectedLength) {
  // Entering the bad state 2 % of the time and leaving it 25 %: a stationary loss of
  // 2 / 27 and bursts of 4 frames on average.
  const std::vector<bool> drops = Pattern(ParseLossPlan("gilbert:2,25"), 3, kDraws);
  int64_t lost = 0;
  int64_t bursts = 0;
  for (size_t i = 0; i < drops.size(); ++i) {
    lost += drops[i];
    bursts += drops[i] && (i == 0 || !drops[i - 1]);
  }
  EXPECT_NEAR(static_cast<double>(lost) / kDraws, 2.0 / 27.0, 0.01);
  EXPECT_NEAR(static_cast<double>(lost) / static_cast<double>(bursts), 4.0, 0.3);
}

TEST(LossModelTest, NoneNeverDrops) {
  const std::vector<bool> drops = Pattern(ParseLossPlan("none"), 1, 1000);
  EXPECT_EQ(std::count(drops.begin(), drops.end(), true), 0);
}

TEST(SeededRandomTest, StreamsOfOneSeedDiffer) {
  const SeededRandom a(42, kStreamLoss);
  const SeededRandom b(42, kStreamDuplicate);
  const SeededRandom c(42, kStreamLoss);
  const FrameRef data5{AV_TYPE_ADPCM, 5};
  const double first = a.Uniform(data5);
  EXPECT_NE(first, b.Uniform(data5));
  EXPECT_NE(first, a.Uniform({AV_TYPE_ADPCM_PARITY, 5}));
  EXPECT_EQ(first, c.Uniform(data5));
  EXPECT_GE(first, 0.0);
  EXPECT_LT(first, 1.0);
}

// A data frame's fate does not depend on parity frames being decided in between, so a run
// without parity loses the data frames a run with parity loses.
TEST(LossModelTest, DataFatesDoNotDependOnParity) {
  for (const char* text : {"random:20", "gilbert:5,30,90,2"}) {
    const std::unique_ptr<LossModel> model = MakeLossModel(ParseLossPlan(text), 11);
    std::vector<bool> withParity;
    for (int32_t seq = 0; seq < 1000; ++seq) {
      withParity.push_back(model->Drops(AV_TYPE_ADPCM, seq));
      model->Drops(AV_TYPE_ADPCM_PARITY, seq);
    }
    EXPECT_EQ(withParity, Pattern(ParseLossPlan(text), 11, 1000)) << text;
  }
}

}  // namespace
}  // namespace zbtest
