// zbadpcmenc: S16LE mono PCM in, one coded buffer per 20 ms data frame out, each followed (with
// `parity` on) by its parity frame, the XOR of it and the data frame before. `mode` picks how the
// library codes each block (the search encoder unless set).
#pragma once

#include <gst/audio/gstaudioencoder.h>

G_BEGIN_DECLS

// The library's encoder modes, as the `mode` property names them.
typedef enum {
  GST_ZBADPCM_ENC_MODE_SPECIFIED,  // every block starts at step index 0
  GST_ZBADPCM_ENC_MODE_CARRIED,    // each block starts at the step index the block before ended with
  GST_ZBADPCM_ENC_MODE_SEARCH,     // carried, each block's codes searched for the least squared error (the default)
  GST_ZBADPCM_ENC_MODE_SEARCH_DEEP  // a wider search: closer still, about 15 times slower than search
} GstZbAdpcmEncMode;

#define GST_TYPE_ZBADPCM_ENC_MODE (gst_zbadpcm_enc_mode_get_type())
GType gst_zbadpcm_enc_mode_get_type(void);

#define GST_TYPE_ZBADPCM_ENC (gst_zbadpcm_enc_get_type())
G_DECLARE_FINAL_TYPE(GstZbAdpcmEnc, gst_zbadpcm_enc, GST, ZBADPCM_ENC, GstAudioEncoder)

GST_ELEMENT_REGISTER_DECLARE(zbadpcmenc);

G_END_DECLS
