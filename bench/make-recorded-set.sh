#!/usr/bin/env bash
# Makes a set of recorded speech for encoder_mode_quality: the spoken channel names that
# alsa-utils installs (one voice, 48 kHz; its noise file left out), joined into one file
# of about 11 s, written at 8 and 16 kHz:
#   DIR/words-8k.wav  DIR/words-16k.wav
# Needs alsa-utils and sox.
# Usage: bench/make-recorded-set.sh [DIR]   (default build/speech-set)
set -euo pipefail

cd "$(dirname "$0")/.."
readonly DIR=${1:-build/speech-set}
readonly SOUNDS=/usr/share/sounds/alsa
readonly RATES=(8000 16000)

command -v sox >/dev/null || { echo "make-recorded-set: sox is needed" >&2; exit 1; }
[ -d "$SOUNDS" ] || { echo "make-recorded-set: $SOUNDS is missing (alsa-utils)" >&2; exit 1; }
words=()
for file in "$SOUNDS"/*.wav; do
  [ "$(basename "$file")" = Noise.wav ] || words+=("$file")
done
mkdir -p "$DIR"
for rate in "${RATES[@]}"; do
  sox -D "${words[@]}" -b 16 -c 1 "$DIR/words-$((rate / 1000))k.wav" rate -v "$rate"
  echo "$DIR/words-$((rate / 1000))k.wav: $(soxi -D "$DIR/words-$((rate / 1000))k.wav") s"
done
