// The report's figures: SNR, and how the counts the host observed become repaired,
// duplicate and unneeded-parity figures.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "host/report/Report.h"

namespace zbtest {
namespace {

using namespace zbhost;

TEST(SnrTest, IdenticalIsInfiniteAndHalfAmplitudeErrorIsSixDecibels) {
  const std::vector<int16_t> x = {1000, -1000, 1000, -1000};
  EXPECT_TRUE(std::isinf(SnrDb(x, x)));
  const std::vector<int16_t> half = {500, -500, 500, -500};
  EXPECT_NEAR(SnrDb(x, half), 20 * std::log10(2.0), 1e-9);
  EXPECT_NEAR(SnrDb(x, {}), 0.0, 1e-9);  // all lost: the error equals the signal
  EXPECT_EQ(SnrDb({0, 0}, {1, 0}), -INFINITY);
}

TEST(FiguresTest, CountsFromObservedDeliveriesAndRenders) {
  StreamResult result;
  result.link.sentData = 10;
  result.link.sentParity = 9;
  result.link.dataBytes = 10 * 168;
  result.link.parityBytes = 9 * 168;
  result.link.deliveredData = 11;       // 9 originals plus two copies
  result.link.deliveredParity = 9;      // 8 distinct plus one copy
  result.parityDelivered = 8;
  result.parityUsed = 1;
  result.sink.received = 9;
  result.sink.rebuilt = 1;
  result.repaired = 1;
  result.sink.lost = 0;
  const FrameLayout layout = FrameLayout::For(16000, 10 * 320);
  constexpr double kIdentical = std::numeric_limits<double>::infinity();
  const Figures f = ComputeFigures(result, kIdentical, kIdentical, layout, 0.1, 0.4);
  const nlohmann::ordered_json report = JsonReport(RunDescription{}, result, f, AllocatorCounters{});
  EXPECT_EQ(report["repaired_from_parity"], 1);
  EXPECT_EQ(f.duplicatesDropped, 2 + 1);
  EXPECT_EQ(f.parityNotNeeded, 8 - 1);
  EXPECT_TRUE(f.identicalToLossless);
  EXPECT_DOUBLE_EQ(f.kbpsDataOnly, 67.2);
  EXPECT_DOUBLE_EQ(f.kbpsWithParity, 67.2 * 19 / 10);
  EXPECT_DOUBLE_EQ(f.speedLibrary, 2.0);
  EXPECT_DOUBLE_EQ(f.speedEndToEnd, 0.5);
  EXPECT_EQ(report["snr_vs_input_db"], nullptr);
}

}  // namespace
}  // namespace zbtest
