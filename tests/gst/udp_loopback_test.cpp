// Two pipelines over a real UDP socket on 127.0.0.1: appsrc -> zbadpcmenc -> rtpzbadpcmpay ->
// udpsink, and udpsrc -> rtpjitterbuffer (do-lost) -> rtpzbadpcmdepay -> zbadpcmdec -> appsink.
// A probe on the payloader drops chosen packets; what parity covers comes out equal to the
// lossless decode, the rest silent, the timestamps whole.
#include <gst/gst.h>
#include <gst/rtp/gstrtpbuffer.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "gst/binding/StreamFormat.h"
#include "reference/AdpcmSignals.h"
#include "tests/gst/support/GstTestSupport.h"

namespace zbtest {
namespace {

constexpr int kFrames = 60;
constexpr GstClockTime kTimeout = 20 * GST_SECOND;

// Frame 10 loses its data, frame 20 both its packets, frames 30 to 32 everything: 30 and 31
// are lost for good, 32 comes back from the pair after it.
const std::set<std::string> kDrops = {"d10", "d20", "p20", "d30", "p30", "d31", "p31", "d32", "p32"};

GstPadProbeReturn DropChosen(GstPad*, GstPadProbeInfo* info, gpointer) {
  GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
  gst_rtp_buffer_map(GST_PAD_PROBE_INFO_BUFFER(info), GST_MAP_READ, &rtp);
  const zbgst::FrameHeader header = zbgst::ReadFrameHeader(static_cast<const uint8_t*>(gst_rtp_buffer_get_payload(&rtp)));
  gst_rtp_buffer_unmap(&rtp);
  const std::string name = (header.parity ? "p" : "d") + std::to_string(header.number);
  return kDrops.count(name) != 0 ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
}

TEST(UdpLoopbackTest, ParityRepairsSingleLossesAcrossARealSocket) {
  InitGstreamer();
  const std::vector<uint8_t> pcm = adpcm_signals::Speech(kFrames * zbgst::SamplesPerFrame(kTestRate), 13);
  Decoded lossless;
  Decode(Encode(pcm, kTestRate), lossless);

  GstElement* receiver = gst_parse_launch(
      "udpsrc name=src port=0 address=127.0.0.1 "
      "caps=\"application/x-rtp, media=audio, clock-rate=16000, encoding-name=ZBADPCM, payload=96\" "
      "! rtpjitterbuffer do-lost=true latency=200 ! rtpzbadpcmdepay ! zbadpcmdec name=dec ! appsink name=sink sync=false",
      nullptr);
  ASSERT_NE(gst_element_set_state(receiver, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  GstElement* udpsrc = gst_bin_get_by_name(GST_BIN(receiver), "src");
  int port = 0;  // bound by the kernel
  g_object_get(udpsrc, "port", &port, nullptr);
  GstElement* sender = gst_parse_launch(
      ("appsrc name=src format=time caps=\"audio/x-raw, format=S16LE, layout=interleaved, rate=16000, channels=1\" "
       "! zbadpcmenc ! rtpzbadpcmpay name=pay pt=96 ! udpsink host=127.0.0.1 port=" + std::to_string(port)).c_str(),
      nullptr);
  GstElement* pay = gst_bin_get_by_name(GST_BIN(sender), "pay");
  GstPad* paySrc = gst_element_get_static_pad(pay, "src");
  gst_pad_add_probe(paySrc, GST_PAD_PROBE_TYPE_BUFFER, DropChosen, nullptr, nullptr);
  ASSERT_NE(gst_element_set_state(sender, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);

  GstElement* appsrc = gst_bin_get_by_name(GST_BIN(sender), "src");
  GstFlowReturn flow = GST_FLOW_OK;
  GstBuffer* all = gst_buffer_new_memdup(pcm.data(), pcm.size());
  GST_BUFFER_PTS(all) = 0;
  g_signal_emit_by_name(appsrc, "push-buffer", all, &flow);
  gst_buffer_unref(all);
  g_signal_emit_by_name(appsrc, "end-of-stream", &flow);
  GstBus* bus = gst_element_get_bus(sender);
  GstMessage* done = gst_bus_timed_pop_filtered(bus, kTimeout, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  ASSERT_TRUE(done != nullptr && GST_MESSAGE_TYPE(done) == GST_MESSAGE_EOS);
  // What is on its way passes the jitter buffer's 200 ms; then the receiver is told to end. Its
  // sink holds the end back until everything has been pulled.
  g_usleep(G_USEC_PER_SEC / 2);
  gst_element_send_event(receiver, gst_event_new_eos());
  Decoded received;
  GstClockTime expected = GST_CLOCK_TIME_NONE;  // the first buffer starts at the receiver's clock
  GstElement* appsink = gst_bin_get_by_name(GST_BIN(receiver), "sink");
  GstSample* sample = nullptr;
  while (g_signal_emit_by_name(appsink, "try-pull-sample", kTimeout, &sample), sample != nullptr) {
    Append(gst_sample_get_buffer(sample), received, expected);
    gst_sample_unref(sample);
  }
  GstElement* dec = gst_bin_get_by_name(GST_BIN(receiver), "dec");
  g_object_get(dec, "stats", &received.stats, nullptr);

  EXPECT_TRUE(received.continuous);
  EXPECT_EQ(received.Stat("frames-rebuilt"), 3u);
  EXPECT_EQ(received.Stat("frames-lost"), 2u);
  ExpectLosslessBut(received.samples, lossless.samples, {30, 31});

  gst_element_set_state(sender, GST_STATE_NULL);
  gst_element_set_state(receiver, GST_STATE_NULL);
  gst_message_unref(done);
  gst_object_unref(bus);
  gst_object_unref(paySrc);
  for (GstElement* element : {dec, appsink, appsrc, pay, udpsrc, sender, receiver}) gst_object_unref(element);
}

}  // namespace
}  // namespace zbtest
