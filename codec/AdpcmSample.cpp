// The sample coder's two steps on a channel record, over the lookup rows of AdpcmKernel.h.
#include "codec/AdpcmSample.h"

#include "codec/AdpcmKernel.h"

uint8_t EncodeAdpcmSample(AdpcmChannelState& channel, int16_t sample) {
  AdpcmEncoderCursor cursor{channel.encodePredictor, &AdpcmEncoderRows.row[channel.stepIndex]};
  const uint32_t code = AdpcmEncodeStep(cursor, sample);
  channel.encodePredictor = cursor.predictor;
  channel.stepIndex = static_cast<int16_t>(cursor.row - AdpcmEncoderRows.row);
  return static_cast<uint8_t>(code);
}

int16_t DecodeAdpcmSample(AdpcmChannelState& channel, uint8_t code) {
  AdpcmDecoderLink link = AdpcmDecoderLinkOf(channel.stepIndex);
  const int32_t sample = AdpcmDecodeStep(channel.decodePredictor, link, code);
  channel.stepIndex = AdpcmDecoderStepIndex(link);
  return static_cast<int16_t>(sample);
}
