/* A host written in plain C that drives the library only through its binary interface:
 * it loads the library at run time, resolves the five exports by name, installs its own
 * allocator, and wires encoder -> lossy link -> decoder -> recorder through raw vtable
 * slots, with the C faces of the public header zbav_c.h, the way a host built by another
 * compiler sees the library. It streams PCM with every single data-frame or parity-frame
 * loss and requires the decoded PCM to equal the lossless run's. Exit code 0 when every check
 * holds; one line per failed check otherwise. */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L
#endif

#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zbav_c.h"

/* ---- The platform difference: loading the library ---- */
#if defined(_WIN32)
#include <windows.h>
#define HOST_LIBRARY_NAME "zbadpcm.dll"
/* The host's own slots are thiscall functions; GCC's pedantic mode remarks that they are
 * not C++ methods, which is the whole point here. */
#pragma GCC diagnostic ignored "-Wattributes"
typedef HMODULE HostLibrary;
typedef void (*HostProc)(void);
static HostLibrary OpenHostLibrary(const char* name) {
  HostLibrary lib = LoadLibraryA(name);
  if (lib == NULL) fprintf(stderr, "LoadLibraryA: error %lu\n", (unsigned long)GetLastError());
  return lib;
}
static HostProc FindHostSymbol(HostLibrary lib, const char* name) { return (HostProc)GetProcAddress(lib, name); }
static bool CloseHostLibrary(HostLibrary lib) { return FreeLibrary(lib) != 0; }
#else
#include <dlfcn.h>
#define HOST_LIBRARY_NAME "libzbadpcm.so"
typedef void* HostLibrary;
typedef void (*HostProc)(void);
static HostLibrary OpenHostLibrary(const char* name) {
  HostLibrary lib = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (lib == NULL) fprintf(stderr, "dlopen: %s\n", dlerror());
  return lib;
}
static HostProc FindHostSymbol(HostLibrary lib, const char* name) {
  /* dlsym answers an object pointer; copy its bits into a function pointer. */
  void* symbol = dlsym(lib, name);
  HostProc proc = NULL;
  memcpy(&proc, &symbol, sizeof proc);
  return proc;
}
static bool CloseHostLibrary(HostLibrary lib) { return dlclose(lib) == 0; }
#endif

#define HOST_COMPILE_CHECK(name, cond) typedef char name[(cond) ? 1 : -1]

/* ---- Checks ---- */
static int g_nChecks;
static int g_nFailures;
static char g_scenario[96] = "setup";

#define CHECK(cond, ...) Check((cond), #cond, __LINE__, __VA_ARGS__)

static bool Check(bool ok, const char* expr, int line, const char* what, ...) {
  va_list args;
  ++g_nChecks;
  if (ok) return true;
  ++g_nFailures;
  fprintf(stderr, "FAIL [%s] line %d: ", g_scenario, line);
  va_start(args, what);
  vfprintf(stderr, what, args);
  va_end(args);
  fprintf(stderr, " (%s)\n", expr);
  return false;
}

/* ---- The records of the public header, as a C compiler lays them out ---- */
HOST_COMPILE_CHECK(FrameInfoIs12Bytes, sizeof(AvFrameInfo) == 12);
HOST_COMPILE_CHECK(FrameLenAfterInfo, offsetof(AvFrame, len) == offsetof(AvFrame, info) + sizeof(void*));
#if defined(_WIN32)
HOST_COMPILE_CHECK(FrameIs16Bytes, sizeof(AvFrame) == 16);
#endif

/* ---- The five exports ---- */
static struct {
  ZbInitializeFn Initialize;
  ZbUninitializeFn Uninitialize;
  ZbGetInterfaceNameFn GetInterfaceName;
  ZbCreateInstanceFn CreateInstance;
  ZbDestroyInstanceFn DestroyInstance;
} g_lib;

/* ---- Stream parameters ---- */
enum {
  kSamplesPerFrame = 320,
  kPcmFrameBytes = 640,
  kAdpcmBlockBytes = 84,
  kPiecesPerFrame = 2,
  kEncoderBufferSlack = 10, /* bytes the encoder asks beyond its blocks */
  kEncoderBufferBytes = kPiecesPerFrame * kAdpcmBlockBytes + kEncoderBufferSlack,
  kDecoderBufferBytes = 3200,
  kFrameCount = 8,
  kTimestampStep = 20,
  kFirstTimestamp = 1000,
  kMaxRecorded = 32,
  kMaxLiveBuffers = 64,
  kExportCount = 5
};

static const uint32_t kEncoderTypeId = 0xD008Bu;
static const uint32_t kDecoderTypeId = 0xE008Bu;

/* ---- The host allocator: counts and tracks every buffer it hands out ---- */
typedef struct HostAllocator {
  ZbMemAlloc face; /* first member: the object's address is its allocator face */
  void* live[kMaxLiveBuffers];
  int nLive;
  int nAllocs;
  int nFrees;
  int nForeignFrees;  /* Free of a pointer this allocator did not hand out */
  int nOddSizes;      /* requests of a size no module should ask for */
  uint32_t refuseSize; /* when not 0, requests of this size are answered with null */
} HostAllocator;

