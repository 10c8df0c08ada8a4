// The guard. A packet continues a stream when it has the stream's SSRC, its sequence number is
// at most `max-dropout` ahead of the newest the stream has passed or at most `max-misorder`
// behind, and its RTP timestamp lies within `max-time-jump` of that packet's (when the caps give
// a clock rate). Packets that continue the followed stream pass at once. Any other packet (a
// stray, a spoofed sequence number, or a sender that restarted, changed its SSRC or came back
// after a long outage) is held while the next kHeldPackets RTP packets arrive: when one of them
// continues it, ahead of it, the held packet and that one pass and become the followed stream
// (the other held packets are dropped); otherwise it is dropped. The first packet of all is held
// the same way. A real jump thus costs one packet's delay, a stray packet nothing, as long as
// fewer than kHeldPackets strays come between two packets of a new stream. What is not an RTP
// packet is dropped and counted. Packets still held at the end of the stream are dropped.
#include "gst/rtp/RtpGuard.h"

#include <gst/rtp/gstrtpbuffer.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(zbrtpguard_debug);
#define GST_CAT_DEFAULT zbrtpguard_debug

namespace {

enum { PROP_0, PROP_MAX_DROPOUT, PROP_MAX_MISORDER, PROP_MAX_TIME_JUMP, PROP_STATS };
constexpr guint kDefaultMaxDropout = 100;     // packets: 1 s of zbadpcm with parity
constexpr guint kDefaultMaxMisorder = 100;    // packets
constexpr guint kDefaultMaxTimeJumpMs = 2000;
// Packets a held packet waits for one that continues it: as many strays may come between two
// packets of a new stream.
constexpr std::size_t kHeldPackets = 4;
constexpr guint kMaxSequenceWindow = 0x7FFF;  // half the 16-bit sequence space
constexpr guint kMaxTimeJumpLimitMs = 600000;
constexpr gint64 kMsPerSecond = 1000;
constexpr const char* kStatsName = "application/x-zbrtpguard-stats";

GstStaticPadTemplate g_sinkTemplate =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("application/x-rtp"));
GstStaticPadTemplate g_srcTemplate =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("application/x-rtp"));

// Where a packet stands in its stream.
struct PacketPlace {
  guint32 ssrc = 0;
  guint16 seq = 0;
  guint32 timestamp = 0;
};

struct HeldPacket {
  PacketPlace place;
  GstBuffer* buffer;
  std::size_t waited;  // RTP packets that arrived after it
};

}  // namespace

struct _GstZbRtpGuard {
  GstBaseTransform parent;
  // All below guarded by the object lock.
  guint maxDropout;
  guint maxMisorder;
  guint maxTimeJumpMs;
  gint clockRate;         // from the caps; 0 when they give none
  gboolean following;     // a stream is followed
  PacketPlace newest;     // the followed stream's newest packet passed
  std::deque<HeldPacket>* held;  // oldest first: at most kHeldPackets
  guint64 passed;
  guint64 invalid;
  guint64 dropped;
  guint64 jumpsFollowed;
};

G_DEFINE_TYPE(GstZbRtpGuard, gst_zb_rtp_guard, GST_TYPE_BASE_TRANSFORM)
GST_ELEMENT_REGISTER_DEFINE(zbrtpguard, "zbrtpguard", GST_RANK_NONE, GST_TYPE_ZB_RTP_GUARD)

namespace {

// Called with the object lock held.
bool Continues(const GstZbRtpGuard* self, const PacketPlace& from, const PacketPlace& packet, bool behindAllowed) {
  if (packet.ssrc != from.ssrc) return false;
  const int ahead = static_cast<int16_t>(static_cast<guint16>(packet.seq - from.seq));
  const bool seqNear = ahead > 0 ? ahead <= static_cast<int>(self->maxDropout)
                                 : behindAllowed && -ahead <= static_cast<int>(self->maxMisorder);
  if (!seqNear || self->clockRate == 0) return seqNear;
  const gint64 timeApart = std::llabs(static_cast<int32_t>(packet.timestamp - from.timestamp));
  return timeApart * kMsPerSecond <= static_cast<gint64>(self->maxTimeJumpMs) * self->clockRate;
}

using BufferList = std::vector<GstBuffer*>;

void Unref(const BufferList& buffers) {
  for (GstBuffer* buffer : buffers) gst_buffer_unref(buffer);
}

// Takes every held packet out; called with the object lock held. The caller unrefs them outside.
BufferList TakeHeld(GstZbRtpGuard* self) {
  BufferList taken;
  for (const HeldPacket& packet : *self->held) taken.push_back(packet.buffer);
  self->held->clear();
  return taken;
}

// Forgets the followed stream and the held packets.
void Reset(GstZbRtpGuard* self) {
  GST_OBJECT_LOCK(self);
  self->following = FALSE;
  const BufferList dropped = TakeHeld(self);
  GST_OBJECT_UNLOCK(self);
  Unref(dropped);
}

GstFlowReturn TransformIp(GstBaseTransform* transform, GstBuffer* buffer) {
  GstZbRtpGuard* self = GST_ZB_RTP_GUARD(transform);
  GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
  if (!gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp)) {
    GST_OBJECT_LOCK(self);
    ++self->invalid;
    GST_OBJECT_UNLOCK(self);
    return GST_BASE_TRANSFORM_FLOW_DROPPED;
  }
  const PacketPlace place{gst_rtp_buffer_get_ssrc(&rtp), gst_rtp_buffer_get_seq(&rtp),
                          gst_rtp_buffer_get_timestamp(&rtp)};
  gst_rtp_buffer_unmap(&rtp);

