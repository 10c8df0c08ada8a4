// The encoder element. The base class cuts the input into 20 ms frames; each frame goes through
// the library's encoder module, whose data and parity frames leave as separate buffers. Frame
// numbers and the parity frame's timestamps are set just before a buffer leaves, when the base
// class has stamped it: a data frame's number advances by the frames its timestamp moved. A drain
// (end of stream, a gap in the input, new caps) starts a new stream in the module; the parity
// frame of the first frame after any other break (DISCONT) is dropped, which leaves the module
// where a new stream would: no parity frame spans a break, and a receiver, which finds a parity
// frame's partner by number, never pairs frames that are not one apart. The `mode` property
// reaches the module when it is created and, when changed, before the next frame; a new stream
// keeps the mode and starts again at step index 0, as the library does.
#include "gst/encode/ZbAdpcmEnc.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "gst/binding/LinkedLibrary.h"
#include "receive/LibraryModule.h"
#include "gst/binding/StreamFormat.h"

GST_DEBUG_CATEGORY_STATIC(zbadpcmenc_debug);
#define GST_CAT_DEFAULT zbadpcmenc_debug

namespace {

using zbgst::FrameHeader;

enum { PROP_0, PROP_PARITY, PROP_MODE };
constexpr gboolean kDefaultParity = TRUE;
// The search encoder by default: the closest to the input, and read by every IMA ADPCM decoder as
// the other modes are (the library's own default stays the specified mode).
constexpr GstZbAdpcmEncMode kDefaultMode = GST_ZBADPCM_ENC_MODE_SEARCH;

// The library's value for each of the property's modes.
ZbEncoderMode LibraryMode(GstZbAdpcmEncMode mode) {
  switch (mode) {
    case GST_ZBADPCM_ENC_MODE_CARRIED:
      return ZB_ENCODER_CARRIED;
    case GST_ZBADPCM_ENC_MODE_SEARCH:
      return ZB_ENCODER_SEARCH;
    case GST_ZBADPCM_ENC_MODE_SEARCH_DEEP:
      return ZB_ENCODER_SEARCH_DEEP;
    case GST_ZBADPCM_ENC_MODE_SPECIFIED:
      break;
  }
  return ZB_ENCODER_SPECIFIED;
}

// What the element keeps between start and stop; touched on the streaming thread only.
struct EncoderState {
  std::unique_ptr<zbreceive::LibraryModule> module;
  GstZbAdpcmEncMode mode = kDefaultMode;  // the mode the module codes in
  int rate = 0;
  bool restart = true;          // the next frame starts a new stream in the module
  bool haveNumber = false;      // a data frame has been numbered
  uint32_t number = 0;          // number of the last data frame
  bool lastJumped = false;      // the last data frame does not follow on from the one before it
  GstClockTime lastPts = GST_CLOCK_TIME_NONE;
  GstClockTime lastDuration = GST_CLOCK_TIME_NONE;

  void NewStream() {
    restart = true;
    haveNumber = false;
    lastJumped = false;
    lastPts = lastDuration = GST_CLOCK_TIME_NONE;
  }
};

GstStaticPadTemplate g_sinkTemplate = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-raw, format = (string) S16LE, layout = (string) interleaved, "
                    "rate = (int) " ZBGST_RATES_CAPS ", channels = (int) 1"));
GstStaticPadTemplate g_srcTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-zbadpcm, rate = (int) " ZBGST_RATES_CAPS ", channels = (int) 1"));

}  // namespace

struct _GstZbAdpcmEnc {
  GstAudioEncoder parent;
  gboolean parity;          // guarded by the object lock
  GstZbAdpcmEncMode mode;   // guarded by the object lock
  EncoderState* state;
};

