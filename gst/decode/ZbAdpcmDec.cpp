// The decoder element: each coded buffer goes to the receive path as one packet, with a restart
// flag from the buffer's MARKER flag (a sender's new stream, as the depayloader or encoder marks
// it); what the receive path lets out, in frame order and final, leaves as one buffer per run of
// a segment. Output timestamps follow the frame index from the timestamp of the packet that
// started the segment, and never go back: a segment that would start before the end of the last
// output starts there instead. GAP events (a jitter buffer's lost packets) move time on.
// With `parity-delay` k (at least the sender's) the receive path holds every frame k frames
// longer and feeds the decoder module in frame order; the latency it reports grows to match.
#include "gst/decode/ZbAdpcmDec.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "gst/binding/LinkedLibrary.h"
#include "gst/binding/StreamFormat.h"
#include "receive/Receiver.h"

GST_DEBUG_CATEGORY_STATIC(zbadpcmdec_debug);
#define GST_CAT_DEFAULT zbadpcmdec_debug

namespace {

enum { PROP_0, PROP_STATS, PROP_PARITY_DELAY };
constexpr guint kDefaultParityDelay = 0;
// Name of the `stats` structure and of the element message that carries it at the end of a stream.
constexpr const char* kStatsName = "application/x-zbadpcmdec-stats";
constexpr GstClockTime kLastTime = GST_CLOCK_TIME_NONE - 1;

// a + b, saturating below GST_CLOCK_TIME_NONE.
GstClockTime AddTime(GstClockTime a, GstClockTime b) { return a > kLastTime - b ? kLastTime : a + b; }
// The duration of `frames` frames, saturating.
GstClockTime FramesTime(uint64_t frames) {
  return frames > kLastTime / zbgst::kFrameDuration ? kLastTime : frames * zbgst::kFrameDuration;
}

// Where a segment's numbering meets time: the index of the packet that started it, and that
// packet's timestamp.
struct SegmentAnchor {
  uint64_t segment = 0;
  int64_t index = 0;
  GstClockTime pts = 0;
};

// Timing of one output buffer, handed from HandleFrame to PrePush.
struct OutTiming {
  GstClockTime pts = 0;
  GstClockTime duration = 0;
  bool discont = false;
};

// What the element keeps between start and stop; touched on the streaming thread only.
struct DecoderState {
  std::unique_ptr<zbreceive::Receiver> receiver;
  zbreceive::ReceiveCounters finished;  // counts of receivers already gone
  int rate = 0;
  int32_t parityDelay = 0;              // the property's value when the stream started
  std::deque<SegmentAnchor> anchors;    // segments started, their first frame not yet out
  bool haveBase = false;                // the current output segment's time base:
  uint64_t baseSegment = 0;
  int64_t baseIndex = 0;                // its first frame out
  GstClockTime basePts = 0;             // and that frame's timestamp
  GstClockTime lastEnd = 0;             // end of the last output, 0 before any
  std::deque<OutTiming> timings;        // for the buffers being finished, in order
};

GstStaticPadTemplate g_sinkTemplate = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-zbadpcm, rate = (int) " ZBGST_RATES_CAPS ", channels = (int) 1"));
GstStaticPadTemplate g_srcTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-raw, format = (string) S16LE, layout = (string) interleaved, "
                    "rate = (int) " ZBGST_RATES_CAPS ", channels = (int) 1"));

}  // namespace

struct _GstZbAdpcmDec {
  GstAudioDecoder parent;
  zbreceive::ReceiveCounters stats;  // guarded by the object lock
  guint parityDelay;                 // guarded by the object lock
  DecoderState* state;
};

G_DEFINE_TYPE(GstZbAdpcmDec, gst_zbadpcm_dec, GST_TYPE_AUDIO_DECODER)
GST_ELEMENT_REGISTER_DEFINE(zbadpcmdec, "zbadpcmdec", GST_RANK_SECONDARY, GST_TYPE_ZBADPCM_DEC)

