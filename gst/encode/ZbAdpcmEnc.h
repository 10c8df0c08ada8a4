// zbadpcmenc: S16LE mono PCM in, one coded buffer per 20 ms data frame out, each followed (with
// `parity` on) by its parity frame, the XOR of it and the data frame before.
#pragma once

#include <gst/audio/gstaudioencoder.h>

G_BEGIN_DECLS

#define GST_TYPE_ZBADPCM_ENC (gst_zbadpcm_enc_get_type())
G_DECLARE_FINAL_TYPE(GstZbAdpcmEnc, gst_zbadpcm_enc, GST, ZBADPCM_ENC, GstAudioEncoder)

GST_ELEMENT_REGISTER_DECLARE(zbadpcmenc);

G_END_DECLS
