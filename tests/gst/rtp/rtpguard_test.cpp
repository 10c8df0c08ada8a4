// zbrtpguard in a harness: which packets of a scripted sequence pass, in which order, with stray
// packets, jumps that a later packet follows, reordering and what is not RTP.
#include <gst/check/gstharness.h>
#include <gst/rtp/gstrtpbuffer.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/gst/support/GstTestSupport.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

constexpr guint32 kSsrc = 0x1234;
constexpr guint32 kOtherSsrc = 0x9876;
constexpr guint32 kTicksPerPacket = 320;  // 20 ms at 16 kHz
constexpr guint32 kTenSeconds = 160000;

// One scripted packet; `ssrc` 0 stands for bytes that are not an RTP packet.
struct Packet {
  guint32 ssrc;
  guint16 seq;
  guint32 timestamp;
};

// Packet n of a stream that started at sequence number `seq0` and timestamp `ts0`.
Packet Nth(guint32 ssrc, guint16 seq0, guint32 ts0, int n) {
  return Packet{ssrc, static_cast<guint16>(seq0 + n), ts0 + static_cast<guint32>(n) * kTicksPerPacket};
}
Packet A(int n) { return Nth(kSsrc, 100, 5000, n); }
constexpr Packet kNotRtp{0, 0, 0};

struct GuardCase : NamedRow {
  std::vector<Packet> in;
  std::vector<int> passed;  // positions in `in` of the packets that pass, in the order they leave
};

class RtpGuardTest : public ::testing::TestWithParam<GuardCase> {};

TEST_P(RtpGuardTest, PassesTheFollowedStream) {
  const GuardCase& row = GetParam();
  InitGstreamer();
  GstHarness* harness = gst_harness_new("zbrtpguard");
  gst_harness_set_src_caps_str(harness, "application/x-rtp, media=audio, clock-rate=16000, payload=96");
  for (std::size_t i = 0; i < row.in.size(); ++i) {
    const Packet& packet = row.in[i];
    if (packet.ssrc == 0) {
      gst_harness_push(harness, gst_buffer_new_memdup("not rtp", 7));
      continue;
    }
    // The payload's one byte tells the packet's position.
    GstBuffer* buffer = gst_rtp_buffer_new_allocate(1, 0, 0);
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    gst_rtp_buffer_map(buffer, GST_MAP_WRITE, &rtp);
    gst_rtp_buffer_set_payload_type(&rtp, 96);
    gst_rtp_buffer_set_ssrc(&rtp, packet.ssrc);
    gst_rtp_buffer_set_seq(&rtp, packet.seq);
    gst_rtp_buffer_set_timestamp(&rtp, packet.timestamp);
    *static_cast<guint8*>(gst_rtp_buffer_get_payload(&rtp)) = static_cast<guint8>(i);
    gst_rtp_buffer_unmap(&rtp);
    gst_harness_push(harness, buffer);
  }
  gst_harness_push_event(harness, gst_event_new_eos());

  std::vector<int> passed;
  for (GstBuffer* buffer : PullAll(harness)) {
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    ASSERT_TRUE(gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp));
    passed.push_back(*static_cast<const guint8*>(gst_rtp_buffer_get_payload(&rtp)));
    gst_rtp_buffer_unmap(&rtp);
    gst_buffer_unref(buffer);
  }
  EXPECT_EQ(passed, row.passed);
  GstStructure* stats = nullptr;
  g_object_get(harness->element, "stats", &stats, nullptr);
  guint64 counted = 0;
  EXPECT_TRUE(gst_structure_get_uint64(stats, "packets-passed", &counted));
  EXPECT_EQ(counted, row.passed.size());
  gst_structure_free(stats);
  gst_harness_teardown(harness);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, RtpGuardTest,
    ::testing::Values(
        // The first packet waits for the second to follow it.
        GuardCase{{"StreamStarts"}, {A(0), A(1), A(2)}, {0, 1, 2}},
        GuardCase{{"SequenceJumpNotFollowed"}, {A(0), A(1), A(2), A(5000), A(3), A(4)}, {0, 1, 2, 4, 5}},
        // Sequence numbers go on, the timestamp jumps ten seconds: a header-only stray.
        GuardCase{{"TimestampJumpNotFollowed"},
                  {A(0), A(1), A(2), Packet{kSsrc, A(3).seq, A(3).timestamp + kTenSeconds}, A(4)},
                  {0, 1, 2, 4}},
        GuardCase{{"OtherSsrcNotFollowed"}, {A(0), A(1), Nth(kOtherSsrc, 102, 5640, 0), A(2)}, {0, 1, 3}},
        // Two strays in a row that do not follow each other.
        GuardCase{{"TwoStraysInARow"}, {A(0), A(1), A(30000), A(9000), A(2)}, {0, 1, 4}},
        // A sender that restarts, far away in numbers and time, is followed from its first packet.
        GuardCase{{"RestartFollowed"},
                  {A(0), A(1), A(2), Nth(kSsrc, 40000, 900000, 0), Nth(kSsrc, 40000, 900000, 1),
                   Nth(kSsrc, 40000, 900000, 2)},
                  {0, 1, 2, 3, 4, 5}},
        // Strays between the first two packets of a restarted sender.
        GuardCase{{"RestartBetweenStrays"},
                  {A(0), A(1), A(2), Nth(kSsrc, 40000, 900000, 0), A(20000), A(30000), A(25000),
                   Nth(kSsrc, 40000, 900000, 1)},
                  {0, 1, 2, 3, 7}},
        // A stray waits for four packets and then is dropped: its successor finds nothing held.
        GuardCase{{"StrayWaitsFourPackets"}, {A(0), A(1), A(5000), A(2), A(3), A(4), A(5), A(5001)},
                  {0, 1, 3, 4, 5, 6}},
        GuardCase{{"SsrcChangeFollowed"},
                  {A(0), A(1), Nth(kOtherSsrc, 7, 77, 0), Nth(kOtherSsrc, 7, 77, 1)},
                  {0, 1, 2, 3}},
        // An outage longer than the windows: the first packet after it waits for the next.
        GuardCase{{"LongOutageFollowed"}, {A(0), A(1), A(500), A(501), A(502)}, {0, 1, 2, 3, 4}},
        // Reordered and duplicated packets within the windows pass; the jitter buffer sorts them.
        GuardCase{{"ReorderedAndDuplicated"}, {A(0), A(1), A(3), A(2), A(2), A(4)}, {0, 1, 2, 3, 4, 5}},
        GuardCase{{"SequenceWraps"},
                  {Nth(kSsrc, 65534, 0, 0), Nth(kSsrc, 65534, 0, 1), Nth(kSsrc, 65534, 0, 2),
                   Nth(kSsrc, 65534, 0, 3)},
                  {0, 1, 2, 3}},
        GuardCase{{"NotRtpDropped"}, {A(0), A(1), kNotRtp, A(2)}, {0, 1, 3}},
        // A packet still held at the end of the stream is never followed.
        GuardCase{{"HeldAtTheEndDropped"}, {A(0), A(1), A(700)}, {0, 1}}),
    RowName());

}  // namespace
}  // namespace zbtest
