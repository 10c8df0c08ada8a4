// The payloader in a harness: one packet per coded frame, a parity frame on its data frame's RTP
// timestamp, the marker after a discontinuity (the depayloader is run by the UDP loopback test);
// and, for every element, the caps it refuses.
#include <gst/check/gstharness.h>
#include <gst/rtp/gstrtpbuffer.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gst/binding/StreamFormat.h"
#include "reference/AdpcmSignals.h"
#include "tests/gst/support/GstTestSupport.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

constexpr const char* kCodedCaps = "audio/x-zbadpcm, rate=16000, channels=1";

TEST(RtpTest, EachFrameTravelsInAPacketOfItsOwn) {
  std::vector<CodedFrame> frames = Encode(adpcm_signals::Speech(6 * 320, 1), kTestRate);
  frames[3].discont = true;  // data frame 2
  GstHarness* harness = gst_harness_new("rtpzbadpcmpay");
  gst_harness_set_src_caps_str(harness, kCodedCaps);
  for (const CodedFrame& frame : frames) {
    GstBuffer* buffer = ToBuffer(frame);
    if (frame.discont) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    gst_harness_push(harness, buffer);
  }
  GstCaps* caps = gst_pad_get_current_caps(harness->sinkpad);
  const GstStructure* structure = gst_caps_get_structure(caps, 0);
  int clockRate = 0;
  EXPECT_TRUE(gst_structure_get_int(structure, "clock-rate", &clockRate));
  EXPECT_EQ(clockRate, kTestRate);
  EXPECT_STREQ(gst_structure_get_string(structure, "encoding-name"), "ZBADPCM");
  gst_caps_unref(caps);

  const std::vector<GstBuffer*> packets = PullAll(harness);
  ASSERT_EQ(packets.size(), frames.size());
  std::vector<uint32_t> timestamps;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    ASSERT_TRUE(gst_rtp_buffer_map(packets[i], GST_MAP_READ, &rtp));
    const auto* payload = static_cast<const uint8_t*>(gst_rtp_buffer_get_payload(&rtp));
    EXPECT_EQ(std::vector<uint8_t>(payload, payload + gst_rtp_buffer_get_payload_len(&rtp)), frames[i].bytes);
    EXPECT_EQ(gst_rtp_buffer_get_marker(&rtp), frames[i].discont ? TRUE : FALSE);
    timestamps.push_back(gst_rtp_buffer_get_timestamp(&rtp));
    gst_rtp_buffer_unmap(&rtp);
    gst_buffer_unref(packets[i]);
  }
  // D0 D1 P1 D2 P2 ...: a parity frame shares its data frame's time; frames are 320 apart.
  for (std::size_t i = 1; i < timestamps.size(); ++i) {
    EXPECT_EQ(timestamps[i] - timestamps[0], (i + 1) / 2 * 320u) << "packet " << i;
  }
  gst_harness_teardown(harness);
}

struct RefusedCaps : NamedRow {
  const char* factory;
  const char* caps;
};

class CapsTest : public ::testing::TestWithParam<RefusedCaps> {};

TEST_P(CapsTest, SinkPadRefusesCaps) {
  InitGstreamer();
  GstElement* element = gst_element_factory_make(GetParam().factory, nullptr);
  ASSERT_NE(element, nullptr);
  GstPad* sink = gst_element_get_static_pad(element, "sink");
  GstCaps* caps = gst_caps_from_string(GetParam().caps);
  EXPECT_FALSE(gst_pad_query_accept_caps(sink, caps));
  gst_caps_unref(caps);
  gst_object_unref(sink);
  gst_object_unref(element);
}

INSTANTIATE_TEST_SUITE_P(
    Refused, CapsTest,
    ::testing::Values(
        RefusedCaps{{"EncoderStereo"}, "zbadpcmenc", "audio/x-raw, format=S16LE, layout=interleaved, rate=16000, channels=2"},
        RefusedCaps{{"EncoderRate44100"}, "zbadpcmenc", "audio/x-raw, format=S16LE, layout=interleaved, rate=44100, channels=1"},
        RefusedCaps{{"DecoderRate11025"}, "zbadpcmdec", "audio/x-zbadpcm, rate=11025, channels=1"},
        RefusedCaps{{"PayloaderStereo"}, "rtpzbadpcmpay", "audio/x-zbadpcm, rate=16000, channels=2"},
        RefusedCaps{{"DepayloaderOtherEncoding"}, "rtpzbadpcmdepay",
                    "application/x-rtp, media=audio, clock-rate=16000, encoding-name=L16"},
        RefusedCaps{{"DepayloaderClockRate22050"}, "rtpzbadpcmdepay",
                    "application/x-rtp, media=audio, clock-rate=22050, encoding-name=ZBADPCM"}),
    RowName());

}  // namespace
}  // namespace zbtest
