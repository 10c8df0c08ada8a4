// The payloader. The payload is the coded buffer as it is, its four-byte frame header first;
// the RTP timestamp is the frame's start at a clock rate equal to the sample rate, so a parity
// frame carries the timestamp of the data frame of the same number. The marker bit is set on the
// first packet after a discontinuity.
//
// `parity-delay` k holds each parity frame back until the data frame k numbers after its own has
// been sent: D(n) is followed by P(n - k). A burst of consecutive lost packets then takes data
// frames and parity frames of different numbers, which a receiver that holds k + 1 frames repairs
// one by one. Only the order changes; every packet is as it would be without the delay. Held
// parity frames leave before a discontinuity's first packet and at the end of the stream, and are
// dropped by a flush.
#include "gst/rtp/RtpZbAdpcmPay.h"

#include <gst/rtp/gstrtpbuffer.h>

#include <deque>

#include "gst/binding/StreamFormat.h"

GST_DEBUG_CATEGORY_STATIC(rtpzbadpcmpay_debug);
#define GST_CAT_DEFAULT rtpzbadpcmpay_debug

namespace {

enum { PROP_0, PROP_PARITY_DELAY };
constexpr guint kDefaultParityDelay = 0;

GstStaticPadTemplate g_sinkTemplate = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-zbadpcm, rate = (int) " ZBGST_RATES_CAPS ", channels = (int) 1"));
GstStaticPadTemplate g_srcTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("application/x-rtp, media = (string) audio, payload = (int) " GST_RTP_PAYLOAD_DYNAMIC_STRING
                    ", clock-rate = (int) " ZBGST_RATES_CAPS ", encoding-name = (string) ZBADPCM"));

// A parity frame waiting for its turn, as the packet it leaves in.
struct HeldParity {
  uint32_t number;
  GstBuffer* packet;
};

// Touched on the streaming thread only.
struct PayState {
  std::deque<HeldParity> held;  // in the order they came, at most kMaxParityDelay + 1
  bool haveData = false;        // a data frame has been sent since the last flush
  uint32_t lastData = 0;        // number of the last data frame sent

  void Clear() {
    for (const HeldParity& parity : held) gst_buffer_unref(parity.packet);
    held.clear();
    haveData = false;
  }
};

}  // namespace

struct _GstRtpZbAdpcmPay {
  GstRTPBasePayload parent;
  guint parityDelay;  // guarded by the object lock
  PayState* state;
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

guint ParityDelay(GstRtpZbAdpcmPay* self) {
  GST_OBJECT_LOCK(self);
  const guint delay = self->parityDelay;
  GST_OBJECT_UNLOCK(self);
  return delay;
}

// Sends the held parity frames whose data frame is at least `delay` numbers before the last data
// frame sent (all of them when `all`), oldest first, and any beyond the longest delay.
GstFlowReturn SendHeldParity(GstRtpZbAdpcmPay* self, bool all) {
  PayState& state = *self->state;
  const guint delay = ParityDelay(self);
  GstFlowReturn ret = GST_FLOW_OK;
  while (!state.held.empty()) {
    const HeldParity front = state.held.front();
    const int32_t behind = state.haveData ? zbgst::FrameNumberDistance(front.number, state.lastData) : 0;
    // A parity frame numbered after the last data frame (only a broken input makes one) is not
    // held for a data frame that may never come.
    const bool due = all || behind < 0 || behind >= static_cast<int32_t>(delay) ||
                     state.held.size() > zbgst::kMaxParityDelay + 1;
    if (!due) break;
    state.held.pop_front();
    if (ret == GST_FLOW_OK) {
      ret = gst_rtp_base_payload_push(GST_RTP_BASE_PAYLOAD(self), front.packet);
    } else {
      gst_buffer_unref(front.packet);
    }
  }
  return ret;
}

GstFlowReturn HandleBuffer(GstRTPBasePayload* payload, GstBuffer* buffer) {
  GstRtpZbAdpcmPay* self = GST_RTP_ZBADPCM_PAY(payload);
  PayState& state = *self->state;
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    gst_buffer_unref(buffer);
    return GST_FLOW_ERROR;
  }
  const bool valid = map.size > zbgst::kFrameHeaderBytes;
  const zbgst::FrameHeader header = valid ? zbgst::ReadFrameHeader(map.data) : zbgst::FrameHeader{};
  gst_buffer_unmap(buffer, &map);
  if (!valid) {
    GST_WARNING_OBJECT(payload, "dropping a buffer too short for a frame");
    gst_buffer_unref(buffer);
    return GST_FLOW_OK;
  }
  const bool discont = GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT);
  GstBuffer* packet = gst_rtp_base_payload_allocate_output_buffer(payload, 0, 0, 0);
  GST_BUFFER_PTS(packet) = GST_BUFFER_PTS(buffer);
  GST_BUFFER_DURATION(packet) = GST_BUFFER_DURATION(buffer);
  if (discont) {
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    gst_rtp_buffer_map(packet, GST_MAP_WRITE, &rtp);
    gst_rtp_buffer_set_marker(&rtp, TRUE);
    gst_rtp_buffer_unmap(&rtp);
  }
  packet = gst_buffer_append(packet, buffer);

  GstFlowReturn ret = GST_FLOW_OK;
  if (discont) ret = SendHeldParity(self, true);
  if (header.parity) {
    state.held.push_back(HeldParity{header.number, packet});
  } else if (ret == GST_FLOW_OK) {
    ret = gst_rtp_base_payload_push(payload, packet);
    state.haveData = true;
    state.lastData = header.number;
  } else {
    gst_buffer_unref(packet);
  }
  const GstFlowReturn sent = SendHeldParity(self, false);
  return ret == GST_FLOW_OK ? sent : ret;
}