static void* ZB_METHOD AllocatorAlloc(ZbMemAlloc* face, uint32_t size) {
  HostAllocator* self = (HostAllocator*)face;
  void* ptr;
  if (size != kEncoderBufferBytes && size != kDecoderBufferBytes) ++self->nOddSizes;
  if (size == self->refuseSize || self->nLive == kMaxLiveBuffers) return NULL;
  ptr = malloc(size);
  if (ptr == NULL) return NULL;
  self->live[self->nLive++] = ptr;
  ++self->nAllocs;
  return ptr;
}

static void ZB_METHOD AllocatorFree(ZbMemAlloc* face, void* ptr) {
  HostAllocator* self = (HostAllocator*)face;
  int i;
  for (i = 0; i < self->nLive; ++i) {
    if (self->live[i] == ptr) {
      self->live[i] = self->live[--self->nLive];
      ++self->nFrees;
      free(ptr);
      return;
    }
  }
  ++self->nForeignFrees;
}

static const ZbMemAllocVtbl kAllocatorVtbl = {AllocatorAlloc, AllocatorFree};
static HostAllocator g_allocator = {{&kAllocatorVtbl}, {NULL}, 0, 0, 0, 0, 0, 0};

/* Calls the library makes that a host object must never receive. */
static int g_nUnexpectedCalls;

/* ---- The recorder: a sink that copies every PCM frame it is handed ---- */
typedef struct RecordedFrame {
  uint8_t type;
  uint16_t kind;
  int32_t seq;
  int32_t timestamp;
  uint8_t flags;
  uint32_t len;
  uint8_t data[kPcmFrameBytes];
} RecordedFrame;

typedef struct Recorder {
  ZbSinkFace sink; /* first member: the object's address is its sink face */
  ZbSourceFace* input;
  int nFrames;
  int nOversized;
  RecordedFrame frames[kMaxRecorded];
} Recorder;

static Recorder* RecorderOf(ZbSinkFace* self) { return (Recorder*)self; }

static void* ZB_METHOD RecorderDestroy(ZbSinkFace* self, unsigned int flags) {
  (void)flags;
  ++g_nUnexpectedCalls;
  return self;
}
static bool ZB_METHOD RecorderAcceptsType(ZbSinkFace* self, uint16_t type) {
  (void)self;
  return type == AV_TYPE_PCM;
}
static bool ZB_METHOD RecorderIsActive(ZbSinkFace* self, ZbSourceFace* from) {
  (void)self;
  (void)from;
  return true;
}
/* Record the peer first, then call its mirror operation; a call back finds it recorded. */
static bool ZB_METHOD RecorderAddInput(ZbSinkFace* self, ZbSourceFace* pInput) {
  Recorder* rec = RecorderOf(self);
  if (rec->input == pInput) return true;
  rec->input = pInput;
  pInput->vtbl->AddOutput(pInput, self);
  return true;
}
static bool ZB_METHOD RecorderRemoveInput(ZbSinkFace* self, ZbSourceFace* pInput) {
  Recorder* rec = RecorderOf(self);
  if (pInput == NULL || rec->input != pInput) return false;
  rec->input = NULL;
  pInput->vtbl->RemoveOutput(pInput, self);
  return true;
}
static bool ZB_METHOD RecorderHandleFrame(ZbSinkFace* self, ZbSourceFace* from, AvFrame* frame) {
  Recorder* rec = RecorderOf(self);
  RecordedFrame* out;
  (void)from;
  if (rec->nFrames == kMaxRecorded || frame->len > kPcmFrameBytes) {
    ++rec->nOversized;
    return true;
  }
  out = &rec->frames[rec->nFrames++];
  out->type = frame->type;
  out->kind = frame->kind;
  out->seq = frame->info->seq;
  out->timestamp = frame->info->timestamp;
  out->flags = frame->info->flags;
  out->len = frame->len;
  memcpy(out->data, frame->data, frame->len);
  return true;
}

static const ZbSinkFaceVtbl kRecorderVtbl = {RecorderDestroy,  RecorderAcceptsType, RecorderIsActive,
                                             RecorderAddInput, RecorderRemoveInput, RecorderHandleFrame};

static void InitRecorder(Recorder* rec) {
  memset(rec, 0, sizeof *rec);
  rec->sink.vtbl = &kRecorderVtbl;
}

/* ---- The lossy link: a sink face toward the encoder, a source face toward the decoder ---- */
typedef struct Link {
  ZbSinkFace sink;
  ZbSourceFace source;
  ZbSourceFace* input;
  ZbSinkFace* output;
  uint8_t dropType; /* 0: drop nothing */
  int32_t dropSeq;
  int nData;
  int nParity;
  int nDropped;
} Link;

static Link* LinkOfSink(ZbSinkFace* self) { return (Link*)((char*)self - offsetof(Link, sink)); }
static Link* LinkOfSource(ZbSourceFace* self) { return (Link*)((char*)self - offsetof(Link, source)); }

