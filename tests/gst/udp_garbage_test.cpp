// A real stream over UDP on 127.0.0.1 with garbage datagrams sent to the receiver's port between
// its packets: nothing, a few bytes, random bytes, 1.5 to 65 kB, RTP headers with random fields
// and payloads, wrong payload types, bad padding, and header-only packets with the stream's SSRC
// and payload type but random sequence numbers and timestamps. The receiver, guarded by
// zbrtpguard on plain RTP or by SRTP's authentication, reaches the end of the stream with every
// frame equal to the lossless decode.
#include <gio/gio.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "gst/binding/StreamFormat.h"
#include "reference/AdpcmSignals.h"
#include "tests/gst/support/GstTestSupport.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

constexpr int kFrames = 100;
constexpr GstClockTime kTimeout = 10 * GST_SECOND;
constexpr guint32 kSsrc = 0x5A0B0001;
constexpr int kPayloadType = 96;
constexpr std::size_t kRtpHeaderBytes = 12;
constexpr std::size_t kSsrcOffset = 8;  // in the RTP header, big-endian
constexpr std::size_t kLargestDatagram = 65507;  // IPv4 UDP
constexpr std::size_t kMtu = 1500;
constexpr int kGarbagePerPacket = 3;
constexpr unsigned kGarbageSeed = 2026;
constexpr guint8 kRtpVersion2 = 0x80;
constexpr guint8 kPaddingBit = 0x20;
// 30 bytes, for AES-128-ICM with HMAC-SHA1-80: a 16-byte key and a 14-byte salt.
constexpr const char* kSrtpKey = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D";

using Bytes = std::vector<guint8>;
using Rng = std::mt19937;

Bytes RandomBytes(Rng& rng, std::size_t size) {
  Bytes bytes(size);
  for (guint8& byte : bytes) byte = static_cast<guint8>(rng());
  return bytes;
}

std::size_t Between(Rng& rng, std::size_t low, std::size_t high) {
  return std::uniform_int_distribution<std::size_t>(low, high)(rng);
}

// An RTP header with the given first byte, payload type, and random sequence number and
// timestamp, then `payload`.
Bytes RtpPacket(Rng& rng, guint8 first, int payloadType, guint32 ssrc, const Bytes& payload) {
  Bytes packet = RandomBytes(rng, kRtpHeaderBytes);
  packet[0] = first;
  packet[1] = static_cast<guint8>(payloadType);
  for (std::size_t i = 0; i < sizeof ssrc; ++i) {
    packet[kSsrcOffset + i] = static_cast<guint8>(ssrc >> (8 * (sizeof ssrc - 1 - i)));
  }
  packet.insert(packet.end(), payload.begin(), payload.end());
  return packet;
}

// The kinds of garbage, sent in turn.
const std::vector<std::function<Bytes(Rng&)>> kGarbage = {
    [](Rng& rng) { return RandomBytes(rng, Between(rng, 0, 4)); },
    [](Rng& rng) { return RandomBytes(rng, Between(rng, 5, kMtu)); },
    [](Rng& rng) { return RandomBytes(rng, Between(rng, kMtu, kLargestDatagram)); },
    // A valid header, random SSRC, payload type and payload.
    [](Rng& rng) {
      return RtpPacket(rng, kRtpVersion2, kPayloadType, static_cast<guint32>(rng()), RandomBytes(rng, Between(rng, 0, 400)));
    },
    // The stream's SSRC with another payload type.
    [](Rng& rng) {
      return RtpPacket(rng, kRtpVersion2, static_cast<int>(Between(rng, 0, kPayloadType - 1)), kSsrc,
                       RandomBytes(rng, Between(rng, 0, 400)));
    },
    // Padding that claims more bytes than there are, or none at all.
    [](Rng& rng) {
      Bytes payload = RandomBytes(rng, Between(rng, 1, 40));
      payload.back() = static_cast<guint8>(rng() % 2 == 0 ? 0 : 255);
      return RtpPacket(rng, kRtpVersion2 | kPaddingBit, kPayloadType, kSsrc, payload);
    },
    // Header only, with the stream's SSRC and payload type.
    [](Rng& rng) { return RtpPacket(rng, kRtpVersion2, kPayloadType, kSsrc, {}); },
};

struct Injector {
  GSocket* socket;
  GSocketAddress* to;
  Rng rng;
  std::size_t sent = 0;
};

// Before each real packet leaves, kGarbagePerPacket garbage datagrams go to the same port.
GstPadProbeReturn SendGarbage(GstPad*, GstPadProbeInfo*, gpointer data) {
  auto* injector = static_cast<Injector*>(data);
  for (int i = 0; i < kGarbagePerPacket; ++i) {
    const Bytes garbage = kGarbage[injector->sent % kGarbage.size()](injector->rng);
    g_socket_send_to(injector->socket, injector->to, reinterpret_cast<const gchar*>(garbage.data()), garbage.size(),
                     nullptr, nullptr);
    ++injector->sent;
  }
  return GST_PAD_PROBE_OK;
}

struct Protection : NamedRow {
  bool srtp;  // SRTP end to end; plain RTP through zbrtpguard otherwise
};

class UdpGarbageTest : public ::testing::TestWithParam<Protection> {};

