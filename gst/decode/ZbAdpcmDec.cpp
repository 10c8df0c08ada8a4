// The decoder element. Each coded buffer goes to the library's decoder module under a number
// counted from the stream's first frame; what the module renders goes through the playout,
// which restores stream order and gives up missing frames, and leaves as one buffer per input.
// Output timestamps follow the frame numbers from the first frame's timestamp, so a lost frame
// leaves no hole: GAP events (a jitter buffer's lost packets) only move time on. A jump in frame
// numbers longer than kMaxFillFrames starts a new stream, with a fresh module.
#include "gst/decode/ZbAdpcmDec.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "conceal/Concealer.h"
#include "gst/binding/LibraryModule.h"
#include "gst/binding/StreamFormat.h"
#include "gst/decode/Playout.h"

GST_DEBUG_CATEGORY_STATIC(zbadpcmdec_debug);
#define GST_CAT_DEFAULT zbadpcmdec_debug

namespace {

enum { PROP_0, PROP_STATS };
// Name of the `stats` structure and of the element message that carries it at the end of a stream.
constexpr const char* kStatsName = "application/x-zbadpcmdec-stats";

// Index of the stream's first frame that arrives; the frame before it (index 0) may still be
// rebuilt from its parity frame.
constexpr int64_t kFirstIndex = 1;
// The module's sequence number of index 0. The module's history starts as ten zeros, which
// would make a frame numbered 0 look rendered, and its stored frames as numbered 0.
constexpr int32_t kModuleSeqOffset = 2;
// Longest run of missing frames that is filled (1 s); a longer jump starts a new stream.
constexpr int64_t kMaxFillFrames = zbgst::kFramesPerSecond;
// Recently seen frame numbers remembered per kind, to recognise duplicates.
constexpr std::size_t kSeenRing = 64;

struct Stats {
  guint64 received = 0;        // data frames taken
  guint64 parityReceived = 0;  // parity frames taken
  guint64 rebuilt = 0;         // frames rebuilt from parity
  guint64 lost = 0;            // frames nothing could rebuild
  guint64 concealed = 0;       // of those, filled by concealment rather than silence
  guint64 duplicates = 0;      // copies of frames already taken, dropped
  guint64 late = 0;            // frames that came after their place had been played
  guint64 invalid = 0;         // buffers of the wrong size, dropped
};

// What the element keeps between start and stop; touched on the streaming thread only.
struct DecoderState {
  std::unique_ptr<zbgst::LibraryModule> module;
  std::unique_ptr<zbconceal::Concealer> concealment;
  int rate = 0;
  bool anchored = false;       // the stream's first frame has come
  uint32_t lastNumber = 0;     // highest frame number so far and its index
  int64_t lastIndex = 0;
  GstClockTime firstPts = 0;   // timestamp of the first frame that arrived, kFirstIndex
  zbgst::Playout playout;
  std::array<int64_t, kSeenRing> seenData{};
  std::array<int64_t, kSeenRing> seenParity{};
  int64_t outIndex = 0;        // first frame of the buffer being pushed, for PrePush
  bool outDiscont = false;     // that buffer starts a new stream
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
  Stats stats;  // guarded by the object lock
  DecoderState* state;
};

G_DEFINE_TYPE(GstZbAdpcmDec, gst_zbadpcm_dec, GST_TYPE_AUDIO_DECODER)
GST_ELEMENT_REGISTER_DEFINE(zbadpcmdec, "zbadpcmdec", GST_RANK_SECONDARY, GST_TYPE_ZBADPCM_DEC)

namespace {

// Counts under the object lock, so that `stats` reads a consistent set.
template <typename Update>
void Count(GstZbAdpcmDec* self, Update update) {
  GST_OBJECT_LOCK(self);
  update(self->stats);
  GST_OBJECT_UNLOCK(self);
}

// Forgets the stream: a fresh module, nothing anchored, no history.
bool NewStream(GstZbAdpcmDec* self) {
  DecoderState& state = *self->state;
  try {
    state.module = std::make_unique<zbgst::LibraryModule>(ZB_NAME_DECODER);
  } catch (const std::exception& error) {
    GST_ELEMENT_ERROR(self, LIBRARY, INIT, (nullptr), ("%s", error.what()));
    return false;
  }
  if (state.concealment) state.concealment->Reset();
  state.anchored = false;
  state.seenData.fill(-1);
  state.seenParity.fill(-1);
  return true;
}

gboolean Start(GstAudioDecoder* decoder) { return NewStream(GST_ZBADPCM_DEC(decoder)); }

gboolean Stop(GstAudioDecoder* decoder) {
  DecoderState& state = *GST_ZBADPCM_DEC(decoder)->state;
  state.module.reset();
  state.concealment.reset();
  state.rate = 0;  // the next caps set the concealment up again
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
  if (rate != state.rate) {
    if (state.anchored && !NewStream(self)) return FALSE;
    state.rate = rate;
    state.concealment = std::make_unique<zbconceal::Concealer>(rate);
  }
  GstAudioInfo info;
  gst_audio_info_set_format(&info, GST_AUDIO_FORMAT_S16LE, rate, 1, nullptr);
  return gst_audio_decoder_set_output_format(decoder, &info);
}

// Sends the frames the playout lets go, concealing or silencing the lost ones, as one buffer.
// Always called once per input buffer (its `finish_frame`), and also for GAP and EOS.
GstFlowReturn PushReady(GstZbAdpcmDec* self, bool all) {
  DecoderState& state = *self->state;
  std::vector<zbgst::Playout::Frame> ready = state.playout.TakeReady(all);
  GstAudioDecoder* decoder = GST_AUDIO_DECODER(self);
  if (ready.empty()) return gst_audio_decoder_finish_frame(decoder, nullptr, -1);

  const std::size_t frameBytes = zbgst::PcmBytesPerFrame(state.rate);
  const std::size_t samples = static_cast<std::size_t>(zbgst::SamplesPerFrame(state.rate));
  GstBuffer* out = gst_buffer_new_allocate(nullptr, frameBytes * ready.size(), nullptr);
  GstMapInfo map;
  gst_buffer_map(out, &map, GST_MAP_WRITE);
  const bool plc = gst_audio_decoder_get_plc(decoder) != FALSE;
  guint64 lost = 0;
  guint64 concealed = 0;
  for (std::size_t i = 0; i < ready.size(); ++i) {
    auto* pcm = reinterpret_cast<int16_t*>(map.data + i * frameBytes);
    if (!ready[i].lost) {
      std::memcpy(pcm, ready[i].pcm.data(), frameBytes);
      state.concealment->AddGoodFrame(pcm, samples);
      continue;
    }
    ++lost;
    if (plc && state.concealment->ConcealFrame(pcm, samples)) {
      ++concealed;
    } else {
      std::memset(pcm, 0, frameBytes);
    }
  }
  gst_buffer_unmap(out, &map);
  Count(self, [&](Stats& stats) {
    stats.lost += lost;
    stats.concealed += concealed;
  });
  state.outIndex = ready.front().index;
  return gst_audio_decoder_finish_frame(decoder, out, -1);
}

// The index of a frame number, counted from the stream's first frame.
int64_t IndexOf(DecoderState& state, uint32_t number) {
  const int64_t index = state.lastIndex + zbgst::FrameNumberDistance(state.lastNumber, number);
  if (index > state.lastIndex) {
    state.lastIndex = index;
    state.lastNumber = number;
  }
  return index;
}

void Anchor(DecoderState& state, uint32_t number, GstClockTime pts) {
  state.anchored = true;
  state.lastNumber = number;
  state.lastIndex = kFirstIndex;
  state.firstPts = GST_CLOCK_TIME_IS_VALID(pts) ? pts : 0;
  // The frame before the first can lead only where there is time for it.
  state.playout.Restart(kFirstIndex, state.firstPts >= zbgst::kFrameDuration);
  state.outDiscont = true;
}

// The timestamp of the frame at `index`.
GstClockTime TimeOf(const DecoderState& state, int64_t index) {
  return static_cast<GstClockTime>(static_cast<int64_t>(state.firstPts) +
                                   (index - kFirstIndex) * static_cast<int64_t>(zbgst::kFrameDuration));
}

GstFlowReturn HandleFrame(GstAudioDecoder* decoder, GstBuffer* buffer) {
  GstZbAdpcmDec* self = GST_ZBADPCM_DEC(decoder);
  DecoderState& state = *self->state;
  // A drain comes at every discontinuity, where nothing is final yet; the end of the stream
  // flushes the playout in SinkEvent.
  if (buffer == nullptr) return GST_FLOW_OK;

  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return GST_FLOW_ERROR;
  const std::size_t codedBytes = zbgst::CodedBytesPerFrame(state.rate);
  if (map.size != zbgst::kFrameHeaderBytes + codedBytes) {
    GST_WARNING_OBJECT(self, "dropping a buffer of %" G_GSIZE_FORMAT " bytes, a frame takes %" G_GSIZE_FORMAT,
                       map.size, zbgst::kFrameHeaderBytes + codedBytes);
    gst_buffer_unmap(buffer, &map);
    Count(self, [](Stats& stats) { ++stats.invalid; });
    return gst_audio_decoder_finish_frame(decoder, nullptr, -1);
  }
  const zbgst::FrameHeader header = zbgst::ReadFrameHeader(map.data);
  if (!state.anchored) Anchor(state, header.number, GST_BUFFER_PTS(buffer));
  int64_t index = IndexOf(state, header.number);
  if (index > state.playout.horizon() + kMaxFillFrames || index < state.playout.next() - kMaxFillFrames) {
    GST_INFO_OBJECT(self, "frame number jumped by %" G_GINT64_FORMAT ": new stream",
                    index - state.playout.horizon());
    PushReady(self, true);
    if (!NewStream(self)) {
      gst_buffer_unmap(buffer, &map);
      return GST_FLOW_ERROR;
    }
    Anchor(state, header.number, GST_BUFFER_PTS(buffer));
    index = kFirstIndex;
  }

  std::array<int64_t, kSeenRing>& seen = header.parity ? state.seenParity : state.seenData;
  int64_t& slot = seen[static_cast<std::size_t>(index) % kSeenRing];
  const bool late = !header.parity && index < state.playout.next();
  if (index >= 0 && slot == index) {
    Count(self, [](Stats& stats) { ++stats.duplicates; });
  } else if (index < 0) {
    Count(self, [](Stats& stats) { ++stats.late; });
  } else {
    // A late data frame still goes to the module: as its last data frame it may rebuild the next.
    slot = index;
    Count(self, [&](Stats& stats) { ++(late ? stats.late : header.parity ? stats.parityReceived : stats.received); });
    state.module->Push(header.parity ? AV_TYPE_ADPCM_PARITY : AV_TYPE_ADPCM, static_cast<int32_t>(index) + kModuleSeqOffset,
                       map.data + zbgst::kFrameHeaderBytes, static_cast<uint32_t>(codedBytes));
    guint64 rebuilt = 0;
    for (zbgst::EmittedFrame& frame : state.module->TakeEmitted()) {
      const int64_t rendered = frame.seq - kModuleSeqOffset;
      const bool wasRebuilt = header.parity || rendered != index;
      if (frame.bytes.size() == zbgst::PcmBytesPerFrame(state.rate) &&
          state.playout.Put(rendered, std::move(frame.bytes)) && wasRebuilt) {
        ++rebuilt;
      }
    }
    Count(self, [&](Stats& stats) { stats.rebuilt += rebuilt; });
    state.playout.See(index);
  }
  gst_buffer_unmap(buffer, &map);
  return PushReady(self, false);
}

// Output timestamps follow the frame index from the first frame's timestamp.
GstFlowReturn PrePush(GstAudioDecoder* decoder, GstBuffer** buffer) {
  DecoderState& state = *GST_ZBADPCM_DEC(decoder)->state;
  GstBuffer* out = *buffer;
  const uint64_t frames = gst_buffer_get_size(out) / zbgst::PcmBytesPerFrame(state.rate);
  GST_BUFFER_PTS(out) = TimeOf(state, state.outIndex);
  GST_BUFFER_DURATION(out) = frames * zbgst::kFrameDuration;
  if (state.outDiscont) {
    GST_BUFFER_FLAG_SET(out, GST_BUFFER_FLAG_DISCONT);
    state.outDiscont = false;
  } else {
    GST_BUFFER_FLAG_UNSET(out, GST_BUFFER_FLAG_DISCONT);
  }
  return GST_FLOW_OK;
}

// The counters as the `stats` structure; the caller owns it.
GstStructure* StatsStructure(GstZbAdpcmDec* self) {
  GST_OBJECT_LOCK(self);
  const Stats stats = self->stats;
  GST_OBJECT_UNLOCK(self);
  const guint64 parityUnused = stats.parityReceived > stats.rebuilt ? stats.parityReceived - stats.rebuilt : 0;
  return gst_structure_new(kStatsName, "frames-received", G_TYPE_UINT64, stats.received, "frames-rebuilt",
                           G_TYPE_UINT64, stats.rebuilt, "frames-lost", G_TYPE_UINT64, stats.lost, "frames-concealed",
                           G_TYPE_UINT64, stats.concealed, "duplicates-dropped", G_TYPE_UINT64, stats.duplicates,
                           "frames-late", G_TYPE_UINT64, stats.late, "parity-received", G_TYPE_UINT64,
                           stats.parityReceived, "parity-unused", G_TYPE_UINT64, parityUnused, "buffers-invalid",
                           G_TYPE_UINT64, stats.invalid, nullptr);
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  switch (id) {
    case PROP_STATS:
      g_value_take_boxed(value, StatsStructure(GST_ZBADPCM_DEC(object)));
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
      if (!state.anchored) break;
      GstClockTime pts = GST_CLOCK_TIME_NONE;
      GstClockTime duration = GST_CLOCK_TIME_NONE;
      gst_event_parse_gap(event, &pts, &duration);
      if (GST_CLOCK_TIME_IS_VALID(pts) && pts >= state.firstPts) {
        const GstClockTime end = pts + (GST_CLOCK_TIME_IS_VALID(duration) ? duration : 0);
        // The last frame that starts before the gap's end.
        const int64_t last = kFirstIndex - 1 +
                             static_cast<int64_t>((end - state.firstPts + zbgst::kFrameDuration - 1) /
                                                  zbgst::kFrameDuration);
        state.playout.See(std::min(last, state.playout.horizon() + kMaxFillFrames));
        PushReady(self, false);
      }
      gst_event_unref(event);
      return TRUE;
    }
    case GST_EVENT_EOS:
      if (state.anchored) PushReady(self, true);
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
  if (hard) NewStream(GST_ZBADPCM_DEC(decoder));
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

  objectClass->get_property = GetProperty;
  objectClass->finalize = Finalize;
  g_object_class_install_property(
      objectClass, PROP_STATS,
      g_param_spec_boxed("stats", "Statistics",
                         "Frames received, rebuilt from parity, lost (nothing could rebuild them), concealed (of "
                         "the lost, filled by concealment rather than silence), duplicates dropped, late, parity "
                         "received and unused, invalid buffers",
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
  self->stats = Stats{};
  self->state = new DecoderState();
  GstAudioDecoder* decoder = GST_AUDIO_DECODER(self);
  // A missing frame holds back the frames after it until it is rebuilt or given up.
  const GstClockTime hold = zbgst::Playout::kRebuildWindow * zbgst::kFrameDuration;
  gst_audio_decoder_set_latency(decoder, hold, hold);
  gst_audio_decoder_set_needs_format(decoder, TRUE);
}