static void* ZB_METHOD LinkSinkDestroy(ZbSinkFace* self, unsigned int flags) {
  (void)flags;
  ++g_nUnexpectedCalls;
  return self;
}
static bool ZB_METHOD LinkAcceptsType(ZbSinkFace* self, uint16_t type) {
  (void)self;
  return type == AV_TYPE_ADPCM || type == AV_TYPE_ADPCM_PARITY;
}
static bool ZB_METHOD LinkIsActive(ZbSinkFace* self, ZbSourceFace* from) {
  (void)self;
  (void)from;
  return true;
}
static bool ZB_METHOD LinkAddInput(ZbSinkFace* self, ZbSourceFace* pInput) {
  Link* link = LinkOfSink(self);
  if (link->input == pInput) return true;
  link->input = pInput;
  pInput->vtbl->AddOutput(pInput, self);
  return true;
}
static bool ZB_METHOD LinkRemoveInput(ZbSinkFace* self, ZbSourceFace* pInput) {
  Link* link = LinkOfSink(self);
  if (pInput == NULL || link->input != pInput) return false;
  link->input = NULL;
  pInput->vtbl->RemoveOutput(pInput, self);
  return true;
}
/* Counts what the encoder sends, drops the chosen frame and passes the rest on. */
static bool ZB_METHOD LinkHandleFrame(ZbSinkFace* self, ZbSourceFace* from, AvFrame* frame) {
  Link* link = LinkOfSink(self);
  ZbSinkFace* out = link->output;
  (void)from;
  if (frame->type == AV_TYPE_ADPCM) ++link->nData;
  if (frame->type == AV_TYPE_ADPCM_PARITY) ++link->nParity;
  if (frame->type == link->dropType && frame->info->seq == link->dropSeq) {
    ++link->nDropped;
    return true;
  }
  if (out != NULL && out->vtbl->IsActive(out, &link->source)) {
    out->vtbl->HandleFrame(out, &link->source, frame);
  }
  return true;
}

static void* ZB_METHOD LinkSourceDestroy(ZbSourceFace* self, unsigned int flags) {
  (void)flags;
  ++g_nUnexpectedCalls;
  return self;
}
static uint16_t ZB_METHOD LinkGetOutputType(ZbSourceFace* self) {
  (void)self;
  return AV_TYPE_ADPCM;
}
static bool ZB_METHOD LinkAddOutput(ZbSourceFace* self, ZbSinkFace* pOutput) {
  Link* link = LinkOfSource(self);
  if (link->output == pOutput) return true;
  link->output = pOutput;
  pOutput->vtbl->AddInput(pOutput, self);
  return true;
}
static bool ZB_METHOD LinkRemoveOutput(ZbSourceFace* self, ZbSinkFace* pOutput) {
  Link* link = LinkOfSource(self);
  if (pOutput == NULL || link->output != pOutput) return false;
  link->output = NULL;
  pOutput->vtbl->RemoveInput(pOutput, self);
  return true;
}
static int32_t ZB_METHOD LinkCountActiveOutputs(ZbSourceFace* self) {
  Link* link = LinkOfSource(self);
  return (link->output != NULL && link->output->vtbl->IsActive(link->output, self)) ? 1 : 0;
}
static int32_t ZB_METHOD LinkReservedQuery(ZbSourceFace* self) {
  (void)self;
  return 0;
}
static void ZB_METHOD LinkReservedNotify(ZbSourceFace* self) { (void)self; }
static int32_t ZB_METHOD LinkReservedControl(ZbSourceFace* self, int32_t value) {
  (void)self;
  (void)value;
  return 0;
}

static const ZbSinkFaceVtbl kLinkSinkVtbl = {LinkSinkDestroy, LinkAcceptsType, LinkIsActive,
                                             LinkAddInput,    LinkRemoveInput, LinkHandleFrame};
static const ZbSourceFaceVtbl kLinkSourceVtbl = {LinkSourceDestroy,      LinkGetOutputType, LinkAddOutput,
                                                 LinkRemoveOutput,       LinkCountActiveOutputs,
                                                 LinkReservedQuery,      LinkReservedNotify,
                                                 LinkReservedControl};

static void InitLink(Link* link, uint8_t dropType, int32_t dropSeq) {
  memset(link, 0, sizeof *link);
  link->sink.vtbl = &kLinkSinkVtbl;
  link->source.vtbl = &kLinkSourceVtbl;
  link->dropType = dropType;
  link->dropSeq = dropSeq;
}

/* ---- The signal: a triangle wave whose pitch and level change per frame, plus noise ---- */
static uint32_t g_noiseState = 12345u;

static int NextNoise(void) {
  g_noiseState = g_noiseState * 1664525u + 1013904223u;
  return (int)((g_noiseState >> 24) & 0x7F) - 64;
}

static void MakePcmFrame(int32_t seq, uint8_t* out) {
  const int amplitude = 3000 + 900 * seq;
  const int period = 40 + 6 * seq;
  int i;
  for (i = 0; i < kSamplesPerFrame; ++i) {
    const int phase = (i + seq * kSamplesPerFrame) % period;
    const int half = period / 2;
    const int ramp = phase < half ? phase : period - phase;
    const int value = amplitude * (4 * ramp - period) / period + NextNoise();
    const uint16_t bits = (uint16_t)(int16_t)value;
    out[2 * i] = (uint8_t)(bits & 0xFF);
    out[2 * i + 1] = (uint8_t)(bits >> 8);
  }
}

static uint8_t g_pcm[kFrameCount][kPcmFrameBytes];

static void MakeSignal(void) {
  int32_t seq;
  for (seq = 0; seq < kFrameCount; ++seq) MakePcmFrame(seq, g_pcm[seq]);
}

