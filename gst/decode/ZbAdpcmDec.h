// zbadpcmdec: coded data and parity frames in, S16LE mono out with continuous timestamps.
// Duplicates are dropped and single losses rebuilt by the library's decoder module; frames
// nothing could rebuild are concealed (`plc`) or silent. `stats` counts what happened.
#pragma once

#include <gst/audio/gstaudiodecoder.h>

G_BEGIN_DECLS

#define GST_TYPE_ZBADPCM_DEC (gst_zbadpcm_dec_get_type())
G_DECLARE_FINAL_TYPE(GstZbAdpcmDec, gst_zbadpcm_dec, GST, ZBADPCM_DEC, GstAudioDecoder)

GST_ELEMENT_REGISTER_DECLARE(zbadpcmdec);

G_END_DECLS