namespace {

zbreceive::ReceiveCounters Sum(const zbreceive::ReceiveCounters& a, const zbreceive::ReceiveCounters& b) {
  zbreceive::ReceiveCounters sum = a;
  sum.received += b.received;
  sum.rebuilt += b.rebuilt;
  sum.lost += b.lost;
  sum.longestLostRun = std::max(a.longestLostRun, b.longestLostRun);
  sum.concealed += b.concealed;
  sum.duplicates += b.duplicates;
  sum.late += b.late;
  sum.parityReceived += b.parityReceived;
  sum.parityUsed += b.parityUsed;
  sum.invalid += b.invalid;
  sum.restarts += b.restarts;
  return sum;
}

// Publishes the counts for `stats`, under the object lock.
void PublishStats(GstZbAdpcmDec* self) {
  const DecoderState& state = *self->state;
  const zbreceive::ReceiveCounters now =
      state.receiver ? Sum(state.finished, state.receiver->counters()) : state.finished;
  GST_OBJECT_LOCK(self);
  self->stats = now;
  GST_OBJECT_UNLOCK(self);
}

// Forgets the stream: a fresh receive path, no time base.
bool NewStream(GstZbAdpcmDec* self) {
  DecoderState& state = *self->state;
  if (state.receiver) state.finished = Sum(state.finished, state.receiver->counters());
  state.receiver.reset();
  state.anchors.clear();
  state.haveBase = false;
  state.timings.clear();
  GST_OBJECT_LOCK(self);
  state.parityDelay = static_cast<int32_t>(self->parityDelay);
  GST_OBJECT_UNLOCK(self);
  if (state.rate == 0) return true;
  zbreceive::ReceiverSettings settings;
  settings.sampleRate = state.rate;
  settings.frameSamples = zbgst::SamplesPerFrame(state.rate);
  settings.codedBytes = static_cast<uint32_t>(zbgst::CodedBytesPerFrame(state.rate));
  settings.conceal = gst_audio_decoder_get_plc(GST_AUDIO_DECODER(self)) != FALSE;
  settings.parityDelay = state.parityDelay;
  try {
    state.receiver = std::make_unique<zbreceive::Receiver>(zbgst::LinkedExports(), settings);
  } catch (const std::exception& error) {
    GST_ELEMENT_ERROR(self, LIBRARY, INIT, (nullptr), ("%s", error.what()));
    return false;
  }
  return true;
}

// A missing frame holds back the frames after it until it is rebuilt or given up: the receive
// path's hold, parity delay included, is the element's latency. Set where the base class keeps
// it, once the format is known (it clears the latency when it starts), and again when a new
// stream takes another parity delay.
void SetHoldLatency(GstZbAdpcmDec* self) {
  zbreceive::ReceiverSettings hold;
  hold.parityDelay = self->state->parityDelay;
  const GstClockTime latency = FramesTime(static_cast<uint64_t>(hold.HoldFrames()));
  gst_audio_decoder_set_latency(GST_AUDIO_DECODER(self), latency, latency);
}

gboolean Start(GstAudioDecoder* decoder) {
  GstZbAdpcmDec* self = GST_ZBADPCM_DEC(decoder);
  self->state->lastEnd = 0;
  return NewStream(self);
}

gboolean Stop(GstAudioDecoder* decoder) {
  GstZbAdpcmDec* self = GST_ZBADPCM_DEC(decoder);
  self->state->rate = 0;  // the next caps set the receive path up again
  NewStream(self);
  PublishStats(self);
  return TRUE;
}

gboolean SetFormat(GstAudioDecoder* decoder, GstCaps* caps) {
  GstZbAdpcmDec* self = GST_ZBADPCM_DEC(decoder);
  DecoderState& state = *self->state;
  const GstStructure* structure = gst_caps_get_structure(caps, 0);
  int rate = 0;
  int channels = 0;
  if (!gst_structure_get_int(structure, "rate", &rate) || !gst_structure_get_int(structure, "channels", &channels) ||
      channels != 1 || !zbgst::IsSupportedRate(rate)) {
    return FALSE;
  }
  if (rate != state.rate || !state.receiver) {
    state.rate = rate;
    if (!NewStream(self)) return FALSE;
  }
  GstAudioInfo info;
  gst_audio_info_set_format(&info, GST_AUDIO_FORMAT_S16LE, rate, 1, nullptr);
  if (!gst_audio_decoder_set_output_format(decoder, &info)) return FALSE;
  SetHoldLatency(self);
  return TRUE;
}

// The timestamp of the first frame out of a segment: from its anchor, never before the end of
// the output so far.
GstClockTime SegmentStartPts(DecoderState& state, const zbreceive::OutFrame& frame) {
  while (!state.anchors.empty() && state.anchors.front().segment < frame.segment) state.anchors.pop_front();
  GstClockTime pts = state.lastEnd;
  if (!state.anchors.empty() && state.anchors.front().segment == frame.segment) {
    const SegmentAnchor& anchor = state.anchors.front();
    // The frame before the anchor may lead the segment.
    const uint64_t before = anchor.index > frame.index ? static_cast<uint64_t>(anchor.index - frame.index) : 0;
    const GstClockTime lead = FramesTime(before);
    pts = std::max(pts, anchor.pts > lead ? anchor.pts - lead : 0);
  }
  return pts;
}

// The timestamp of `frame`, from its segment's time base.
GstClockTime TimeOf(DecoderState& state, const zbreceive::OutFrame& frame) {
  if (frame.segmentStart || !state.haveBase || state.baseSegment != frame.segment) {
    state.haveBase = true;
    state.baseSegment = frame.segment;
    state.baseIndex = frame.index;
    state.basePts = SegmentStartPts(state, frame);
  }
  return AddTime(state.basePts, FramesTime(static_cast<uint64_t>(frame.index - state.baseIndex)));
}

// One output buffer for a run of frames of one segment; its timing goes to PrePush.
GstBuffer* RunBuffer(DecoderState& state, const std::vector<zbreceive::OutFrame>& frames, size_t first,
                     size_t count) {
  const std::size_t frameBytes = zbgst::PcmBytesPerFrame(state.rate);
  GstBuffer* out = gst_buffer_new_allocate(nullptr, frameBytes * count, nullptr);
  GstMapInfo map;
  gst_buffer_map(out, &map, GST_MAP_WRITE);
  for (size_t i = 0; i < count; ++i) std::memcpy(map.data + i * frameBytes, frames[first + i].samples.data(), frameBytes);
  gst_buffer_unmap(out, &map);
  OutTiming timing;
  timing.discont = frames[first].segmentStart;
  timing.pts = TimeOf(state, frames[first]);
  timing.duration = FramesTime(count);
  state.lastEnd = AddTime(timing.pts, timing.duration);
  state.timings.push_back(timing);
  return out;
}

// Sends what the receive path lets out: one buffer per run of one segment, the last one as the
// input frame's output (or none). Called once per input buffer, after the buffer is released,
// and also for GAP and EOS.
GstFlowReturn PushReady(GstZbAdpcmDec* self) {
  DecoderState& state = *self->state;
  GstAudioDecoder* decoder = GST_AUDIO_DECODER(self);
  std::vector<zbreceive::OutFrame> frames;
  zbreceive::OutFrame frame;
  while (state.receiver && state.receiver->Next(frame)) frames.push_back(std::move(frame));
  PublishStats(self);
  state.timings.clear();
  GstFlowReturn ret = GST_FLOW_OK;
  GstBuffer* last = nullptr;
  for (size_t first = 0; first < frames.size();) {
    size_t count = 1;
    while (first + count < frames.size() && !frames[first + count].segmentStart) ++count;
    GstBuffer* run = RunBuffer(state, frames, first, count);
    first += count;
    if (last != nullptr) {
      const GstFlowReturn pushed = gst_audio_decoder_finish_subframe(decoder, last);
      if (ret == GST_FLOW_OK) ret = pushed;
    }
    last = run;
  }
  const GstFlowReturn finished = gst_audio_decoder_finish_frame(decoder, last, -1);
  state.timings.clear();
  return ret == GST_FLOW_OK ? finished : ret;
}

GstFlowReturn HandleFrame(GstAudioDecoder* decoder, GstBuffer* buffer) {
  GstZbAdpcmDec* self = GST_ZBADPCM_DEC(decoder);
  DecoderState& state = *self->state;
  // A drain comes at every discontinuity, where nothing is final yet; the end of the stream
  // lets every frame go in SinkEvent.
  if (buffer == nullptr) return GST_FLOW_OK;
  if (!state.receiver) return GST_FLOW_NOT_NEGOTIATED;

  // Everything the packet carries is read, and copied by the receive path, before the buffer
  // goes back to the base class with finish_frame.
  const GstClockTime pts = GST_BUFFER_PTS(buffer);
  zbreceive::Packet packet;
  packet.restart = GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_MARKER);
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return GST_FLOW_ERROR;
  if (map.size >= zbgst::kFrameHeaderBytes) {
    const zbgst::FrameHeader header = zbgst::ReadFrameHeader(map.data);
    packet.number = header.number;
    packet.parity = header.parity;
    packet.data = map.data + zbgst::kFrameHeaderBytes;
    packet.size = map.size - zbgst::kFrameHeaderBytes;
  }
  const bool started = state.receiver->Push(packet).started;
  gst_buffer_unmap(buffer, &map);
  if (started) {
    GST_INFO_OBJECT(self, "frame %u starts segment %" G_GUINT64_FORMAT, packet.number, state.receiver->segment());
    state.anchors.push_back(SegmentAnchor{state.receiver->segment(), state.receiver->anchorIndex(),
                                          GST_CLOCK_TIME_IS_VALID(pts) ? pts : state.lastEnd});
  }
  return PushReady(self);
}