static bool PushPcm(void* encoder, int32_t seq) {
  AvFrameInfo info;
  AvFrame frame;
  ZbSinkFace* sink = ZbSinkFaceOf(encoder);
  memset(&info, 0, sizeof info);
  memset(&frame, 0, sizeof frame);
  info.seq = seq;
  info.timestamp = kFirstTimestamp + kTimestampStep * seq;
  info.flags = AV_CLASS_MEDIA;
  frame.type = AV_TYPE_PCM;
  frame.kind = AV_KIND_AUDIO;
  frame.info = &info;
  frame.len = kPcmFrameBytes;
  frame.data = g_pcm[seq];
  return sink->vtbl->HandleFrame(sink, NULL, &frame);
}

/* ---- One chain: encoder -> link -> decoder -> recorder ---- */
typedef struct Chain {
  void* encoder;
  void* decoder;
  Link link;
  Recorder recorder;
} Chain;

static bool BuildChain(Chain* chain, uint8_t dropType, int32_t dropSeq) {
  ZbSourceFace* enc;
  ZbSourceFace* dec;
  ZbSinkFace* decSink;
  InitLink(&chain->link, dropType, dropSeq);
  InitRecorder(&chain->recorder);
  chain->encoder = g_lib.CreateInstance("QV_AdpcmEncoder");
  chain->decoder = g_lib.CreateInstance("QV_AdpcmDecoder");
  if (!CHECK(chain->encoder != NULL && chain->decoder != NULL, "modules created")) return false;
  enc = ZbSourceFaceOf(chain->encoder);
  dec = ZbSourceFaceOf(chain->decoder);
  decSink = ZbSinkFaceOf(chain->decoder);

  /* From the source side, from the sink side, and from the source side again. */
  CHECK(enc->vtbl->AddOutput(enc, &chain->link.sink), "encoder AddOutput answers true");
  CHECK(decSink->vtbl->AddInput(decSink, &chain->link.source), "decoder AddInput answers true");
  CHECK(dec->vtbl->AddOutput(dec, &chain->recorder.sink), "decoder AddOutput answers true");
  CHECK(dec->vtbl->AddOutput(dec, &chain->recorder.sink), "a second AddOutput answers true");

  CHECK(chain->link.input == enc, "the encoder called back the link's AddInput");
  CHECK(chain->link.output == decSink, "the decoder called back the link's AddOutput");
  CHECK(chain->recorder.input == dec, "the decoder called back the recorder's AddInput");
  CHECK(enc->vtbl->CountActiveOutputs(enc) == 1, "encoder has one output");
  CHECK(dec->vtbl->CountActiveOutputs(dec) == 1, "decoder has one output, connected twice");
  return true;
}

static void StreamChain(Chain* chain, int nFrames) {
  int32_t seq;
  for (seq = 0; seq < nFrames; ++seq) {
    CHECK(PushPcm(chain->encoder, seq), "encoder takes PCM frame %d", (int)seq);
  }
}

static void DestroyChain(Chain* chain) {
  g_lib.DestroyInstance(chain->encoder);
  CHECK(chain->link.input == NULL, "destroying the encoder detached it from the link");
  g_lib.DestroyInstance(chain->decoder);
  CHECK(chain->link.output == NULL, "destroying the decoder detached it from the link");
  CHECK(chain->recorder.input == NULL, "destroying the decoder detached it from the recorder");
  CHECK(g_allocator.nLive == 0, "every buffer given back (%d live)", g_allocator.nLive);
}

static const RecordedFrame* FindRendered(const Recorder* rec, int32_t seq, int* nFound) {
  const RecordedFrame* found = NULL;
  int i;
  *nFound = 0;
  for (i = 0; i < rec->nFrames; ++i) {
    if (rec->frames[i].seq == seq) {
      ++*nFound;
      found = &rec->frames[i];
    }
  }
  return found;
}

/* Every frame 0..n-1 rendered exactly once as PCM with its own numbers and, when a
 * reference is given, the reference's bytes. */
static void CheckRendered(const Recorder* rec, int nFrames, const Recorder* reference) {
  int32_t seq;
  CHECK(rec->nOversized == 0, "no oversized or surplus PCM frame");
  CHECK(rec->nFrames == nFrames, "%d PCM frames rendered, %d expected", rec->nFrames, nFrames);
  for (seq = 0; seq < nFrames; ++seq) {
    int nFound = 0;
    int nRefFound = 0;
    const RecordedFrame* got = FindRendered(rec, seq, &nFound);
    if (!CHECK(nFound == 1, "frame %d rendered %d times", (int)seq, nFound)) continue;
    CHECK(got->type == AV_TYPE_PCM && got->kind == AV_KIND_AUDIO, "frame %d is PCM of kind 12", (int)seq);
    CHECK(got->timestamp == kFirstTimestamp + kTimestampStep * seq, "frame %d has timestamp %d", (int)seq,
          (int)got->timestamp);
    CHECK(got->flags == AV_CLASS_MEDIA, "frame %d keeps its flags", (int)seq);
    CHECK(got->len == kPcmFrameBytes, "frame %d has %u PCM bytes", (int)seq, (unsigned)got->len);
    if (reference != NULL) {
      const RecordedFrame* want = FindRendered(reference, seq, &nRefFound);
      if (nRefFound == 1) {
        CHECK(got->len == want->len && memcmp(got->data, want->data, want->len) == 0,
              "frame %d equals the lossless run's PCM", (int)seq);
      }
    }
  }
}

