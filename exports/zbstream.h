/* The stream's facts every host of the library shares: the frame's duration, the sample
 * rates the modules code, the block coder's sizes and the header before each coded frame
 * on the wire. Plain constants, for C and C++ hosts alike. */
#ifndef ZB_STREAM_H
#define ZB_STREAM_H

/* One frame lasts 20 ms; its timestamp advances by as much. */
#define ZB_FRAME_MS 20

/* Rates whose 20 ms frame is a whole number of blocks that the decoder's slots hold. */
#define ZB_STREAM_RATES 8000, 16000, 24000, 32000, 40000, 48000
#define ZB_DEFAULT_RATE 16000

/* The block coder turns each 320-byte piece of a 16-bit mono PCM frame into one 84-byte
 * ADPCM block. */
#define ZB_PCM_BYTES_PER_BLOCK 320
#define ZB_ADPCM_BYTES_PER_BLOCK 84

/* Bytes of the header (parity bit and frame number) before each coded frame on the wire. */
#define ZB_FRAME_HEADER_BYTES 4

#endif /* ZB_STREAM_H */