gboolean SinkEvent(GstRTPBasePayload* payload, GstEvent* event) {
  GstRtpZbAdpcmPay* self = GST_RTP_ZBADPCM_PAY(payload);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_EOS:
      SendHeldParity(self, true);
      break;
    case GST_EVENT_FLUSH_STOP:
      self->state->Clear();
      break;
    default:
      break;
  }
  return GST_RTP_BASE_PAYLOAD_CLASS(gst_rtp_zbadpcm_pay_parent_class)->sink_event(payload, event);
}

GstStateChangeReturn ChangeState(GstElement* element, GstStateChange transition) {
  const GstStateChangeReturn ret =
      GST_ELEMENT_CLASS(gst_rtp_zbadpcm_pay_parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) GST_RTP_ZBADPCM_PAY(element)->state->Clear();
  return ret;
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
  GstRtpZbAdpcmPay* self = GST_RTP_ZBADPCM_PAY(object);
  switch (id) {
    case PROP_PARITY_DELAY:
      GST_OBJECT_LOCK(self);
      self->parityDelay = g_value_get_uint(value);
      GST_OBJECT_UNLOCK(self);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  GstRtpZbAdpcmPay* self = GST_RTP_ZBADPCM_PAY(object);
  switch (id) {
    case PROP_PARITY_DELAY:
      g_value_set_uint(value, ParityDelay(self));
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

void Finalize(GObject* object) {
  GstRtpZbAdpcmPay* self = GST_RTP_ZBADPCM_PAY(object);
  self->state->Clear();
  delete self->state;
  G_OBJECT_CLASS(gst_rtp_zbadpcm_pay_parent_class)->finalize(object);
}

}  // namespace

static void gst_rtp_zbadpcm_pay_class_init(GstRtpZbAdpcmPayClass* klass) {
  GObjectClass* objectClass = G_OBJECT_CLASS(klass);
  GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
  GstRTPBasePayloadClass* payloadClass = GST_RTP_BASE_PAYLOAD_CLASS(klass);

  objectClass->set_property = SetProperty;
  objectClass->get_property = GetProperty;
  objectClass->finalize = Finalize;
  g_object_class_install_property(
      objectClass, PROP_PARITY_DELAY,
      g_param_spec_uint("parity-delay", "Parity delay",
                        "Send each parity frame this many frames (of 20 ms) after its data frame, so that a "
                        "burst of losses takes frames parity can repair one by one; the receiver must hold "
                        "as many frames more. 0 sends it right after its data frame",
                        0, zbgst::kMaxParityDelay, kDefaultParityDelay,
                        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                 GST_PARAM_MUTABLE_PLAYING)));

  gst_element_class_add_static_pad_template(elementClass, &g_sinkTemplate);
  gst_element_class_add_static_pad_template(elementClass, &g_srcTemplate);
  gst_element_class_set_static_metadata(elementClass, "RTP ZB ADPCM payloader", "Codec/Payloader/Network/RTP",
                                        "Puts each ZB ADPCM data and parity frame into an RTP packet of its own",
                                        "zbadpcm developers <zbadpcm@example.org>");
  elementClass->change_state = ChangeState;
  payloadClass->set_caps = SetCaps;
  payloadClass->handle_buffer = HandleBuffer;
  payloadClass->sink_event = SinkEvent;

  GST_DEBUG_CATEGORY_INIT(rtpzbadpcmpay_debug, "rtpzbadpcmpay", 0, "RTP ZB ADPCM payloader");
}

static void gst_rtp_zbadpcm_pay_init(GstRtpZbAdpcmPay* self) {
  self->parityDelay = kDefaultParityDelay;
  self->state = new PayState();
}
