// zbrtpguard: passes on the RTP packets of the stream it follows and holds back a packet that
// jumps away from it until the next packet shows whether the jump is real. Placed before
// rtpjitterbuffer on a plain RTP link, so that a stray packet cannot move the jitter buffer.
#pragma once

#include <gst/base/gstbasetransform.h>

G_BEGIN_DECLS

#define GST_TYPE_ZB_RTP_GUARD (gst_zb_rtp_guard_get_type())
G_DECLARE_FINAL_TYPE(GstZbRtpGuard, gst_zb_rtp_guard, GST, ZB_RTP_GUARD, GstBaseTransform)

GST_ELEMENT_REGISTER_DECLARE(zbrtpguard);

G_END_DECLS
