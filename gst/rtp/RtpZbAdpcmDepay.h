// rtpzbadpcmdepay: the coded frame of each RTP packet, for zbadpcmdec.
#pragma once

#include <gst/rtp/gstrtpbasedepayload.h>

G_BEGIN_DECLS

#define GST_TYPE_RTP_ZBADPCM_DEPAY (gst_rtp_zbadpcm_depay_get_type())
G_DECLARE_FINAL_TYPE(GstRtpZbAdpcmDepay, gst_rtp_zbadpcm_depay, GST, RTP_ZBADPCM_DEPAY, GstRTPBaseDepayload)

GST_ELEMENT_REGISTER_DECLARE(rtpzbadpcmdepay);

G_END_DECLS