/* The squared error of the rendered frames against the input, and the input's power. */
static int64_t SquaredError(const Recorder* rec, int64_t* signal) {
  int64_t error = 0;
  int i;
  *signal = 0;
  for (i = 0; i < rec->nFrames; ++i) {
    const RecordedFrame* frame = &rec->frames[i];
    int s;
    if (frame->seq < 0 || frame->seq >= kFrameCount) continue;
    for (s = 0; s < kSamplesPerFrame; ++s) {
      const uint8_t* in = &g_pcm[frame->seq][2 * s];
      const uint8_t* out = &frame->data[2 * s];
      const int64_t x = (int16_t)(uint16_t)(in[0] | (in[1] << 8));
      const int64_t y = (int16_t)(uint16_t)(out[0] | (out[1] << 8));
      *signal += x * x;
      error += (x - y) * (x - y);
    }
  }
  return error;
}

/* The lossless decode tracks the input: error power at least 20 dB below the signal's. */
static void CheckQuality(const Recorder* rec) {
  int64_t signal = 0;
  const int64_t error = SquaredError(rec, &signal);
  CHECK(signal > 0 && error * 100 < signal, "decoded PCM tracks the input (error %lld, signal %lld)",
        (long long)error, (long long)signal);
}

/* ---- Scenarios ---- */
static void CheckExportsAndDescriptor(void) {
  char name[ZB_INTERFACE_NAME_BYTES + 8];
  ZbChildModule* desc;
  uint32_t typeId = 0;
  uint8_t flag = 0xFF;
  ZbMemAlloc* none = NULL;

  snprintf(g_scenario, sizeof g_scenario, "exports");
  CHECK(g_lib.Initialize(), "zbInitialize answers true");
  memset(name, 'x', sizeof name);
  CHECK(g_lib.GetInterfaceName(0, name) && memcmp(name, "QV_AdpcmEncoder", ZB_INTERFACE_NAME_BYTES) == 0,
        "interface 0 is the encoder");
  CHECK(g_lib.GetInterfaceName(1, name) && memcmp(name, "QV_AdpcmDecoder", ZB_INTERFACE_NAME_BYTES) == 0,
        "interface 1 is the decoder");
  memset(name, 'x', sizeof name);
  CHECK(!g_lib.GetInterfaceName(2, name) && name[0] == 'x', "interface 2 does not exist, buffer untouched");
  CHECK(!g_lib.GetInterfaceName(0, NULL), "a null buffer is refused");
  CHECK(g_lib.CreateInstance("QV_AdpcmEncoder ") == NULL, "a near-miss name creates nothing");
  CHECK(g_lib.CreateInstance(NULL) == NULL, "a null name creates nothing");

  snprintf(g_scenario, sizeof g_scenario, "descriptor");
  desc = (ZbChildModule*)g_lib.CreateInstance("IZBAvChildModule");
  if (!CHECK(desc != NULL, "descriptor handed out")) return;
  CHECK(g_lib.CreateInstance("IZBAvChildModule") == desc, "the descriptor is one object");
  CHECK(desc->vtbl->GetModuleInfo(desc, "QV_AdpcmEncoder", &typeId, &flag) && typeId == kEncoderTypeId &&
            flag == 0,
        "encoder type id 0x%lx", (unsigned long)typeId);
  CHECK(desc->vtbl->GetModuleInfo(desc, "QV_AdpcmDecoder", &typeId, &flag) && typeId == kDecoderTypeId &&
            flag == 0,
        "decoder type id 0x%lx", (unsigned long)typeId);
  typeId = 7;
  CHECK(!desc->vtbl->GetModuleInfo(desc, "IZBAvChildModule", &typeId, &flag) && typeId == 7,
        "the descriptor has no type id");
  CHECK(!desc->vtbl->ReservedQuery(desc), "descriptor slot 2 answers false");
  CHECK(desc->vtbl->ReservedCallA(desc, 1, -2, 3, -4), "descriptor slot 3 answers true");
  CHECK(desc->vtbl->ReservedCallB(desc, -1, 2, -3, 4), "descriptor slot 4 answers true");
  desc->vtbl->SetMemAllocator(desc, &g_allocator.face);
  desc->vtbl->SetMemAllocator(desc, none); /* null keeps the allocator installed */
  g_lib.DestroyInstance(desc);             /* ignored: never recorded */
  CHECK(g_lib.CreateInstance("IZBAvChildModule") == desc, "destroying the descriptor is ignored");
}

