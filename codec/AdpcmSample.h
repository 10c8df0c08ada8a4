// The 4-bit sample coder of one audio channel: a state record and one step per direction.
#pragma once

#include <cstdint>

// Per-channel coder state. Encoding uses encodePredictor and stepIndex, decoding uses
// decodePredictor and stepIndex; a record serves one direction at a time.
struct AdpcmChannelState {
  int32_t decodePredictor;  // last decoded sample, -32768..32767
  int16_t stepIndex;        // 0..88
  int32_t encodePredictor;  // the encoder's running reconstruction, -32768..32767
};

// Codes one sample; returns the 4-bit code (bit 3 sign, bits 0..2 magnitude).
uint8_t EncodeAdpcmSample(AdpcmChannelState& channel, int16_t sample);

// Decodes one 4-bit code (0..15); returns the sample, also left in decodePredictor.
int16_t DecodeAdpcmSample(AdpcmChannelState& channel, uint8_t code);
