// The depayloader: hands on each payload, frame header included, timestamped from the RTP
// timestamp by the base class. A payload is taken only when it is exactly one frame header and
// one coded frame of the stream's rate: anything else on the wire is refused and counted. The
// decoder orders frames by the number in the header, so duplicated or reordered packets that get
// this far are sorted out there. The marker bit, set by the payloader on the first packet after a
// discontinuity, leaves as the buffer's MARKER flag.
#include "gst/rtp/RtpZbAdpcmDepay.h"

#include <gst/rtp/gstrtpbuffer.h>

#include "gst/binding/StreamFormat.h"

GST_DEBUG_CATEGORY_STATIC(rtpzbadpcmdepay_debug);
#define GST_CAT_DEFAULT rtpzbadpcmdepay_debug

namespace {

enum { PROP_0, PROP_STATS };
constexpr const char* kStatsName = "application/x-rtpzbadpcmdepay-stats";

GstStaticPadTemplate g_sinkTemplate = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("application/x-rtp, media = (string) audio, clock-rate = (int) " ZBGST_RATES_CAPS
                    ", encoding-name = (string) ZBADPCM"));
GstStaticPadTemplate g_srcTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-zbadpcm, rate = (int) " ZBGST_RATES_CAPS ", channels = (int) 1"));

}  // namespace

struct _GstRtpZbAdpcmDepay {
  GstRTPBaseDepayload parent;
  gsize payloadBytes;       // header and frame at the negotiated rate; set with the caps
  guint64 packetsTaken;     // guarded by the object lock
  guint64 packetsInvalid;   // guarded by the object lock
};

G_DEFINE_TYPE(GstRtpZbAdpcmDepay, gst_rtp_zbadpcm_depay, GST_TYPE_RTP_BASE_DEPAYLOAD)
GST_ELEMENT_REGISTER_DEFINE(rtpzbadpcmdepay, "rtpzbadpcmdepay", GST_RANK_SECONDARY, GST_TYPE_RTP_ZBADPCM_DEPAY)

namespace {

gboolean SetCaps(GstRTPBaseDepayload* depayload, GstCaps* caps) {
  int rate = 0;
  if (!gst_structure_get_int(gst_caps_get_structure(caps, 0), "clock-rate", &rate) ||
      !zbgst::IsSupportedRate(rate)) {
    return FALSE;
  }
  depayload->clock_rate = static_cast<guint>(rate);
  GstCaps* srcCaps =
      gst_caps_new_simple(zbgst::kMediaType, "rate", G_TYPE_INT, rate, "channels", G_TYPE_INT, 1, nullptr);
  const gboolean ok = gst_pad_set_caps(GST_RTP_BASE_DEPAYLOAD_SRCPAD(depayload), srcCaps);
  gst_caps_unref(srcCaps);
  if (ok) GST_RTP_ZBADPCM_DEPAY(depayload)->payloadBytes = zbgst::kFrameHeaderBytes + zbgst::CodedBytesPerFrame(rate);
  return ok;
}

GstBuffer* ProcessRtpPacket(GstRTPBaseDepayload* depayload, GstRTPBuffer* rtp) {
  GstRtpZbAdpcmDepay* self = GST_RTP_ZBADPCM_DEPAY(depayload);
  const bool valid = gst_rtp_buffer_get_payload_len(rtp) == self->payloadBytes;
  GST_OBJECT_LOCK(self);
  ++(valid ? self->packetsTaken : self->packetsInvalid);
  GST_OBJECT_UNLOCK(self);
  if (!valid) {
    GST_DEBUG_OBJECT(self, "refusing a payload of %u bytes, not a frame of %" G_GSIZE_FORMAT,
                     gst_rtp_buffer_get_payload_len(rtp), self->payloadBytes);
    return nullptr;
  }
  GstBuffer* payload = gst_rtp_buffer_get_payload_buffer(rtp);
  // The marker bit starts a sender's new stream: the decoder restarts on the buffer's MARKER flag.
  if (payload != nullptr && gst_rtp_buffer_get_marker(rtp)) GST_BUFFER_FLAG_SET(payload, GST_BUFFER_FLAG_MARKER);
  return payload;
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  GstRtpZbAdpcmDepay* self = GST_RTP_ZBADPCM_DEPAY(object);
  switch (id) {
    case PROP_STATS: {
      GST_OBJECT_LOCK(self);
      GstStructure* stats = gst_structure_new(kStatsName, "packets-taken", G_TYPE_UINT64, self->packetsTaken,
                                              "packets-invalid", G_TYPE_UINT64, self->packetsInvalid, nullptr);
      GST_OBJECT_UNLOCK(self);
      g_value_take_boxed(value, stats);
      break;
    }
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

}  // namespace

static void gst_rtp_zbadpcm_depay_class_init(GstRtpZbAdpcmDepayClass* klass) {
  GObjectClass* objectClass = G_OBJECT_CLASS(klass);
  GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
  GstRTPBaseDepayloadClass* depayloadClass = GST_RTP_BASE_DEPAYLOAD_CLASS(klass);

  objectClass->get_property = GetProperty;
  g_object_class_install_property(
      objectClass, PROP_STATS,
      g_param_spec_boxed("stats", "Statistics",
                         "Packets taken (packets-taken) and refused because their payload is not one frame "
                         "header and one frame at the stream's rate (packets-invalid)",
                         GST_TYPE_STRUCTURE, static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));

  gst_element_class_add_static_pad_template(elementClass, &g_sinkTemplate);
  gst_element_class_add_static_pad_template(elementClass, &g_srcTemplate);
  gst_element_class_set_static_metadata(elementClass, "RTP ZB ADPCM depayloader", "Codec/Depayloader/Network/RTP",
                                        "Takes ZB ADPCM data and parity frames out of RTP packets",
                                        "zbadpcm developers <zbadpcm@example.org>");
  depayloadClass->set_caps = SetCaps;
  depayloadClass->process_rtp_packet = ProcessRtpPacket;

  GST_DEBUG_CATEGORY_INIT(rtpzbadpcmdepay_debug, "rtpzbadpcmdepay", 0, "RTP ZB ADPCM depayloader");
}

static void gst_rtp_zbadpcm_depay_init(GstRtpZbAdpcmDepay* self) {
  self->payloadBytes = 0;
  self->packetsTaken = 0;
  self->packetsInvalid = 0;
}
