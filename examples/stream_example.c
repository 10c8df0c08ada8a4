/* A host written in C: it installs its allocator, wires encoder -> decoder -> its own sink,
 * streams a few PCM frames and checks what comes out. It uses only the installed header
 * zbav_c.h and links the library:
 *   cc stream_example.c $(pkg-config --cflags --libs zbadpcm)
 *   i686-w64-mingw32-gcc stream_example.c -I<zip>/include/zbadpcm <zip>/lib/libzbadpcm.dll.a
 * Exit code 0 when every frame came back and the decoded audio tracks the input. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zbav_c.h"

enum { kFrames = 10, kSamplesPerFrame = 320, kPcmFrameBytes = 2 * kSamplesPerFrame };

/* Frame `seq` of a triangle wave, as 16-bit little-endian samples. */
static void MakePcm(int32_t seq, uint8_t* out) {
  const int period = 64;
  int i;
  for (i = 0; i < kSamplesPerFrame; ++i) {
    const int phase = (int)((seq * kSamplesPerFrame + i) % period);
    const int ramp = phase < period / 2 ? phase : period - phase;
    const uint16_t bits = (uint16_t)(int16_t)(250 * (4 * ramp - period));
    out[2 * i] = (uint8_t)(bits & 0xFF);
    out[2 * i + 1] = (uint8_t)(bits >> 8);
  }
}

static int16_t SampleAt(const uint8_t* pcm, int i) { return (int16_t)(uint16_t)(pcm[2 * i] | pcm[2 * i + 1] << 8); }

/* The host allocator: every frame buffer the modules use comes from here. */
static int g_nLiveBuffers;
static void* ZB_METHOD HostAlloc(ZbMemAlloc* self, uint32_t size) {
  void* ptr = malloc(size);
  (void)self;
  if (ptr != NULL) ++g_nLiveBuffers;
  return ptr;
}
static void ZB_METHOD HostFree(ZbMemAlloc* self, void* ptr) {
  (void)self;
  if (ptr != NULL) --g_nLiveBuffers;
  free(ptr);
}
static const ZbMemAllocVtbl kAllocVtbl = {HostAlloc, HostFree};
static ZbMemAlloc g_allocator = {&kAllocVtbl};

/* The host's sink: compares each decoded frame with the frame that went in. */
typedef struct PcmCheck {
  ZbSinkFace sink; /* first member: the object's address is its sink face */
  ZbSourceFace* input;
  int nFrames;
  int64_t signal; /* sums of squared input samples and squared coding errors */
  int64_t error;
} PcmCheck;

static void* ZB_METHOD CheckDestroy(ZbSinkFace* self, unsigned int flags) {
  (void)flags; /* the host owns this object; the library never destroys it */
  return self;
}
static bool ZB_METHOD CheckAcceptsType(ZbSinkFace* self, uint16_t type) {
  (void)self;
  return type == AV_TYPE_PCM;
}
static bool ZB_METHOD CheckIsActive(ZbSinkFace* self, ZbSourceFace* from) {
  (void)self;
  (void)from;
  return true;
}
/* A connection is recorded on both sides: record the peer, then tell it. */
static bool ZB_METHOD CheckAddInput(ZbSinkFace* self, ZbSourceFace* pInput) {
  PcmCheck* check = (PcmCheck*)self;
  if (check->input == pInput) return true;
  check->input = pInput;
  pInput->vtbl->AddOutput(pInput, self);
  return true;
}
static bool ZB_METHOD CheckRemoveInput(ZbSinkFace* self, ZbSourceFace* pInput) {
  PcmCheck* check = (PcmCheck*)self;
  if (pInput == NULL || check->input != pInput) return false;
  check->input = NULL;
  pInput->vtbl->RemoveOutput(pInput, self);
  return true;
}
/* Frames are lent for the duration of this call only. */
static bool ZB_METHOD CheckHandleFrame(ZbSinkFace* self, ZbSourceFace* from, AvFrame* frame) {
  PcmCheck* check = (PcmCheck*)self;
  uint8_t sent[kPcmFrameBytes];
  int i;
  (void)from;
  if (frame->type != AV_TYPE_PCM || frame->len != kPcmFrameBytes) return false;
  MakePcm(frame->info->seq, sent);
  for (i = 0; i < kSamplesPerFrame; ++i) {
    const int64_t x = SampleAt(sent, i);
    const int64_t y = SampleAt(frame->data, i);
    check->signal += x * x;
    check->error += (x - y) * (x - y);
  }
  ++check->nFrames;
  return true;
}
static const ZbSinkFaceVtbl kCheckVtbl = {CheckDestroy,  CheckAcceptsType, CheckIsActive,
                                          CheckAddInput, CheckRemoveInput, CheckHandleFrame};

int main(void) {
  PcmCheck check;
  ZbChildModule* child;
  void* enc;
  void* dec;
  int32_t seq;
  bool ok;

  memset(&check, 0, sizeof check);
  check.sink.vtbl = &kCheckVtbl;
  if (!zbInitialize()) return EXIT_FAILURE;
  child = (ZbChildModule*)zbCreateInstance(ZB_NAME_CHILD_MODULE);
  child->vtbl->SetMemAllocator(child, &g_allocator);
  enc = zbCreateInstance(ZB_NAME_ENCODER);
  dec = zbCreateInstance(ZB_NAME_DECODER);
  if (enc == NULL || dec == NULL) return EXIT_FAILURE;
  ZbSourceFaceOf(enc)->vtbl->AddOutput(ZbSourceFaceOf(enc), ZbSinkFaceOf(dec));
  ZbSourceFaceOf(dec)->vtbl->AddOutput(ZbSourceFaceOf(dec), &check.sink);

  for (seq = 0; seq < kFrames; ++seq) {
    /* 20 ms of 16-bit mono PCM at 16 kHz: type 128, kind 12, flags class 2 */
    uint8_t pcm[kPcmFrameBytes];
    AvFrameInfo info = {seq, 20 * seq, AV_CLASS_MEDIA, {0, 0, 0}};
    AvFrame frame = {AV_TYPE_PCM, 0, AV_KIND_AUDIO, &info, kPcmFrameBytes, pcm};
    MakePcm(seq, pcm);
    ZbSinkFaceOf(enc)->vtbl->HandleFrame(ZbSinkFaceOf(enc), NULL, &frame);
  }

  zbDestroyInstance(enc);
  zbDestroyInstance(dec);
  zbUninitialize();

  /* The coding error stays 20 dB below the signal. */
  ok = check.nFrames == kFrames && check.input == NULL && g_nLiveBuffers == 0 &&
       check.error * 100 < check.signal;
  printf("%d of %d frames decoded, error power 1/%lld of the signal's, %d buffers left: %s\n",
         check.nFrames, kFrames, (long long)(check.signal / (check.error > 0 ? check.error : 1)),
         g_nLiveBuffers, ok ? "ok" : "FAILED");
  return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}