TEST_P(UdpGarbageTest, RealFramesPassIntactAndTheStreamEnds) {
  InitGstreamer();
  const Protection& row = GetParam();
  const std::vector<uint8_t> pcm = adpcm_signals::Speech(kFrames * zbgst::SamplesPerFrame(kTestRate), 17);
  Decoded lossless;
  Decode(Encode(pcm, kTestRate), lossless);

  const std::string ids = "payload=" + std::to_string(kPayloadType) + ", ssrc=(uint)" + std::to_string(kSsrc);
  const std::string srtpCaps = std::string("application/x-srtp, srtp-key=(buffer)") + kSrtpKey +
                               ", srtp-cipher=aes-128-icm, srtp-auth=hmac-sha1-80, srtcp-cipher=aes-128-icm, "
                               "srtcp-auth=hmac-sha1-80";
  GstElement* receiver = gst_parse_launch(
      ("udpsrc name=src port=0 address=127.0.0.1 caps=\"" + (row.srtp ? srtpCaps : "application/x-rtp") +
       ", media=audio, clock-rate=16000, encoding-name=ZBADPCM, " + ids + "\" ! " +
       (row.srtp ? "srtpdec" : "zbrtpguard") +
       " ! rtpjitterbuffer do-lost=true latency=200 ! rtpzbadpcmdepay ! zbadpcmdec name=dec "
       "! appsink name=sink sync=false")
          .c_str(),
      nullptr);
  ASSERT_NE(receiver, nullptr);
  ASSERT_NE(gst_element_set_state(receiver, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  GstElement* udpsrc = gst_bin_get_by_name(GST_BIN(receiver), "src");
  int port = 0;  // bound by the kernel
  g_object_get(udpsrc, "port", &port, nullptr);
  GstElement* sender = gst_parse_launch(
      ("appsrc name=src format=time caps=\"audio/x-raw, format=S16LE, layout=interleaved, rate=16000, channels=1\" "
       "! zbadpcmenc ! rtpzbadpcmpay pt=" + std::to_string(kPayloadType) + " ssrc=" + std::to_string(kSsrc) + " " +
       (row.srtp ? std::string("! srtpenc key=") + kSrtpKey : "") + " ! udpsink name=out host=127.0.0.1 port=" + std::to_string(port))
          .c_str(),
      nullptr);
  ASSERT_NE(sender, nullptr);

  Injector injector{g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_DATAGRAM, G_SOCKET_PROTOCOL_UDP, nullptr),
                    g_inet_socket_address_new_from_string("127.0.0.1", static_cast<guint>(port)), Rng(kGarbageSeed)};
  SCOPED_TRACE("garbage seeded with " + std::to_string(kGarbageSeed));
  ASSERT_NE(injector.socket, nullptr);
  GstElement* udpsink = gst_bin_get_by_name(GST_BIN(sender), "out");
  GstPad* udpsinkPad = gst_element_get_static_pad(udpsink, "sink");
  gst_pad_add_probe(udpsinkPad, GST_PAD_PROBE_TYPE_BUFFER, SendGarbage, &injector, nullptr);
  ASSERT_NE(gst_element_set_state(sender, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);

  GstElement* appsrc = gst_bin_get_by_name(GST_BIN(sender), "src");
  GstFlowReturn flow = GST_FLOW_OK;
  GstBuffer* all = gst_buffer_new_memdup(pcm.data(), pcm.size());
  GST_BUFFER_PTS(all) = 0;
  g_signal_emit_by_name(appsrc, "push-buffer", all, &flow);
  gst_buffer_unref(all);
  g_signal_emit_by_name(appsrc, "end-of-stream", &flow);
  GstBus* bus = gst_element_get_bus(sender);
  GstMessage* done =
      gst_bus_timed_pop_filtered(bus, kTimeout, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  EXPECT_TRUE(done != nullptr && GST_MESSAGE_TYPE(done) == GST_MESSAGE_EOS);
  // What is on its way passes the jitter buffer; then the receiver is told to end, which it can
  // only when nothing has stalled it.
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
  gboolean ended = FALSE;
  g_object_get(appsink, "eos", &ended, nullptr);
  GstElement* dec = gst_bin_get_by_name(GST_BIN(receiver), "dec");
  g_object_get(dec, "stats", &received.stats, nullptr);

  EXPECT_TRUE(ended);
  EXPECT_GT(injector.sent, static_cast<std::size_t>(kGarbagePerPacket * kFrames));
  EXPECT_TRUE(received.continuous);
  EXPECT_EQ(received.Stat("frames-lost"), 0u);
  EXPECT_EQ(received.Stat("buffers-invalid"), 0u);
  ExpectLosslessBut(received.samples, lossless.samples, {});

  gst_element_set_state(sender, GST_STATE_NULL);
  gst_element_set_state(receiver, GST_STATE_NULL);
  if (done != nullptr) gst_message_unref(done);
  gst_object_unref(bus);
  gst_object_unref(udpsinkPad);
  g_object_unref(injector.to);
  g_object_unref(injector.socket);
  for (GstElement* element : {dec, appsink, appsrc, udpsink, udpsrc, sender, receiver}) gst_object_unref(element);
}

INSTANTIATE_TEST_SUITE_P(
    Protections, UdpGarbageTest,
    ::testing::Values(
        // Plain RTP: the guard drops what does not follow the stream.
        Protection{{"PlainRtpGuarded"}, false},
        // SRTP: only packets that carry the key's authentication tag are decrypted.
        Protection{{"Srtp"}, true}),
    RowName());

}  // namespace
}  // namespace zbtest
