#!/bin/sh
# The first thing to try on Debian 12: installs what the library and zbhost need and is
# missing (no test tools, no Wine), builds them optimised in build/zbhost and streams ten
# seconds of the built-in speech-like signal through encoder, a link losing 5 % of its
# frames at random (seed 7, so every run shows the same report), and decoder. Further
# arguments go to zbhost, e.g. an audio file and -o out.wav, or --compare.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
# The set-up runs in the clone; zbhost runs where the script was started, so that file names
# among the arguments mean what they meant there.
(
  cd "$root"
  # Installs only missing packages (asking sudo for that alone), so a second run needs
  # neither root nor the network.
  ./.ci/install-deps.sh
  # Its own build tree, without the tests and benchmarks whose packages it did not install.
  cmake --preset release -B build/zbhost -DZB_BUILD_TESTS=OFF -DZB_BUILD_BENCH=OFF
  cmake --build build/zbhost -j2 --target zbhost
)
exec "$root/build/zbhost/host/zbhost" --loss random:5 --seed 7 "$@"