GType gst_zbadpcm_enc_mode_get_type(void) {
  static const GEnumValue kValues[] = {
      {GST_ZBADPCM_ENC_MODE_SPECIFIED, "Every block starts at step index 0", "specified"},
      {GST_ZBADPCM_ENC_MODE_CARRIED, "Each block starts at the step index the block before ended with", "carried"},
      {GST_ZBADPCM_ENC_MODE_SEARCH, "Carried, with each block's codes searched for the least squared error",
       "search"},
      {GST_ZBADPCM_ENC_MODE_SEARCH_DEEP, "A wider search: closer still, about 15 times slower than search",
       "search-deep"},
      {0, nullptr, nullptr}};
  static const GType s_type = g_enum_register_static("GstZbAdpcmEncMode", kValues);
  return s_type;
}

G_DEFINE_TYPE(GstZbAdpcmEnc, gst_zbadpcm_enc, GST_TYPE_AUDIO_ENCODER)
GST_ELEMENT_REGISTER_DEFINE(zbadpcmenc, "zbadpcmenc", GST_RANK_NONE, GST_TYPE_ZBADPCM_ENC)

namespace {

GstZbAdpcmEncMode ChosenMode(GstZbAdpcmEnc* self) {
  GST_OBJECT_LOCK(self);
  const GstZbAdpcmEncMode mode = self->mode;
  GST_OBJECT_UNLOCK(self);
  return mode;
}

gboolean Start(GstAudioEncoder* encoder) {
  GstZbAdpcmEnc* self = GST_ZBADPCM_ENC(encoder);
  try {
    self->state->module = std::make_unique<zbreceive::LibraryModule>(zbgst::LinkedExports(), ZB_NAME_ENCODER);
  } catch (const std::exception& error) {
    GST_ELEMENT_ERROR(self, LIBRARY, INIT, (nullptr), ("%s", error.what()));
    return FALSE;
  }
  self->state->mode = ChosenMode(self);
  self->state->module->SetEncoderMode(LibraryMode(self->state->mode));
  self->state->NewStream();
  return TRUE;
}

gboolean Stop(GstAudioEncoder* encoder) {
  GST_ZBADPCM_ENC(encoder)->state->module.reset();
  return TRUE;
}

gboolean SetFormat(GstAudioEncoder* encoder, GstAudioInfo* info) {
  GstZbAdpcmEnc* self = GST_ZBADPCM_ENC(encoder);
  const int rate = GST_AUDIO_INFO_RATE(info);
  if (GST_AUDIO_INFO_CHANNELS(info) != 1 || !zbgst::IsSupportedRate(rate)) return FALSE;
  GstCaps* caps = gst_caps_new_simple(zbgst::kMediaType, "rate", G_TYPE_INT, rate, "channels", G_TYPE_INT, 1,
                                      nullptr);
  const gboolean ok = gst_audio_encoder_set_output_format(encoder, caps);
  gst_caps_unref(caps);
  if (!ok) return FALSE;
  self->state->rate = rate;
  self->state->restart = true;
  gst_audio_encoder_set_frame_samples_min(encoder, zbgst::SamplesPerFrame(rate));
  gst_audio_encoder_set_frame_samples_max(encoder, zbgst::SamplesPerFrame(rate));
  gst_audio_encoder_set_frame_max(encoder, 1);
  return TRUE;
}

// One 20 ms frame of samples, or less at a drain (padded with silence), or none to end a drain.
GstFlowReturn HandleFrame(GstAudioEncoder* encoder, GstBuffer* buffer) {
  GstZbAdpcmEnc* self = GST_ZBADPCM_ENC(encoder);
  EncoderState& state = *self->state;
  if (buffer == nullptr) {
    state.restart = true;
    return GST_FLOW_OK;
  }
  const std::size_t frameBytes = zbgst::PcmBytesPerFrame(state.rate);
  std::vector<uint8_t> pcm(frameBytes, 0);
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return GST_FLOW_ERROR;
  const std::size_t taken = std::min(map.size, frameBytes);
  std::memcpy(pcm.data(), map.data, taken);
  gst_buffer_unmap(buffer, &map);
  const int samples = static_cast<int>(taken / zbgst::kBytesPerSample);

  if (state.restart) {
    state.module->ResetStream();
    state.restart = false;
  }
  GST_OBJECT_LOCK(self);
  const bool parity = self->parity != FALSE;
  GST_OBJECT_UNLOCK(self);
  state.module->EnableRedundancy(parity);
  const GstZbAdpcmEncMode mode = ChosenMode(self);
  if (mode != state.mode) {
    state.module->SetEncoderMode(LibraryMode(mode));
    state.mode = mode;
  }
  state.module->Push(AV_TYPE_PCM, 0, pcm.data(), static_cast<uint32_t>(frameBytes));

  GstFlowReturn ret = GST_FLOW_OK;
  for (const zbreceive::EmittedFrame& frame : state.module->TakeEmitted()) {
    const bool isParity = frame.type == AV_TYPE_ADPCM_PARITY;
    GstBuffer* out = gst_buffer_new_allocate(nullptr, zbgst::kFrameHeaderBytes + frame.bytes.size(), nullptr);
    gst_buffer_map(out, &map, GST_MAP_WRITE);
    zbgst::WriteFrameHeader(map.data, FrameHeader{isParity, 0});
    std::memcpy(map.data + zbgst::kFrameHeaderBytes, frame.bytes.data(), frame.bytes.size());
    gst_buffer_unmap(out, &map);
    // The parity frame covers no samples of its own; its timestamps are set in PrePush.
    ret = gst_audio_encoder_finish_frame(encoder, out, isParity ? 0 : samples);
    if (ret != GST_FLOW_OK) break;
  }
  return ret;
}

// Numbers a data frame from its timestamp; gives a parity frame its data frame's number and
// times, or drops it when its partner is not the frame numbered one before.
GstFlowReturn PrePush(GstAudioEncoder* encoder, GstBuffer** buffer) {
  EncoderState& state = *GST_ZBADPCM_ENC(encoder)->state;
  GstBuffer* out = *buffer;
  GstMapInfo map;
  if (!gst_buffer_map(out, &map, GST_MAP_WRITE)) return GST_FLOW_ERROR;
  FrameHeader header = zbgst::ReadFrameHeader(map.data);
  if (!header.parity) {
    const GstClockTime pts = GST_BUFFER_PTS(out);
    uint64_t advance = 1;
    if (state.haveNumber && GST_BUFFER_FLAG_IS_SET(out, GST_BUFFER_FLAG_DISCONT) && GST_CLOCK_TIME_IS_VALID(pts) &&
        GST_CLOCK_TIME_IS_VALID(state.lastPts) && pts > state.lastPts) {
      advance = std::max<uint64_t>(1, (pts - state.lastPts + zbgst::kFrameDuration / 2) / zbgst::kFrameDuration);
    }
    // The base class marks the first frame after a break in the input; its parity frame would
    // pair it with the frame before the break.
    state.lastJumped = state.haveNumber && (advance != 1 || GST_BUFFER_FLAG_IS_SET(out, GST_BUFFER_FLAG_DISCONT));
    state.number = state.haveNumber ? static_cast<uint32_t>((state.number + advance) & zbgst::kFrameNumberMask) : 0;
    state.haveNumber = true;
    state.lastPts = pts;
    state.lastDuration = GST_BUFFER_DURATION(out);
  } else if (state.lastJumped || !state.haveNumber) {
    gst_buffer_unmap(out, &map);
    gst_buffer_unref(out);
    *buffer = nullptr;
    return GST_FLOW_OK;
  } else {
    GST_BUFFER_PTS(out) = GST_BUFFER_DTS(out) = state.lastPts;
    GST_BUFFER_DURATION(out) = state.lastDuration;
    GST_BUFFER_FLAG_UNSET(out, GST_BUFFER_FLAG_DISCONT);
  }
  header.number = state.number;
  zbgst::WriteFrameHeader(map.data, header);
  gst_buffer_unmap(out, &map);
  return GST_FLOW_OK;
}

// Nothing before a flush pairs with what follows; the numbers go on, so that a receiver does not
// take the frames after it for old ones.
void Flush(GstAudioEncoder* encoder) { GST_ZBADPCM_ENC(encoder)->state->restart = true; }

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
  GstZbAdpcmEnc* self = GST_ZBADPCM_ENC(object);
  switch (id) {
    case PROP_PARITY:
      GST_OBJECT_LOCK(self);
      self->parity = g_value_get_boolean(value);
      GST_OBJECT_UNLOCK(self);
      break;
    case PROP_MODE:
      GST_OBJECT_LOCK(self);
      self->mode = static_cast<GstZbAdpcmEncMode>(g_value_get_enum(value));
      GST_OBJECT_UNLOCK(self);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  GstZbAdpcmEnc* self = GST_ZBADPCM_ENC(object);
  switch (id) {
    case PROP_PARITY:
      GST_OBJECT_LOCK(self);
      g_value_set_boolean(value, self->parity);
      GST_OBJECT_UNLOCK(self);
      break;
    case PROP_MODE:
      g_value_set_enum(value, ChosenMode(self));
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

void Finalize(GObject* object) {
  delete GST_ZBADPCM_ENC(object)->state;
  G_OBJECT_CLASS(gst_zbadpcm_enc_parent_class)->finalize(object);
}

}  // namespace

static void gst_zbadpcm_enc_class_init(GstZbAdpcmEncClass* klass) {
  GObjectClass* objectClass = G_OBJECT_CLASS(klass);
  GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
  GstAudioEncoderClass* encoderClass = GST_AUDIO_ENCODER_CLASS(klass);

  objectClass->set_property = SetProperty;
  objectClass->get_property = GetProperty;
  objectClass->finalize = Finalize;
  g_object_class_install_property(
      objectClass, PROP_PARITY,
      g_param_spec_boolean("parity", "Parity frames",
                           "Send after each data frame a parity frame, the XOR of it and the data frame before, "
                           "from which the receiver rebuilds any single lost frame (doubles the bit rate)",
                           kDefaultParity,
                           static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                    GST_PARAM_MUTABLE_PLAYING)));
  g_object_class_install_property(
      objectClass, PROP_MODE,
      g_param_spec_enum("mode", "Encoder mode",
                        "How blocks are coded, all playable by any IMA ADPCM decoder: specified (each block "
                        "starts at step index 0), carried (each block starts where the one before ended; "
                        "closer to the input), search (the default: carried, codes searched for the least "
                        "error; closer still, slower) or search-deep (a wider search; closer again, about 15 times "
                        "slower than search). Applies from the next frame",
                        GST_TYPE_ZBADPCM_ENC_MODE, kDefaultMode,
                        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                 GST_PARAM_MUTABLE_PLAYING)));
  gst_type_mark_as_plugin_api(GST_TYPE_ZBADPCM_ENC_MODE, static_cast<GstPluginAPIFlags>(0));

