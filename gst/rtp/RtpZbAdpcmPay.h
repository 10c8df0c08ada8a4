// rtpzbadpcmpay: one coded frame per RTP packet, data and parity frames alike; `parity-delay`
// sends each parity frame that many frames after its data frame.
#pragma once

#include <gst/rtp/gstrtpbasepayload.h>

namespace zbgst {
// Longest `parity-delay`, in 20 ms frames: a receiver holds one frame more than the delay.
inline constexpr unsigned kMaxParityDelay = 8;
}  // namespace zbgst

G_BEGIN_DECLS

#define GST_TYPE_RTP_ZBADPCM_PAY (gst_rtp_zbadpcm_pay_get_type())
G_DECLARE_FINAL_TYPE(GstRtpZbAdpcmPay, gst_rtp_zbadpcm_pay, GST, RTP_ZBADPCM_PAY, GstRTPBasePayload)

GST_ELEMENT_REGISTER_DECLARE(rtpzbadpcmpay);

G_END_DECLS
