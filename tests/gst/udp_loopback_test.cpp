// Two pipelines over a real UDP socket on 127.0.0.1: appsrc -> zbadpcmenc -> rtpzbadpcmpay ->
// udpsink, and udpsrc -> rtpjitterbuffer (do-lost) -> rtpzbadpcmdepay -> zbadpcmdec -> appsink.
// A probe on the payloader drops chosen packets; what parity covers comes out equal to the
// lossless decode, the rest silent, the timestamps whole.
#include <gio/gio.h>
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
constexpr std::size_t kSamples = zbgst::SamplesPerFrame(kTestRate);
constexpr GstClockTime kTimeout = 20 * GST_SECOND;

// Frame 10 loses its data, frame 20 both its packets, frames 30 to 32 everything: 30 and 31
// are lost for good, 32 comes back from the pair after it.
const std::set<std::string> kDrops = {"d10", "d20", "p20", "d30", "p30", "d31", "p31", "d32", "p32"};

GstPadProbeReturn DropChosen(GstPad*, GstPadProbeInfo* info, gpointer) {
  GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
  if (!gst_rtp_buffer_map(GST_PAD_PROBE_INFO_BUFFER(info), GST_MAP_READ, &rtp)) return GST_PAD_PROBE_OK;
  const zbgst::FrameHeader header = zbgst::ReadFrameHeader(static_cast<const uint8_t*>(gst_rtp_buffer_get_payload(&rtp)));
  gst_rtp_buffer_unmap(&rtp);
  const std::string name = (header.parity ? "p" : "d") + std::to_string(header.number);
  return kDrops.count(name) != 0 ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
}

bool WaitFor(GstElement* pipeline, GstMessageType type) {
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* message =
      gst_bus_timed_pop_filtered(bus, kTimeout, static_cast<GstMessageType>(type | GST_MESSAGE_ERROR));
  const bool ok = message != nullptr && GST_MESSAGE_TYPE(message) == type;
  if (message != nullptr) gst_message_unref(message);
  gst_object_unref(bus);
  return ok;
}

