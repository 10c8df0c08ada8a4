#!/bin/sh
# gst-inspect-1.0 over the built plug-in, as a user would run it: the plug-in lists its five
# elements, and each element shows its sink and source pads and its own properties.
# Usage: inspect_check.sh PLUGIN_DIR SCRATCH_DIR
set -eu
export GST_PLUGIN_PATH="$1"
export GST_REGISTRY="$2/inspect-registry.bin"

fail() {
  echo "inspect_check: $*" >&2
  exit 1
}

plugin=$(gst-inspect-1.0 zbadpcm) || fail "gst-inspect-1.0 does not find the plug-in zbadpcm"
echo "$plugin" | grep -q "Filename .*libgstzbadpcm.so" || fail "the plug-in is not libgstzbadpcm.so"
for entry in zbadpcmenc:parity,mode zbadpcmdec:plc,stats rtpzbadpcmpay:parity-delay rtpzbadpcmdepay:stats \
    zbrtpguard:max-dropout,max-misorder,max-time-jump,stats; do
  element=${entry%%:*}
  echo "$plugin" | grep -q "^  $element: " || fail "the plug-in does not list $element"
  details=$(gst-inspect-1.0 "$element") || fail "gst-inspect-1.0 $element failed"
  echo "$details" | grep -q "SINK template: 'sink'" || fail "$element shows no sink pad"
  echo "$details" | grep -q "SRC template: 'src'" || fail "$element shows no source pad"
  for property in $(echo "${entry#*:}" | tr ',' ' '); do
    echo "$details" | grep -q "^  $property  *:" || fail "$element shows no property $property"
  done
done
echo "inspect_check: zbadpcm shows its five elements with their pads and properties"
