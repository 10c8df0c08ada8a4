#!/bin/sh
# The first thing to try: install the build dependencies (Debian 12), build the optimised
# tree and stream the built-in speech-like signal through encoder, a link losing 5 % of
# its frames, and decoder. Further arguments go to zbhost, e.g. an audio file and -o out.wav.
set -eu
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ]; then
  ./.ci/install-deps.sh
else
  sudo ./.ci/install-deps.sh
fi
cmake --preset release
cmake --build --preset release -j2 --target zbhost
exec build/release/host/zbhost --loss random:5 --seed 7 "$@"
