// zbadpcmenc in a harness: data and parity frames at each rate, the default mode, and what a break
// in the input (a time gap, a DISCONT buffer, a flush, the end of the stream) does to numbers and
// parity.
#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gst/binding/StreamFormat.h"
#include "reference/AdpcmSignals.h"
#include "tests/gst/support/GstTestSupport.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

constexpr int kFrames = 12;

class EncoderRateTest : public ::testing::TestWithParam<int> {};

// Each data frame n is followed by parity frame n, the XOR of data frames n - 1 and n, with
// data frame n's number and times.
TEST_P(EncoderRateTest, EachDataFrameIsFollowedByItsParityFrame) {
  const int rate = GetParam();
  const std::vector<CodedFrame> frames =
      Encode(adpcm_signals::Speech(kFrames * zbgst::SamplesPerFrame(rate), 7), rate);
  ASSERT_EQ(frames.size(), 2u * kFrames - 1);
  for (int n = 0; n < kFrames; ++n) {
    const CodedFrame& data = frames[n == 0 ? 0 : 2 * n - 1];
    EXPECT_FALSE(data.parity);
    EXPECT_EQ(data.number, static_cast<uint32_t>(n));
    EXPECT_EQ(data.pts, n * zbgst::kFrameDuration);
    EXPECT_EQ(data.bytes.size(), zbgst::kFrameHeaderBytes + zbgst::CodedBytesPerFrame(rate));
    if (n == 0) continue;
    const CodedFrame& previous = frames[n == 1 ? 0 : 2 * n - 3];
    const CodedFrame& parity = frames[2 * n];
    ASSERT_TRUE(parity.parity);
    EXPECT_EQ(parity.number, data.number);
    EXPECT_EQ(parity.pts, data.pts);
    ASSERT_EQ(parity.bytes.size(), data.bytes.size());
    for (std::size_t i = zbgst::kFrameHeaderBytes; i < data.bytes.size(); ++i) {
      ASSERT_EQ(parity.bytes[i], previous.bytes[i] ^ data.bytes[i]) << "frame " << n << " byte " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, EncoderRateTest, ::testing::Values(8000, 16000, 48000));

// Unless `mode` is set, the element codes with the search encoder, not the library's default.
TEST(EncoderTest, DefaultModeIsTheSearchEncoder) {
  const std::vector<uint8_t> pcm = adpcm_signals::Speech(kFrames * 320, 5);
  const std::vector<CodedFrame> byDefault = Encode(pcm, kTestRate);
  const std::vector<CodedFrame> search = Encode(pcm, kTestRate, true, "search");
  const std::vector<CodedFrame> specified = Encode(pcm, kTestRate, true, "specified");
  ASSERT_EQ(byDefault.size(), search.size());
  bool differsFromSpecified = false;
  for (std::size_t i = 0; i < byDefault.size(); ++i) {
    EXPECT_EQ(byDefault[i].bytes, search[i].bytes) << "frame " << i;
    differsFromSpecified = differsFromSpecified || byDefault[i].bytes != specified[i].bytes;
  }
  EXPECT_TRUE(differsFromSpecified);
  // The deeper search reaches the library as a mode of its own.
  const std::vector<CodedFrame> deep = Encode(pcm, kTestRate, true, "search-deep");
  ASSERT_EQ(deep.size(), search.size());
  bool differsFromSearch = false;
  for (std::size_t i = 0; i < deep.size(); ++i) differsFromSearch = differsFromSearch || deep[i].bytes != search[i].bytes;
  EXPECT_TRUE(differsFromSearch);
}

TEST(EncoderTest, ParityOffSendsDataFramesOnly) {
  const std::vector<CodedFrame> frames = Encode(adpcm_signals::Speech(kFrames * 320, 3), kTestRate, false);
  ASSERT_EQ(frames.size(), static_cast<std::size_t>(kFrames));
  for (const CodedFrame& frame : frames) EXPECT_FALSE(frame.parity);
}

// What comes between two runs of six frames.
enum class Break { kTimeGap, kDiscontFlag, kFlush };

struct BreakCase : NamedRow {
  Break what;
  uint32_t firstNumberAfter;  // the data frame number after the break
};

class EncoderBreakTest : public ::testing::TestWithParam<BreakCase> {};

// After a break no parity frame pairs a frame before it with one after it, and the numbers
// follow time: a one-second gap skips fifty.
TEST_P(EncoderBreakTest, NoParityFrameSpansABreak) {
  InitGstreamer();
  const BreakCase& row = GetParam();
  GstHarness* harness = gst_harness_new("zbadpcmenc");
  gst_harness_set_src_caps_str(harness, "audio/x-raw, format=S16LE, layout=interleaved, channels=1, rate=16000");
  const std::vector<uint8_t> pcm = adpcm_signals::Speech(2 * 6 * 320, 5);
  GstClockTime pts = 0;
  for (int n = 0; n < 12; ++n) {
    if (n == 6 && row.what == Break::kTimeGap) pts += GST_SECOND;
    if (n == 6 && row.what == Break::kFlush) {
      gst_harness_push_event(harness, gst_event_new_flush_start());
      gst_harness_push_event(harness, gst_event_new_flush_stop(TRUE));
      GstSegment segment;
      gst_segment_init(&segment, GST_FORMAT_TIME);
      gst_harness_push_event(harness, gst_event_new_segment(&segment));
    }
    GstBuffer* buffer = gst_buffer_new_memdup(pcm.data() + n * 640, 640);
    GST_BUFFER_PTS(buffer) = pts;
    if (n == 6 && row.what == Break::kDiscontFlag) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    gst_harness_push(harness, buffer);
    pts += zbgst::kFrameDuration;
  }
  std::vector<CodedFrame> frames;
  for (GstBuffer* buffer : PullAll(harness)) {
    frames.push_back(ToCodedFrame(buffer));
    gst_buffer_unref(buffer);
  }
  gst_harness_teardown(harness);

  std::vector<uint32_t> data;
  std::vector<uint32_t> parity;
  for (const CodedFrame& frame : frames) (frame.parity ? parity : data).push_back(frame.number);
  ASSERT_EQ(data.size(), 12u);
  EXPECT_EQ(data[6], row.firstNumberAfter);
  for (int n = 7; n < 12; ++n) EXPECT_EQ(data[n], data[n - 1] + 1);
  const std::vector<uint32_t> expectedParity = {1, 2, 3, 4, 5, data[7], data[8], data[9], data[10], data[11]};
  EXPECT_EQ(parity, expectedParity);
}

INSTANTIATE_TEST_SUITE_P(Breaks, EncoderBreakTest,
                         ::testing::Values(BreakCase{{"TimeGapOfOneSecond"}, Break::kTimeGap, 56},
                                           BreakCase{{"DiscontFlag"}, Break::kDiscontFlag, 6},
                                           BreakCase{{"Flush"}, Break::kFlush, 6}),
                         RowName());

// The end of the stream codes the part-frame left over, padded, lasting only its own samples.
TEST(EncoderTest, EndOfStreamCodesTheRemainder) {
  const std::vector<CodedFrame> frames = Encode(adpcm_signals::Speech(320 + 160, 9), kTestRate);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[1].duration, zbgst::kFrameDuration / 2);
  EXPECT_TRUE(frames[2].parity);
}

}  // namespace
}  // namespace zbtest
