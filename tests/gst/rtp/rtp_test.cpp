// The payloader in a harness: one packet per coded frame, a parity frame on its data frame's RTP
// timestamp, the marker after a discontinuity, the sending order `parity-delay` makes; the
// depayloader refusing payloads that are not one frame; and, for every element, the caps it
// refuses.
#include <gst/check/gstharness.h>
#include <gst/rtp/gstrtpbuffer.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "gst/binding/StreamFormat.h"
#include "gst/rtp/RtpZbAdpcmPay.h"
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

// A packet's name as the tables below write it: "d3" for data frame 3, "p3" for its parity frame.
std::string PacketName(bool parity, uint32_t number) { return (parity ? "p" : "d") + std::to_string(number); }

struct DelayCase : NamedRow {
  guint delay;
  int discontAt;         // the data frame that starts a discontinuity, or -1
  const char* expected;  // the packets in the order they leave, the end of the stream last
};

class ParityDelayTest : public ::testing::TestWithParam<DelayCase> {};

// Each parity frame leaves after the data frame `delay` numbers past its own; a discontinuity
// and the end of the stream send what is held. Every packet is the one an undelayed payloader
// sends: the same payload, a parity frame on its data frame's timestamp.
TEST_P(ParityDelayTest, ParityFramesLeaveDelayFramesLate) {
  const DelayCase& row = GetParam();
  std::vector<CodedFrame> frames = Encode(adpcm_signals::Speech(6 * 320, 3), kTestRate);
  GstHarness* harness = gst_harness_new("rtpzbadpcmpay");
  g_object_set(harness->element, "parity-delay", row.delay, nullptr);
  gst_harness_set_src_caps_str(harness, kCodedCaps);
  std::map<std::string, const CodedFrame*> byName;
  for (const CodedFrame& frame : frames) {
    byName[PacketName(frame.parity, frame.number)] = &frame;
    GstBuffer* buffer = ToBuffer(frame);
    if (!frame.parity && static_cast<int>(frame.number) == row.discontAt) {
      GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    }
    gst_harness_push(harness, buffer);
  }
  gst_harness_push_event(harness, gst_event_new_eos());

  std::string order;
  std::map<std::string, uint32_t> timestamps;
  for (GstBuffer* packet : PullAll(harness)) {
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    ASSERT_TRUE(gst_rtp_buffer_map(packet, GST_MAP_READ, &rtp));
    const auto* payload = static_cast<const uint8_t*>(gst_rtp_buffer_get_payload(&rtp));
    const zbgst::FrameHeader header = zbgst::ReadFrameHeader(payload);
    const std::string name = PacketName(header.parity, header.number);
    order += (order.empty() ? "" : " ") + name;
    ASSERT_EQ(byName.count(name), 1u) << name;
    EXPECT_EQ(std::vector<uint8_t>(payload, payload + gst_rtp_buffer_get_payload_len(&rtp)), byName[name]->bytes);
    EXPECT_EQ(gst_rtp_buffer_get_marker(&rtp) != FALSE, !header.parity && static_cast<int>(header.number) == row.discontAt);
    timestamps[name] = gst_rtp_buffer_get_timestamp(&rtp);
    gst_rtp_buffer_unmap(&rtp);
    gst_buffer_unref(packet);
  }
  gst_harness_teardown(harness);
  EXPECT_EQ(order, row.expected);
  for (uint32_t n = 1; n < 6; ++n) EXPECT_EQ(timestamps[PacketName(true, n)], timestamps[PacketName(false, n)]);
}

INSTANTIATE_TEST_SUITE_P(
    Delays, ParityDelayTest,
    ::testing::Values(
        // Each parity frame right after its data frame, as without the property.
        DelayCase{{"None"}, 0, -1, "d0 d1 p1 d2 p2 d3 p3 d4 p4 d5 p5"},
        DelayCase{{"OneFrame"}, 1, -1, "d0 d1 d2 p1 d3 p2 d4 p3 d5 p4 p5"},
        DelayCase{{"TwoFrames"}, 2, -1, "d0 d1 d2 d3 p1 d4 p2 d5 p3 p4 p5"},
        // Longer than the stream: every parity frame waits for its end.
        DelayCase{{"Longest"}, zbgst::kMaxParityDelay, -1, "d0 d1 d2 d3 d4 d5 p1 p2 p3 p4 p5"},
        // What is held leaves before the marked packet, not after it.
        DelayCase{{"TwoFramesAcrossADiscontinuity"}, 2, 4, "d0 d1 d2 d3 p1 p2 p3 d4 d5 p4 p5"}),
    RowName());

