// The depayloader: hands on each payload, frame header included, timestamped from the RTP
// timestamp by the base class. The decoder orders frames by the number in the header, so
// duplicated or reordered packets that get this far are sorted out there.
#include "gst/rtp/RtpZbAdpcmDepay.h"

#include <gst/rtp/gstrtpbuffer.h>

#include "gst/binding/StreamFormat.h"

GST_DEBUG_CATEGORY_STATIC(rtpzbadpcmdepay_debug);
#define GST_CAT_DEFAULT rtpzbadpcmdepay_debug

namespace {

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
  return ok;
}

GstBuffer* ProcessRtpPacket(GstRTPBaseDepayload* depayload, GstRTPBuffer* rtp) {
  if (gst_rtp_buffer_get_payload_len(rtp) <= zbgst::kFrameHeaderBytes) {
    GST_WARNING_OBJECT(depayload, "dropping a packet too short for a frame");
    return nullptr;
  }
  GstBuffer* payload = gst_rtp_buffer_get_payload_buffer(rtp);
  // The marker bit starts a sender's new stream: the decoder restarts on the buffer's MARKER flag.
  if (payload != nullptr && gst_rtp_buffer_get_marker(rtp)) GST_BUFFER_FLAG_SET(payload, GST_BUFFER_FLAG_MARKER);
  return payload;
}

}  // namespace

static void gst_rtp_zbadpcm_depay_class_init(GstRtpZbAdpcmDepayClass* klass) {
  GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
  GstRTPBaseDepayloadClass* depayloadClass = GST_RTP_BASE_DEPAYLOAD_CLASS(klass);

  gst_element_class_add_static_pad_template(elementClass, &g_sinkTemplate);
  gst_element_class_add_static_pad_template(elementClass, &g_srcTemplate);
  gst_element_class_set_static_metadata(elementClass, "RTP ZB ADPCM depayloader", "Codec/Depayloader/Network/RTP",
                                        "Takes ZB ADPCM data and parity frames out of RTP packets",
                                        "zbadpcm developers <zbadpcm@example.org>");
  depayloadClass->set_caps = SetCaps;
  depayloadClass->process_rtp_packet = ProcessRtpPacket;

  GST_DEBUG_CATEGORY_INIT(rtpzbadpcmdepay_debug, "rtpzbadpcmdepay", 0, "RTP ZB ADPCM depayloader");
}

static void gst_rtp_zbadpcm_depay_init(GstRtpZbAdpcmDepay*) {}
