// The payloader. The payload is the coded buffer as it is, its four-byte frame header first;
// the RTP timestamp is the frame's start at a clock rate equal to the sample rate, so a parity
// frame carries the timestamp of the data frame of the same number. The marker bit is set on the
// first packet after a discontinuity.
#include "gst/rtp/RtpZbAdpcmPay.h"

#include <gst/rtp/gstrtpbuffer.h>

#include "gst/binding/StreamFormat.h"

GST_DEBUG_CATEGORY_STATIC(rtpzbadpcmpay_debug);
#define GST_CAT_DEFAULT rtpzbadpcmpay_debug

namespace {

GstStaticPadTemplate g_sinkTemplate = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-zbadpcm, rate = (int) " ZBGST_RATES_CAPS ", channels = (int) 1"));
GstStaticPadTemplate g_srcTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("application/x-rtp, media = (string) audio, payload = (int) " GST_RTP_PAYLOAD_DYNAMIC_STRING
                    ", clock-rate = (int) " ZBGST_RATES_CAPS ", encoding-name = (string) ZBADPCM"));

}  // namespace

struct _GstRtpZbAdpcmPay {
  GstRTPBasePayload parent;
};

G_DEFINE_TYPE(GstRtpZbAdpcmPay, gst_rtp_zbadpcm_pay, GST_TYPE_RTP_BASE_PAYLOAD)
GST_ELEMENT_REGISTER_DEFINE(rtpzbadpcmpay, "rtpzbadpcmpay", GST_RANK_NONE, GST_TYPE_RTP_ZBADPCM_PAY)

namespace {

gboolean SetCaps(GstRTPBasePayload* payload, GstCaps* caps) {
  int rate = 0;
  if (!gst_structure_get_int(gst_caps_get_structure(caps, 0), "rate", &rate) || !zbgst::IsSupportedRate(rate)) {
    return FALSE;
  }
  gst_rtp_base_payload_set_options(payload, "audio", TRUE, zbgst::kRtpEncodingName, static_cast<guint32>(rate));
  return gst_rtp_base_payload_set_outcaps(payload, nullptr);
}

GstFlowReturn HandleBuffer(GstRTPBasePayload* payload, GstBuffer* buffer) {
  if (gst_buffer_get_size(buffer) <= zbgst::kFrameHeaderBytes) {
    GST_WARNING_OBJECT(payload, "dropping a buffer too short for a frame");
    gst_buffer_unref(buffer);
    return GST_FLOW_OK;
  }
  GstBuffer* packet = gst_rtp_base_payload_allocate_output_buffer(payload, 0, 0, 0);
  GST_BUFFER_PTS(packet) = GST_BUFFER_PTS(buffer);
  GST_BUFFER_DURATION(packet) = GST_BUFFER_DURATION(buffer);
  if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT)) {
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    gst_rtp_buffer_map(packet, GST_MAP_WRITE, &rtp);
    gst_rtp_buffer_set_marker(&rtp, TRUE);
    gst_rtp_buffer_unmap(&rtp);
  }
  packet = gst_buffer_append(packet, buffer);
  return gst_rtp_base_payload_push(payload, packet);
}

}  // namespace

static void gst_rtp_zbadpcm_pay_class_init(GstRtpZbAdpcmPayClass* klass) {
  GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
  GstRTPBasePayloadClass* payloadClass = GST_RTP_BASE_PAYLOAD_CLASS(klass);

  gst_element_class_add_static_pad_template(elementClass, &g_sinkTemplate);
  gst_element_class_add_static_pad_template(elementClass, &g_srcTemplate);
  gst_element_class_set_static_metadata(elementClass, "RTP ZB ADPCM payloader", "Codec/Payloader/Network/RTP",
                                        "Puts each ZB ADPCM data and parity frame into an RTP packet of its own",
                                        "zbadpcm developers <zbadpcm@example.org>");
  payloadClass->set_caps = SetCaps;
  payloadClass->handle_buffer = HandleBuffer;

  GST_DEBUG_CATEGORY_INIT(rtpzbadpcmpay_debug, "rtpzbadpcmpay", 0, "RTP ZB ADPCM payloader");
}

static void gst_rtp_zbadpcm_pay_init(GstRtpZbAdpcmPay*) {}