struct PayloadCase : NamedRow {
  std::size_t payloadBytes;
  bool marker;
  bool taken;
};

class DepayloadTest : public ::testing::TestWithParam<PayloadCase> {};

// Only a payload of one frame header and one frame at the stream's rate leaves the
// depayloader; everything else is counted as invalid. A marked packet leaves marked.
TEST_P(DepayloadTest, TakesOnlyWholeFrames) {
  const PayloadCase& row = GetParam();
  InitGstreamer();
  GstHarness* harness = gst_harness_new("rtpzbadpcmdepay");
  gst_harness_set_src_caps_str(harness,
                               "application/x-rtp, media=audio, clock-rate=16000, encoding-name=ZBADPCM, payload=96");
  GstBuffer* packet = gst_rtp_buffer_new_allocate(static_cast<guint>(row.payloadBytes), 0, 0);
  GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
  gst_rtp_buffer_map(packet, GST_MAP_WRITE, &rtp);
  gst_rtp_buffer_set_payload_type(&rtp, 96);
  gst_rtp_buffer_set_marker(&rtp, row.marker);
  auto* payload = static_cast<uint8_t*>(gst_rtp_buffer_get_payload(&rtp));
  for (std::size_t i = 0; i < row.payloadBytes; ++i) payload[i] = static_cast<uint8_t>(i * 37);
  gst_rtp_buffer_unmap(&rtp);
  gst_harness_push(harness, packet);

  const std::vector<GstBuffer*> out = PullAll(harness);
  ASSERT_EQ(out.size(), row.taken ? 1u : 0u);
  for (GstBuffer* buffer : out) {
    EXPECT_EQ(gst_buffer_get_size(buffer), row.payloadBytes);
    EXPECT_EQ(GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_MARKER), row.marker);
    gst_buffer_unref(buffer);
  }
  GstStructure* stats = nullptr;
  g_object_get(harness->element, "stats", &stats, nullptr);
  guint64 invalid = 0;
  guint64 taken = 0;
  EXPECT_TRUE(gst_structure_get_uint64(stats, "packets-invalid", &invalid));
  EXPECT_TRUE(gst_structure_get_uint64(stats, "packets-taken", &taken));
  EXPECT_EQ(invalid, row.taken ? 0u : 1u);
  EXPECT_EQ(taken, row.taken ? 1u : 0u);
  gst_structure_free(stats);
  gst_harness_teardown(harness);
}

constexpr std::size_t kPayload16k = zbgst::kFrameHeaderBytes + zbgst::CodedBytesPerFrame(kTestRate);

INSTANTIATE_TEST_SUITE_P(
    Payloads, DepayloadTest,
    ::testing::Values(PayloadCase{{"WholeFrame"}, kPayload16k, false, true},
                      PayloadCase{{"WholeFrameMarked"}, kPayload16k, true, true},
                      PayloadCase{{"Empty"}, 0, false, false},
                      PayloadCase{{"PartOfTheHeader"}, 3, false, false},
                      PayloadCase{{"HeaderOnly"}, zbgst::kFrameHeaderBytes, false, false},
                      PayloadCase{{"OneByteShort"}, kPayload16k - 1, false, false},
                      PayloadCase{{"OneByteLong"}, kPayload16k + 1, false, false},
                      // A whole frame at 8 kHz, in a 16 kHz stream.
                      PayloadCase{{"FrameOfAnotherRate"}, zbgst::kFrameHeaderBytes + zbgst::CodedBytesPerFrame(8000),
                                  false, false}),
    RowName());

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
                    "application/x-rtp, media=audio, clock-rate=22050, encoding-name=ZBADPCM"},
        RefusedCaps{{"GuardNotRtp"}, "zbrtpguard", "audio/x-zbadpcm, rate=16000, channels=1"}),
    RowName());

}  // namespace
}  // namespace zbtest