/* Frames a module must refuse with false, whatever the host hands in. */
static void CheckRefusedFrames(void* enc, void* dec) {
  AvFrameInfo info;
  AvFrame frame;
  ZbSinkFace* encSink = ZbSinkFaceOf(enc);
  ZbSinkFace* decSink = ZbSinkFaceOf(dec);
  static uint8_t payload[kPcmFrameBytes];
  memset(&info, 0, sizeof info);
  memset(&frame, 0, sizeof frame);
  info.flags = AV_CLASS_MEDIA;
  frame.type = AV_TYPE_ADPCM;
  frame.kind = AV_KIND_AUDIO;
  frame.info = &info;
  frame.len = kAdpcmBlockBytes;
  frame.data = payload;

  CHECK(!encSink->vtbl->HandleFrame(encSink, NULL, NULL), "encoder refuses a null frame");
  CHECK(!decSink->vtbl->HandleFrame(decSink, NULL, NULL), "decoder refuses a null frame");
  info.flags = AV_CLASS_MEDIA | 0x01;
  CHECK(!encSink->vtbl->HandleFrame(encSink, NULL, &frame), "encoder refuses frame class 3");
  CHECK(!decSink->vtbl->HandleFrame(decSink, NULL, &frame), "decoder refuses frame class 3");
  info.flags = AV_CLASS_MEDIA;
  frame.kind = AV_KIND_AUDIO - 1;
  CHECK(!decSink->vtbl->HandleFrame(decSink, NULL, &frame), "decoder refuses kind 11");
  frame.kind = AV_KIND_AUDIO;
  frame.info = NULL;
  CHECK(!encSink->vtbl->HandleFrame(encSink, NULL, &frame), "encoder refuses a frame without info");
  CHECK(!decSink->vtbl->HandleFrame(decSink, NULL, &frame), "decoder refuses a frame without info");
  frame.info = &info;
  frame.data = NULL;
  CHECK(!encSink->vtbl->HandleFrame(encSink, NULL, &frame), "encoder refuses a null payload");
  CHECK(!decSink->vtbl->HandleFrame(decSink, NULL, &frame), "decoder refuses a null payload");
  CHECK(g_allocator.nLive == 0, "refused frames took no buffer");
}

static void CheckModuleFaces(void) {
  void* enc;
  void* dec;
  ZbSinkFace* encSink;
  ZbSinkFace* decSink;

  snprintf(g_scenario, sizeof g_scenario, "faces");
  enc = g_lib.CreateInstance("QV_AdpcmEncoder");
  dec = g_lib.CreateInstance("QV_AdpcmDecoder");
  if (!CHECK(enc != NULL && dec != NULL && enc != dec, "two distinct modules")) return;
  encSink = ZbSinkFaceOf(enc);
  decSink = ZbSinkFaceOf(dec);
  CHECK(ZbSourceFaceOf(enc)->vtbl->GetOutputType(ZbSourceFaceOf(enc)) == AV_TYPE_ADPCM, "encoder emits ADPCM");
  CHECK(ZbSourceFaceOf(dec)->vtbl->GetOutputType(ZbSourceFaceOf(dec)) == AV_TYPE_PCM, "decoder emits PCM");
  CHECK(encSink->vtbl->AcceptsType(encSink, AV_TYPE_PCM) && !encSink->vtbl->AcceptsType(encSink, AV_TYPE_ADPCM),
        "encoder sink takes PCM only");
  CHECK(decSink->vtbl->AcceptsType(decSink, AV_TYPE_ADPCM) && decSink->vtbl->AcceptsType(decSink, AV_TYPE_ADPCM_PARITY) &&
            !decSink->vtbl->AcceptsType(decSink, AV_TYPE_PCM),
        "decoder sink takes ADPCM and parity");
  CHECK(encSink->vtbl->IsActive(encSink, NULL) && decSink->vtbl->IsActive(decSink, NULL), "sinks are active");
  CHECK(ZbSourceFaceOf(enc)->vtbl->ReservedQuery(ZbSourceFaceOf(enc)) == 0, "source slot 5 answers 0");
  CHECK(ZbSourceFaceOf(enc)->vtbl->ReservedControl(ZbSourceFaceOf(enc), 42) == 0, "source slot 7 answers 0");
  CHECK(ZbFilterVtblOf(ZbSourceFaceOf(enc))->ResetStream(ZbSourceFaceOf(enc)), "encoder ResetStream answers true");
  CHECK(ZbFilterVtblOf(ZbSourceFaceOf(dec))->ResetStream(ZbSourceFaceOf(dec)), "decoder ResetStream answers true");

  CheckRefusedFrames(enc, dec);

  /* Connect and disconnect from opposite ends. */
  CHECK(ZbSourceFaceOf(enc)->vtbl->AddOutput(ZbSourceFaceOf(enc), decSink), "encoder AddOutput(decoder)");
  CHECK(ZbSourceFaceOf(enc)->vtbl->CountActiveOutputs(ZbSourceFaceOf(enc)) == 1, "one output after connecting");
  CHECK(decSink->vtbl->RemoveInput(decSink, ZbSourceFaceOf(enc)), "decoder RemoveInput(encoder) answers true");
  CHECK(ZbSourceFaceOf(enc)->vtbl->CountActiveOutputs(ZbSourceFaceOf(enc)) == 0, "the encoder forgot the decoder");
  CHECK(!decSink->vtbl->RemoveInput(decSink, ZbSourceFaceOf(enc)), "a second RemoveInput answers false");

  g_lib.DestroyInstance(enc);
  g_lib.DestroyInstance(dec);
  g_lib.DestroyInstance(dec); /* already destroyed: ignored */
}

static void RunLossless(Recorder* reference) {
  Chain chain;
  snprintf(g_scenario, sizeof g_scenario, "lossless");
  if (!BuildChain(&chain, 0, 0)) return;
  StreamChain(&chain, kFrameCount);
  CHECK(chain.link.nData == kFrameCount, "%d data frames sent", chain.link.nData);
  CHECK(chain.link.nParity == kFrameCount - 1, "%d parity frames sent", chain.link.nParity);
  CheckRendered(&chain.recorder, kFrameCount, NULL);
  CheckQuality(&chain.recorder);
  *reference = chain.recorder;
  DestroyChain(&chain);
}

