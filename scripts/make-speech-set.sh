#!/usr/bin/env bash
# Makes the speech set that concealment is measured on: synthetic speech from espeak-ng,
# four voices (two male, two female, two accents) reading passages of their own, joined
# with short pauses into one file of about 53 s, written at 8 and 16 kHz:
#   DIR/speech-8k.wav  DIR/speech-16k.wav
# The same espeak-ng and sox versions give the same files. Needs espeak-ng and sox.
# Usage: scripts/make-speech-set.sh [DIR]   (default build/speech-set)
set -euo pipefail

cd "$(dirname "$0")/.."
readonly DIR=${1:-build/speech-set}
readonly RATES=(8000 16000)
readonly PAUSE_SECONDS=0.4

# voice, words per minute, pitch (0-99), passage
readonly PASSAGES=(
  "en-us+m3|165|45|The birch canoe slid on the smooth planks. Glue the sheet to the dark blue background. It is easy to tell the depth of a well. These days a chicken leg is a rare dish. Rice is often served in round bowls."
  "en-gb+f3|155|60|The juice of lemons makes fine punch. The box was thrown beside the parked truck. The hogs were fed chopped corn and garbage. Four hours of steady work faced us. A large size in stockings is hard to sell."
  "en-us+f2|170|70|The boy was there when the sun rose. A rod is used to catch pink salmon. The source of the huge river is the clear spring. Kick the ball straight and follow through. Help the woman get back to her feet."
  "en-gb-scotland+m1|150|35|A pot of tea helps to pass the evening. Smoky fires lack flame and heat. The soft cushion broke the man's fall. The salt breeze came across from the sea. The girl at the booth sold fifty bonds."
)

for tool in espeak-ng sox; do
  command -v "$tool" >/dev/null || { echo "make-speech-set: $tool is needed" >&2; exit 1; }
done
mkdir -p "$DIR"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

parts=()
for i in "${!PASSAGES[@]}"; do
  IFS='|' read -r voice speed pitch text <<<"${PASSAGES[$i]}"
  espeak-ng -v "$voice" -s "$speed" -p "$pitch" -w "$work/voice$i.wav" "$text"
  sox "$work/voice$i.wav" "$work/part$i.wav" pad 0 "$PAUSE_SECONDS"
  parts+=("$work/part$i.wav")
done
sox "${parts[@]}" "$work/all.wav"
for rate in "${RATES[@]}"; do
  # 3 dB of headroom, as espeak-ng peaks at full scale; no dither, so every run gives the
  # same file.
  sox -D "$work/all.wav" -b 16 "$DIR/speech-$((rate / 1000))k.wav" gain -3 rate -v "$rate"
  echo "$DIR/speech-$((rate / 1000))k.wav: $(soxi -D "$DIR/speech-$((rate / 1000))k.wav") s"
done