  gst_element_class_add_static_pad_template(elementClass, &g_sinkTemplate);
  gst_element_class_add_static_pad_template(elementClass, &g_srcTemplate);
  gst_element_class_set_static_metadata(elementClass, "ZB ADPCM encoder", "Codec/Encoder/Audio",
                                        "Codes 16-bit mono PCM into 20 ms IMA ADPCM frames, each followed by "
                                        "an XOR parity frame",
                                        "zbadpcm developers <zbadpcm@example.org>");

  encoderClass->start = Start;
  encoderClass->stop = Stop;
  encoderClass->set_format = SetFormat;
  encoderClass->handle_frame = HandleFrame;
  encoderClass->pre_push = PrePush;
  encoderClass->flush = Flush;
  // A parity frame has no input samples of its own to take metadata from.
  encoderClass->transform_meta = nullptr;

  GST_DEBUG_CATEGORY_INIT(zbadpcmenc_debug, "zbadpcmenc", 0, "ZB ADPCM encoder");
}

static void gst_zbadpcm_enc_init(GstZbAdpcmEnc* self) {
  self->parity = kDefaultParity;
  self->mode = kDefaultMode;
  self->state = new EncoderState();
  // A discontinuity drains the frame in progress and starts a new stream.
  gst_audio_encoder_set_hard_resync(GST_AUDIO_ENCODER(self), TRUE);
}