// Output timestamps follow the frame index from the segment's time base.
GstFlowReturn PrePush(GstAudioDecoder* decoder, GstBuffer** buffer) {
  DecoderState& state = *GST_ZBADPCM_DEC(decoder)->state;
  if (state.timings.empty()) return GST_FLOW_OK;
  const OutTiming timing = state.timings.front();
  state.timings.pop_front();
  GstBuffer* out = *buffer;
  GST_BUFFER_PTS(out) = timing.pts;
  GST_BUFFER_DURATION(out) = timing.duration;
  if (timing.discont) {
    GST_BUFFER_FLAG_SET(out, GST_BUFFER_FLAG_DISCONT);
  } else {
    GST_BUFFER_FLAG_UNSET(out, GST_BUFFER_FLAG_DISCONT);
  }
  return GST_FLOW_OK;
}

// The counters as the `stats` structure; the caller owns it.
GstStructure* StatsStructure(GstZbAdpcmDec* self) {
  GST_OBJECT_LOCK(self);
  const zbreceive::ReceiveCounters stats = self->stats;
  GST_OBJECT_UNLOCK(self);
  auto count = [](int64_t value) { return static_cast<guint64>(value); };
  return gst_structure_new(kStatsName, "frames-received", G_TYPE_UINT64, count(stats.received), "frames-rebuilt",
                           G_TYPE_UINT64, count(stats.rebuilt), "frames-lost", G_TYPE_UINT64, count(stats.lost),
                           "frames-concealed", G_TYPE_UINT64, count(stats.concealed), "duplicates-dropped",
                           G_TYPE_UINT64, count(stats.duplicates), "frames-late", G_TYPE_UINT64, count(stats.late),
                           "parity-received", G_TYPE_UINT64, count(stats.parityReceived), "parity-unused",
                           G_TYPE_UINT64, count(stats.ParityUnused()), "buffers-invalid", G_TYPE_UINT64,
                           count(stats.invalid), "restarts", G_TYPE_UINT64, count(stats.restarts), nullptr);
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
  GstZbAdpcmDec* self = GST_ZBADPCM_DEC(object);
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
  GstZbAdpcmDec* self = GST_ZBADPCM_DEC(object);
  switch (id) {
    case PROP_STATS:
      g_value_take_boxed(value, StatsStructure(self));
      break;
    case PROP_PARITY_DELAY:
      GST_OBJECT_LOCK(self);
      g_value_set_uint(value, self->parityDelay);
      GST_OBJECT_UNLOCK(self);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

// A GAP (a jitter buffer's lost packets) moves time to the last frame it covers; the end of the
// stream lets every frame go.
gboolean SinkEvent(GstAudioDecoder* decoder, GstEvent* event) {
  GstZbAdpcmDec* self = GST_ZBADPCM_DEC(decoder);
  DecoderState& state = *self->state;
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_GAP: {
      if (!state.receiver || !state.receiver->anchored()) break;
      GstClockTime pts = GST_CLOCK_TIME_NONE;
      GstClockTime duration = GST_CLOCK_TIME_NONE;
      gst_event_parse_gap(event, &pts, &duration);
      // Time counted from the newest segment's time base once frames are out, else its anchor.
      const uint64_t segment = state.receiver->segment();
      int64_t originIndex = 0;
      GstClockTime originPts = 0;
      if (state.haveBase && state.baseSegment == segment) {
        originIndex = state.baseIndex;
        originPts = state.basePts;
      } else if (!state.anchors.empty() && state.anchors.back().segment == segment) {
        originIndex = state.anchors.back().index;
        originPts = state.anchors.back().pts;
      } else {
        break;
      }
      if (GST_CLOCK_TIME_IS_VALID(pts) && pts >= originPts) {
        const GstClockTime end = AddTime(pts, GST_CLOCK_TIME_IS_VALID(duration) ? duration : 0);
        // The last frame that starts before the gap's end.
        const uint64_t frames = (end - originPts + zbgst::kFrameDuration - 1) / zbgst::kFrameDuration;
        const int64_t last = originIndex - 1 + static_cast<int64_t>(std::min<uint64_t>(frames, G_MAXINT32));
        state.receiver->Advance(last);
        PushReady(self);
      }
      gst_event_unref(event);
      return TRUE;
    }
    case GST_EVENT_EOS:
      if (state.receiver) {
        state.receiver->Drain();
        PushReady(self);
      }
      // The final counts on the bus, for a pipeline run from the command line (gst-launch-1.0 -m).
      gst_element_post_message(GST_ELEMENT(self), gst_message_new_element(GST_OBJECT(self), StatsStructure(self)));
      break;
    default:
      break;
  }
  return GST_AUDIO_DECODER_CLASS(gst_zbadpcm_dec_parent_class)->sink_event(decoder, event);
}

// A flushing seek starts a new stream; the drain at a discontinuity changes nothing.
void Flush(GstAudioDecoder* decoder, gboolean hard) {
  if (!hard) return;
  GstZbAdpcmDec* self = GST_ZBADPCM_DEC(decoder);
  NewStream(self);
  if (self->state->rate != 0) SetHoldLatency(self);
  self->state->lastEnd = 0;
}

void Finalize(GObject* object) {
  delete GST_ZBADPCM_DEC(object)->state;
  G_OBJECT_CLASS(gst_zbadpcm_dec_parent_class)->finalize(object);
}

}  // namespace

