// What the plot keeps while streaming: tracks that stay bounded and lose no extreme, and the
// ranges --plot-range takes or refuses.
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/report/Plot.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

using namespace zbhost;

TEST(PlotTrackTest, MergesPairsWhenFullAndKeepsEveryExtreme) {
  constexpr int64_t kItems = 100000;  // many times the bucket limit
  Track track;
  for (int64_t i = 0; i < kItems; ++i) track.Add(i == 777 ? -5.0F : i == 99000 ? 9.0F : 1.0F);
  const std::vector<Track::Bucket>& buckets = track.buckets();
  EXPECT_LE(buckets.size() * static_cast<size_t>(track.span()), static_cast<size_t>(2 * kItems));
  EXPECT_GT(track.span(), 1);
  double sum = 0;
  int64_t count = 0;
  for (const Track::Bucket& bucket : buckets) {
    sum += bucket.sum;
    count += bucket.count;
  }
  EXPECT_EQ(count, kItems);
  EXPECT_DOUBLE_EQ(sum, kItems - 2 - 5 + 9);
  EXPECT_EQ(buckets[static_cast<size_t>(777 / track.span())].low, -5.0F);
  EXPECT_EQ(buckets[static_cast<size_t>(99000 / track.span())].high, 9.0F);
}

struct RangeCase : NamedRow {
  const char* text;
  double start;  // < 0: refused
  double end;
};

class PlotRangeTest : public testing::TestWithParam<RangeCase> {};

TEST_P(PlotRangeTest, ParsesSecondsAndMinutesOrRefuses) {
  const RangeCase& c = GetParam();
  if (c.start < 0) {
    EXPECT_THROW(ParsePlotRange(c.text), std::invalid_argument);
    return;
  }
  const PlotRange range = ParsePlotRange(c.text);
  EXPECT_DOUBLE_EQ(range.start, c.start);
  EXPECT_DOUBLE_EQ(range.end, c.end);
}

INSTANTIATE_TEST_SUITE_P(Ranges, PlotRangeTest,
                         testing::Values(RangeCase{"Seconds", "90-120.5", 90, 120.5},
                                         RangeCase{"Minutes", "1:30-2:00", 90, 120},
                                         RangeCase{"Mixed", "0-1:00", 0, 60},
                                         RangeCase{"Backwards", "20-10", -1, 0},
                                         RangeCase{"Empty", "20-20", -1, 0},
                                         RangeCase{"NoDash", "20", -1, 0},
                                         RangeCase{"SixtySeconds", "1:60-2:00", -1, 0},
                                         RangeCase{"NotANumber", "a-b", -1, 0}),
                         RowName());

}  // namespace
}  // namespace zbtest