TEST(UdpLoopbackTest, ParityRepairsSingleLossesAcrossARealSocket) {
  InitGstreamer();
  const std::vector<uint8_t> pcm = adpcm_signals::Speech(kFrames * static_cast<int>(kSamples), 13);
  Decoded lossless;
  Decode(Encode(pcm, kTestRate), lossless);

  // The receiver's socket is bound first, so that the sender knows its port.
  GSocket* socket = g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_DATAGRAM, G_SOCKET_PROTOCOL_UDP, nullptr);
  ASSERT_NE(socket, nullptr);
  GInetAddress* loopback = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
  GSocketAddress* any = g_inet_socket_address_new(loopback, 0);
  ASSERT_TRUE(g_socket_bind(socket, any, FALSE, nullptr));
  GSocketAddress* bound = g_socket_get_local_address(socket, nullptr);
  const guint16 port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound));

  GstElement* receiver = gst_parse_launch(
      "udpsrc name=src caps=\"application/x-rtp, media=audio, clock-rate=16000, encoding-name=ZBADPCM, payload=96\" "
      "! rtpjitterbuffer do-lost=true latency=200 ! rtpzbadpcmdepay ! zbadpcmdec name=dec "
      "! appsink name=sink sync=false",
      nullptr);
  ASSERT_NE(receiver, nullptr);
  GstElement* udpsrc = gst_bin_get_by_name(GST_BIN(receiver), "src");
  g_object_set(udpsrc, "socket", socket, nullptr);
  GstElement* sender = gst_parse_launch(
      ("appsrc name=src format=time caps=\"audio/x-raw, format=S16LE, layout=interleaved, rate=16000, channels=1\" "
       "! zbadpcmenc ! rtpzbadpcmpay name=pay pt=96 ! udpsink host=127.0.0.1 port=" + std::to_string(port))
          .c_str(),
      nullptr);
  ASSERT_NE(sender, nullptr);
  GstElement* pay = gst_bin_get_by_name(GST_BIN(sender), "pay");
  GstPad* paySrc = gst_element_get_static_pad(pay, "src");
  gst_pad_add_probe(paySrc, GST_PAD_PROBE_TYPE_BUFFER, DropChosen, nullptr, nullptr);

  ASSERT_NE(gst_element_set_state(receiver, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  ASSERT_NE(gst_element_set_state(sender, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  GstElement* appsrc = gst_bin_get_by_name(GST_BIN(sender), "src");
  const std::size_t frameBytes = zbgst::PcmBytesPerFrame(kTestRate);
  for (int n = 0; n < kFrames; ++n) {
    GstBuffer* buffer = gst_buffer_new_memdup(pcm.data() + n * frameBytes, frameBytes);
    GST_BUFFER_PTS(buffer) = n * zbgst::kFrameDuration;
    GST_BUFFER_DURATION(buffer) = zbgst::kFrameDuration;
    GstFlowReturn flow = GST_FLOW_OK;
    g_signal_emit_by_name(appsrc, "push-buffer", buffer, &flow);
    gst_buffer_unref(buffer);
  }
  GstFlowReturn flow = GST_FLOW_OK;
  g_signal_emit_by_name(appsrc, "end-of-stream", &flow);
  ASSERT_TRUE(WaitFor(sender, GST_MESSAGE_EOS));
  // What is on its way passes the jitter buffer's 200 ms; then the receiver is told to end.
  g_usleep(G_USEC_PER_SEC / 2);
  gst_element_send_event(receiver, gst_event_new_eos());

  // The sink holds the end of the stream back until everything has been pulled.
  std::vector<int16_t> received;
  GstElement* appsink = gst_bin_get_by_name(GST_BIN(receiver), "sink");
  GstClockTime expected = GST_CLOCK_TIME_NONE;  // the first buffer starts at the receiver's clock
  bool continuous = true;
  for (;;) {
    GstSample* sample = nullptr;
    g_signal_emit_by_name(appsink, "try-pull-sample", kTimeout, &sample);
    if (sample == nullptr) break;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    continuous = continuous && (expected == GST_CLOCK_TIME_NONE || GST_BUFFER_PTS(buffer) == expected);
    expected = GST_BUFFER_PTS(buffer) + GST_BUFFER_DURATION(buffer);
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_READ);
    const auto* samples = reinterpret_cast<const int16_t*>(map.data);
    received.insert(received.end(), samples, samples + map.size / sizeof(int16_t));
    gst_buffer_unmap(buffer, &map);
    gst_sample_unref(sample);
  }
  gboolean ended = FALSE;
  g_object_get(appsink, "eos", &ended, nullptr);
  ASSERT_TRUE(ended);
  GstStructure* stats = nullptr;
  GstElement* dec = gst_bin_get_by_name(GST_BIN(receiver), "dec");
  g_object_get(dec, "stats", &stats, nullptr);
  guint64 rebuilt = 0;
  guint64 lost = 0;
  gst_structure_get_uint64(stats, "frames-rebuilt", &rebuilt);
  gst_structure_get_uint64(stats, "frames-lost", &lost);

  EXPECT_TRUE(continuous);
  EXPECT_EQ(rebuilt, 3u);
  EXPECT_EQ(lost, 2u);
  ASSERT_EQ(received.size(), lossless.samples.size());
  for (int n = 0; n < kFrames; ++n) {
    const auto got = received.begin() + n * static_cast<std::ptrdiff_t>(kSamples);
    if (n == 30 || n == 31) {
      EXPECT_TRUE(std::all_of(got, got + kSamples, [](int16_t s) { return s == 0; })) << "frame " << n;
    } else {
      EXPECT_TRUE(std::equal(got, got + kSamples, lossless.samples.begin() + n * static_cast<std::ptrdiff_t>(kSamples)))
          << "frame " << n;
    }
  }

  gst_structure_free(stats);
  gst_element_set_state(sender, GST_STATE_NULL);
  gst_element_set_state(receiver, GST_STATE_NULL);
  for (GstElement* element : {dec, appsink, appsrc, pay, udpsrc}) gst_object_unref(element);
  gst_object_unref(paySrc);
  gst_object_unref(sender);
  gst_object_unref(receiver);
  g_object_unref(bound);
  g_object_unref(any);
  g_object_unref(loopback);
  g_object_unref(socket);
}

}  // namespace
}  // namespace zbtest