static void gst_zbadpcm_dec_class_init(GstZbAdpcmDecClass* klass) {
  GObjectClass* objectClass = G_OBJECT_CLASS(klass);
  GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
  GstAudioDecoderClass* decoderClass = GST_AUDIO_DECODER_CLASS(klass);

  objectClass->set_property = SetProperty;
  objectClass->get_property = GetProperty;
  objectClass->finalize = Finalize;
  g_object_class_install_property(
      objectClass, PROP_PARITY_DELAY,
      g_param_spec_uint("parity-delay", "Parity delay",
                        "Frames (of 20 ms) by which the sender sends each parity frame late (the payloader's "
                        "parity-delay); must be at least the sender's. Every frame is held this many frames "
                        "longer, and the reported latency grows by as much. Taken when a stream starts (caps "
                        "or a flushing seek)",
                        0, zbreceive::kMaxParityDelay, kDefaultParityDelay,
                        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                 GST_PARAM_MUTABLE_READY)));
  g_object_class_install_property(
      objectClass, PROP_STATS,
      g_param_spec_boxed("stats", "Statistics",
                         "Frames received, rebuilt from parity, lost (nothing could rebuild them), concealed (of "
                         "the lost, filled by concealment rather than silence), duplicates dropped, late data "
                         "frames, parity received and unused, invalid buffers, restarts",
                         GST_TYPE_STRUCTURE, static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));

  gst_element_class_add_static_pad_template(elementClass, &g_sinkTemplate);
  gst_element_class_add_static_pad_template(elementClass, &g_srcTemplate);
  gst_element_class_set_static_metadata(elementClass, "ZB ADPCM decoder", "Codec/Decoder/Audio",
                                        "Decodes 20 ms IMA ADPCM frames, dropping duplicates, rebuilding single "
                                        "losses from parity frames and concealing the rest",
                                        "zbadpcm developers <zbadpcm@example.org>");

  decoderClass->start = Start;
  decoderClass->stop = Stop;
  decoderClass->set_format = SetFormat;
  decoderClass->handle_frame = HandleFrame;
  decoderClass->pre_push = PrePush;
  decoderClass->sink_event = SinkEvent;
  decoderClass->flush = Flush;

  GST_DEBUG_CATEGORY_INIT(zbadpcmdec_debug, "zbadpcmdec", 0, "ZB ADPCM decoder");
}

static void gst_zbadpcm_dec_init(GstZbAdpcmDec* self) {
  self->stats = zbreceive::ReceiveCounters{};
  self->parityDelay = kDefaultParityDelay;
  self->state = new DecoderState();
  gst_audio_decoder_set_needs_format(GST_AUDIO_DECODER(self), TRUE);
}
