// What the plot keeps while streaming: tracks that stay bounded and lose no extreme, pixel
// columns that show the share of frames touched and the median and worst SNR, and the ranges
// --plot-range takes or refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "host/report/Plot.h"
#include "tests/support/CaseNames.h"

// fontconfig, which cairo draws text through, keeps its configuration and font cache for the
// life of the process, by design: LeakSanitizer is told so (see tests/host/lsan.supp).
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

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

constexpr int kPixels = 1010;  // the plot's width in pixel columns

struct SummaryCase : NamedRow {
  int64_t frames;
  int64_t period;        // every period-th frame, from frame 0, comes out as below
  FrameOutcome outcome;
  double snrDb;          // against the lossless decode; the others are identical
  double firstShare;     // the first pixel column's share of such frames
  double maxShare;       // no column's share is above this
  double firstMedianDb;  // NaN: the column has no SNR
  double firstWorstDb;
};

class PlotSummaryTest : public testing::TestWithParam<SummaryCase> {};

TEST_P(PlotSummaryTest, ShadesByShareAndKeepsMedianAndWorst) {
  const SummaryCase& c = GetParam();
  PlotTrace trace({"parity"}, std::nullopt);
  FrameView view;
  view.columns.resize(1);
  view.lossless.resize(1);
  std::vector<FrameRow> rows(1);
  for (int64_t frame = 0; frame < c.frames; ++frame) {
    view.index = static_cast<int32_t>(frame);
    const bool touched = frame % c.period == 0;
    rows[0].outcome = touched ? c.outcome : FrameOutcome::Received;
    rows[0].snrDb = touched ? c.snrDb : std::numeric_limits<double>::infinity();
    trace.Add(view, rows);
  }
  const std::vector<PixelSummary> pixels = Summarise(trace.columns()[0], trace.frames(), kPixels);
  ASSERT_EQ(pixels.size(), static_cast<size_t>(kPixels));
  const size_t kind = static_cast<size_t>(c.outcome == FrameOutcome::Lost ? PlotKind::Unrecovered
                                                                         : PlotKind::Concealed);
  EXPECT_NEAR(pixels[0].share[kind], c.firstShare, 0.01);
  EXPECT_NEAR(pixels[0].lostShare, c.firstShare, 0.01);
  for (const PixelSummary& pixel : pixels) EXPECT_LE(pixel.share[kind], c.maxShare);
  if (std::isnan(c.firstMedianDb)) {
    EXPECT_FALSE(pixels[0].medianDb);
    return;
  }
  ASSERT_TRUE(pixels[0].medianDb && pixels[0].worstDb);
  EXPECT_DOUBLE_EQ(*pixels[0].medianDb, c.firstMedianDb);
  EXPECT_DOUBLE_EQ(*pixels[0].worstDb, c.firstWorstDb);
}

constexpr double kNoSnr = std::numeric_limits<double>::quiet_NaN();
INSTANTIATE_TEST_SUITE_P(
    Columns, PlotSummaryTest,
    testing::Values(
        // An hour with one frame in ten lost: each column a tenth shaded, its median frame
        // identical (on top), its worst the lost frame's.
        SummaryCase{"HourOfOneInTenLost", 180000, 10, FrameOutcome::Lost, 0.0, 0.1, 0.11, 60, 0},
        // Ten seconds, about two columns a frame: the concealed frame shaded whole, its
        // SNR its 1 dB bin's middle as median and exact as worst.
        SummaryCase{"TenSecondsOneConcealed", 500, 500, FrameOutcome::Concealed, -5.0, 1, 1, -4.5, -5},
        // A lost frame whose lossless decode was silent has no SNR to draw.
        SummaryCase{"SilentReferenceHasNoSnr", 500, 1, FrameOutcome::Lost,
                    -std::numeric_limits<double>::infinity(), 1, 1, kNoSnr, kNoSnr}),
    RowName());

struct FormatCase : NamedRow {
  PlotFormat format;
};

class PlotDrawTest : public testing::TestWithParam<FormatCase> {};

// A file name need not be valid UTF-8; the picture's text must be, or cairo refuses to draw
// it and an SVG is not XML.
TEST_P(PlotDrawTest, DrawsAnInputWhoseNameIsNotUtf8) {
  RunDescription run;
  run.input = "bad\xff.wav";
  PlotTrace trace({"parity"}, std::nullopt);
  FrameView view;
  view.columns.resize(1);
  view.lossless.resize(1);
  trace.Add(view, std::vector<FrameRow>(1));
  std::string picture;
  ASSERT_NO_THROW(picture = DrawPlot(run, trace, GetParam().format, "plot"));
  if (GetParam().format == PlotFormat::Svg) {
    EXPECT_NO_THROW(nlohmann::json(picture).dump()) << "the SVG is not valid UTF-8";
    EXPECT_NE(picture.find("<svg"), std::string::npos);
  } else {
    EXPECT_EQ(picture.rfind("\x89PNG\r\n\x1a\n", 0), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, PlotDrawTest,
                         testing::Values(FormatCase{"Svg", PlotFormat::Svg},
                                         FormatCase{"Png", PlotFormat::Png}),
                         RowName());

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