  GST_OBJECT_LOCK(self);
  std::deque<HeldPacket>& held = *self->held;
  GstBuffer* release = nullptr;  // a held packet, passed before this one
  BufferList dropped;
  bool pass = true;
  for (HeldPacket& packet : held) ++packet.waited;
  if (self->following && Continues(self, self->newest, place, true)) {
    if (static_cast<int16_t>(static_cast<guint16>(place.seq - self->newest.seq)) > 0) self->newest = place;
  } else {
    const auto followed = std::find_if(held.rbegin(), held.rend(), [&](const HeldPacket& packet) {
      return Continues(self, packet.place, place, false);
    });
    if (followed != held.rend()) {
      release = followed->buffer;
      followed->buffer = nullptr;
      self->following = TRUE;
      self->newest = place;
      ++self->jumpsFollowed;
      ++self->passed;
    } else {
      held.push_back(HeldPacket{place, gst_buffer_ref(buffer), 0});
      pass = false;
    }
  }
  if (release != nullptr) {
    for (const HeldPacket& packet : held) {
      if (packet.buffer != nullptr) dropped.push_back(packet.buffer);
    }
    held.clear();
  }
  while (!held.empty() && held.front().waited >= kHeldPackets) {
    dropped.push_back(held.front().buffer);
    held.pop_front();
  }
  if (pass) ++self->passed;
  self->dropped += dropped.size();
  GST_OBJECT_UNLOCK(self);

  GST_LOG_OBJECT(self, "%s SSRC %08x sequence number %u timestamp %u", pass ? "passing" : "holding", place.ssrc,
                 place.seq, place.timestamp);
  Unref(dropped);
  if (release != nullptr) {
    GST_DEBUG_OBJECT(self, "following a jump to SSRC %08x, sequence number %u", place.ssrc, place.seq);
    const GstFlowReturn ret = gst_pad_push(GST_BASE_TRANSFORM_SRC_PAD(transform), release);
    if (ret != GST_FLOW_OK) return ret;
  }
  return pass ? GST_FLOW_OK : GST_BASE_TRANSFORM_FLOW_DROPPED;
}

gboolean SetCaps(GstBaseTransform* transform, GstCaps* incaps, GstCaps*) {
  GstZbRtpGuard* self = GST_ZB_RTP_GUARD(transform);
  gint clockRate = 0;
  if (!gst_structure_get_int(gst_caps_get_structure(incaps, 0), "clock-rate", &clockRate) || clockRate < 0) {
    clockRate = 0;
  }
  GST_OBJECT_LOCK(self);
  self->clockRate = clockRate;
  GST_OBJECT_UNLOCK(self);
  return TRUE;
}

gboolean SinkEvent(GstBaseTransform* transform, GstEvent* event) {
  const GstEventType type = GST_EVENT_TYPE(event);
  if (type == GST_EVENT_FLUSH_STOP || type == GST_EVENT_EOS) {
    Reset(GST_ZB_RTP_GUARD(transform));
  }
  return GST_BASE_TRANSFORM_CLASS(gst_zb_rtp_guard_parent_class)->sink_event(transform, event);
}