static void RunWithLoss(const Recorder* reference, uint8_t dropType, int32_t dropSeq) {
  Chain chain;
  snprintf(g_scenario, sizeof g_scenario, "%s frame %d lost", dropType == AV_TYPE_ADPCM ? "data" : "parity",
           (int)dropSeq);
  if (!BuildChain(&chain, dropType, dropSeq)) return;
  StreamChain(&chain, kFrameCount);
  CHECK(chain.link.nDropped == 1, "the chosen frame was dropped");
  CheckRendered(&chain.recorder, kFrameCount, reference);
  DestroyChain(&chain);
}

static void RunWithoutRedundancy(const Recorder* reference) {
  Chain chain;
  snprintf(g_scenario, sizeof g_scenario, "redundancy off");
  if (!BuildChain(&chain, 0, 0)) return;
  ZbEncoderVtblOf(ZbSourceFaceOf(chain.encoder))->EnableRedundancy(ZbSourceFaceOf(chain.encoder), false);
  StreamChain(&chain, kFrameCount);
  CHECK(chain.link.nParity == 0, "%d parity frames sent with redundancy off", chain.link.nParity);
  CHECK(chain.link.nData == kFrameCount, "%d data frames sent", chain.link.nData);
  CheckRendered(&chain.recorder, kFrameCount, reference);
  DestroyChain(&chain);
}

/* The host allocator has no buffer for one frame at one stage: that frame is not rendered,
 * no parity frame spans it, every other frame still comes out bit-exact. */
static void RunWithoutBuffer(const Recorder* reference, uint32_t refusedSize, int32_t refusedSeq) {
  Chain chain;
  int32_t seq;
  int i;
  snprintf(g_scenario, sizeof g_scenario, "no %u-byte buffer for frame %d", (unsigned)refusedSize,
           (int)refusedSeq);
  if (!BuildChain(&chain, 0, 0)) return;
  for (seq = 0; seq < kFrameCount; ++seq) {
    g_allocator.refuseSize = seq == refusedSeq ? refusedSize : 0;
    PushPcm(chain.encoder, seq);
  }
  g_allocator.refuseSize = 0;
  CHECK(chain.recorder.nFrames == kFrameCount - 1, "%d frames rendered", chain.recorder.nFrames);
  for (i = 0; i < chain.recorder.nFrames; ++i) {
    const RecordedFrame* got = &chain.recorder.frames[i];
    int nRefFound = 0;
    const RecordedFrame* want = FindRendered(reference, got->seq, &nRefFound);
    CHECK(got->seq != refusedSeq, "the frame without a buffer was not rendered");
    CHECK(nRefFound == 1 && got->len == want->len && memcmp(got->data, want->data, want->len) == 0,
          "frame %d equals the lossless run's PCM", (int)got->seq);
  }
  if (refusedSize == kEncoderBufferBytes) {
    /* Neither P(k) nor P(k+1) can be formed: frame k was never sent. */
    CHECK(chain.link.nData == kFrameCount - 1, "%d data frames sent", chain.link.nData);
    CHECK(chain.link.nParity == kFrameCount - 3, "%d parity frames sent", chain.link.nParity);
  }
  DestroyChain(&chain);
}

/* After ResetStream the next frame goes without parity. */
static void RunResetStream(void) {
  Chain chain;
  const int nBefore = 3;
  int32_t seq;
  snprintf(g_scenario, sizeof g_scenario, "reset stream");
  if (!BuildChain(&chain, 0, 0)) return;
  for (seq = 0; seq < nBefore; ++seq) PushPcm(chain.encoder, seq);
  CHECK(ZbFilterVtblOf(ZbSourceFaceOf(chain.encoder))->ResetStream(ZbSourceFaceOf(chain.encoder)), "ResetStream answers true");
  PushPcm(chain.encoder, nBefore);
  CHECK(chain.link.nParity == nBefore - 1, "%d parity frames, none across the reset", chain.link.nParity);
  CHECK(chain.recorder.nFrames == nBefore + 1, "every frame rendered");
  DestroyChain(&chain);
}

/* An encoder mode chosen through slot 9 and streamed losslessly and with one data frame
 * lost: every frame rendered, the lost one rebuilt bit-exactly. An untagged value leaves
 * the default output; each mode decodes closer to the input than the one before it. */
static int64_t RunEncoderMode(const Recorder* reference, int32_t value, int64_t previousError) {
  static Chain lossless;
  static Chain lossy;
  int64_t signal = 0;
  int64_t error = 0;
  const bool tagged =
      value == ZB_ENCODER_CARRIED || value == ZB_ENCODER_SEARCH || value == ZB_ENCODER_SEARCH_DEEP;
  snprintf(g_scenario, sizeof g_scenario, "encoder setting 0x%08lX", (unsigned long)(uint32_t)value);
  if (!BuildChain(&lossless, 0, 0)) return 0;
  ZbEncoderVtblOf(ZbSourceFaceOf(lossless.encoder))->ReservedSetting(ZbSourceFaceOf(lossless.encoder), value);
  StreamChain(&lossless, kFrameCount);
  CheckRendered(&lossless.recorder, kFrameCount, tagged ? NULL : reference);
  error = SquaredError(&lossless.recorder, &signal);
  if (tagged) CHECK(error < previousError, "closer to the input (error %lld, before %lld)", (long long)error,
                    (long long)previousError);
  if (BuildChain(&lossy, AV_TYPE_ADPCM, kFrameCount / 2)) {
    ZbEncoderVtblOf(ZbSourceFaceOf(lossy.encoder))->ReservedSetting(ZbSourceFaceOf(lossy.encoder), value);
    StreamChain(&lossy, kFrameCount);
    CHECK(lossy.link.nDropped == 1, "the chosen frame was dropped");
    CheckRendered(&lossy.recorder, kFrameCount, &lossless.recorder);
    DestroyChain(&lossy);
  }
  DestroyChain(&lossless);
  return error;
}

