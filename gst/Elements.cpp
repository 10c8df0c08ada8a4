// Element registration.
#include "gst/Elements.h"

#include "gst/binding/LinkedLibrary.h"
#include "gst/decode/ZbAdpcmDec.h"
#include "gst/encode/ZbAdpcmEnc.h"
#include "gst/rtp/RtpGuard.h"
#include "gst/rtp/RtpZbAdpcmDepay.h"
#include "gst/rtp/RtpZbAdpcmPay.h"

namespace zbgst {

gboolean RegisterElements(GstPlugin* plugin) {
  if (!InitLibrary()) {
    GST_ERROR("the zbadpcm library failed to initialise");
    return FALSE;
  }
  return GST_ELEMENT_REGISTER(zbadpcmenc, plugin) && GST_ELEMENT_REGISTER(zbadpcmdec, plugin) &&
         GST_ELEMENT_REGISTER(rtpzbadpcmpay, plugin) && GST_ELEMENT_REGISTER(rtpzbadpcmdepay, plugin) &&
         GST_ELEMENT_REGISTER(zbrtpguard, plugin);
}

}  // namespace zbgst