gboolean Stop(GstBaseTransform* transform) {
  Reset(GST_ZB_RTP_GUARD(transform));
  return TRUE;
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
  GstZbRtpGuard* self = GST_ZB_RTP_GUARD(object);
  GST_OBJECT_LOCK(self);
  switch (id) {
    case PROP_MAX_DROPOUT:
      self->maxDropout = g_value_get_uint(value);
      break;
    case PROP_MAX_MISORDER:
      self->maxMisorder = g_value_get_uint(value);
      break;
    case PROP_MAX_TIME_JUMP:
      self->maxTimeJumpMs = g_value_get_uint(value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
  GST_OBJECT_UNLOCK(self);
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  GstZbRtpGuard* self = GST_ZB_RTP_GUARD(object);
  GST_OBJECT_LOCK(self);
  switch (id) {
    case PROP_MAX_DROPOUT:
      g_value_set_uint(value, self->maxDropout);
      break;
    case PROP_MAX_MISORDER:
      g_value_set_uint(value, self->maxMisorder);
      break;
    case PROP_MAX_TIME_JUMP:
      g_value_set_uint(value, self->maxTimeJumpMs);
      break;
    case PROP_STATS:
      g_value_take_boxed(value, gst_structure_new(kStatsName, "packets-passed", G_TYPE_UINT64, self->passed,
                                                  "packets-invalid", G_TYPE_UINT64, self->invalid,
                                                  "packets-dropped", G_TYPE_UINT64, self->dropped,
                                                  "jumps-followed", G_TYPE_UINT64, self->jumpsFollowed, nullptr));
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
  GST_OBJECT_UNLOCK(self);
}

void Finalize(GObject* object) {
  GstZbRtpGuard* self = GST_ZB_RTP_GUARD(object);
  Reset(self);
  delete self->held;
  G_OBJECT_CLASS(gst_zb_rtp_guard_parent_class)->finalize(object);
}

GParamFlags MutableFlags() {
  return static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING);
}

}  // namespace

static void gst_zb_rtp_guard_class_init(GstZbRtpGuardClass* klass) {
  GObjectClass* objectClass = G_OBJECT_CLASS(klass);
  GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
  GstBaseTransformClass* transformClass = GST_BASE_TRANSFORM_CLASS(klass);

  objectClass->set_property = SetProperty;
  objectClass->get_property = GetProperty;
  objectClass->finalize = Finalize;
  g_object_class_install_property(
      objectClass, PROP_MAX_DROPOUT,
      g_param_spec_uint("max-dropout", "Maximum dropout",
                        "A packet up to this many sequence numbers ahead of the newest passed continues the "
                        "stream; one further ahead is held until a packet follows it",
                        1, kMaxSequenceWindow, kDefaultMaxDropout, MutableFlags()));
  g_object_class_install_property(
      objectClass, PROP_MAX_MISORDER,
      g_param_spec_uint("max-misorder", "Maximum misorder",
                        "A packet up to this many sequence numbers behind the newest passed continues the "
                        "stream (the jitter buffer reorders it or drops it as late)",
                        0, kMaxSequenceWindow, kDefaultMaxMisorder, MutableFlags()));
  g_object_class_install_property(
      objectClass, PROP_MAX_TIME_JUMP,
      g_param_spec_uint("max-time-jump", "Maximum time jump",
                        "A packet whose RTP timestamp is further than this (ms) from the newest passed packet's "
                        "is held until a packet follows it; not checked when the caps give no clock-rate",
                        1, kMaxTimeJumpLimitMs, kDefaultMaxTimeJumpMs, MutableFlags()));
  g_object_class_install_property(
      objectClass, PROP_STATS,
      g_param_spec_boxed("stats", "Statistics",
                         "packets-passed, packets-invalid (not RTP), packets-dropped (held, and no packet after it "
                         "followed) and jumps-followed (held, and a packet after it followed)",
                         GST_TYPE_STRUCTURE, static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));

  gst_element_class_add_static_pad_template(elementClass, &g_sinkTemplate);
  gst_element_class_add_static_pad_template(elementClass, &g_srcTemplate);
  gst_element_class_set_static_metadata(elementClass, "RTP sequence guard", "Filter/Network/RTP",
                                        "Passes the RTP stream it follows; holds a packet that jumps away from "
                                        "it until a packet follows the jump, and drops it otherwise",
                                        "zbadpcm developers <zbadpcm@example.org>");
  transformClass->transform_ip = TransformIp;
  transformClass->transform_ip_on_passthrough = TRUE;
  transformClass->set_caps = SetCaps;
  transformClass->sink_event = SinkEvent;
  transformClass->stop = Stop;

  GST_DEBUG_CATEGORY_INIT(zbrtpguard_debug, "zbrtpguard", 0, "RTP sequence guard");
}

static void gst_zb_rtp_guard_init(GstZbRtpGuard* self) {
  self->maxDropout = kDefaultMaxDropout;
  self->maxMisorder = kDefaultMaxMisorder;
  self->maxTimeJumpMs = kDefaultMaxTimeJumpMs;
  self->clockRate = 0;
  self->following = FALSE;
  self->newest = PacketPlace{};
  self->held = new std::deque<HeldPacket>();
  self->passed = self->invalid = self->dropped = self->jumpsFollowed = 0;
  gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(self), TRUE);
}