/* Slot 0 reached through the sink face destroys the whole module and detaches it. The
 * module is not given to zbDestroyInstance afterwards: its registry record is stale. */
static void RunDestroyThroughSinkFace(void) {
  Recorder recorder;
  void* dec;
  ZbSinkFace* sink;
  void* result;
  snprintf(g_scenario, sizeof g_scenario, "destroy through sink face");
  InitRecorder(&recorder);
  dec = g_lib.CreateInstance("QV_AdpcmDecoder");
  if (!CHECK(dec != NULL, "decoder created")) return;
  ZbSourceFaceOf(dec)->vtbl->AddOutput(ZbSourceFaceOf(dec), &recorder.sink);
  CHECK(recorder.input == ZbSourceFaceOf(dec), "recorder connected");
  sink = ZbSinkFaceOf(dec);
  result = sink->vtbl->DeletingDestructor(sink, ZB_DELETE_FREES_MEMORY);
  CHECK(result == dec, "slot 0 answers the module's start");
  CHECK(recorder.input == NULL, "the destroyed module detached from the recorder");
}

static bool LoadLibraryExports(HostLibrary lib) {
  HostProc procs[kExportCount];
  static const char* const names[kExportCount] = {"zbInitialize", "zbUninitialize", "zbGetInterfaceName",
                                       "zbCreateInstance", "zbDestroyInstance"};
  int i;
  bool ok = true;
  for (i = 0; i < kExportCount; ++i) {
    procs[i] = FindHostSymbol(lib, names[i]);
    ok = CHECK(procs[i] != NULL, "export %s found", names[i]) && ok;
  }
  if (!ok) return false;
  g_lib.Initialize = (ZbInitializeFn)procs[0];
  g_lib.Uninitialize = (ZbUninitializeFn)procs[1];
  g_lib.GetInterfaceName = (ZbGetInterfaceNameFn)procs[2];
  g_lib.CreateInstance = (ZbCreateInstanceFn)procs[3];
  g_lib.DestroyInstance = (ZbDestroyInstanceFn)procs[4];
  return true;
}

int main(void) {
  static Recorder reference;
  HostLibrary lib;
  int32_t seq;

  MakeSignal();
  lib = OpenHostLibrary(HOST_LIBRARY_NAME);
  if (lib == NULL) {
    fprintf(stderr, "FAIL: cannot load %s\n", HOST_LIBRARY_NAME);
    return 1;
  }
  if (LoadLibraryExports(lib)) {
    CheckExportsAndDescriptor();
    CheckModuleFaces();
    RunLossless(&reference);
    for (seq = 0; seq < kFrameCount; ++seq) RunWithLoss(&reference, AV_TYPE_ADPCM, seq);
    for (seq = 1; seq < kFrameCount; ++seq) RunWithLoss(&reference, AV_TYPE_ADPCM_PARITY, seq);
    RunWithoutRedundancy(&reference);
    RunWithoutBuffer(&reference, kEncoderBufferBytes, kFrameCount / 2);
    RunWithoutBuffer(&reference, kDecoderBufferBytes, kFrameCount / 2);
    RunResetStream();
    {
      int64_t signal = 0;
      int64_t error = SquaredError(&reference, &signal);
      RunEncoderMode(&reference, 0, error);
      RunEncoderMode(&reference, (int32_t)(ZB_ENCODER_CARRIED & ~0xFF), error);
      error = RunEncoderMode(&reference, ZB_ENCODER_CARRIED, error);
      error = RunEncoderMode(&reference, ZB_ENCODER_SEARCH, error);
      RunEncoderMode(&reference, ZB_ENCODER_SEARCH_DEEP, error);
    }
    RunDestroyThroughSinkFace();

    snprintf(g_scenario, sizeof g_scenario, "teardown");
    CHECK(g_allocator.nLive == 0, "%d buffers never given back", g_allocator.nLive);
    CHECK(g_allocator.nAllocs > 0 && g_allocator.nAllocs == g_allocator.nFrees, "%d allocations, %d frees",
          g_allocator.nAllocs, g_allocator.nFrees);
    CHECK(g_allocator.nForeignFrees == 0, "%d frees of foreign pointers", g_allocator.nForeignFrees);
    CHECK(g_allocator.nOddSizes == 0, "%d buffer requests of unexpected size", g_allocator.nOddSizes);
    CHECK(g_nUnexpectedCalls == 0, "the library called a host object's slot 0");
    g_lib.Uninitialize();
  }
  CHECK(CloseHostLibrary(lib), "library unloads");

  printf("abi_host (%s): %d checks, %d failed\n", HOST_LIBRARY_NAME, g_nChecks, g_nFailures);
  return g_nFailures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
