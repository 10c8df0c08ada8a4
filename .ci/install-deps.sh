#!/bin/sh
# Installs the Debian 12 packages the builds need.
#   install-deps.sh          the library and zbhost, built natively: a compiler, CMake and
#                            the host-side libraries (zbhost's, and FFTW and libsoxr for the
#                            speech figures); no Wine, MinGW or i386 packages
#   install-deps.sh --all    everything the tests need as well: GoogleTest, Google Benchmark,
#                            expat, the MinGW cross compiler and Wine (which adds the i386
#                            architecture to dpkg), espeak-ng and sox for the speech the
#                            tests and the concealment evaluation speak, libspandsp,
#                            whose concealment the evaluation compares, and GStreamer's
#                            development packages and plug-ins, with which the GStreamer
#                            plug-in is built and tested, and python3-gi for the scripts that
#                            measure its streams; FFmpeg and alsa-utils's recorded words for
#                            the encoder comparison (bench/encoder_mode_quality)
set -eu
export DEBIAN_FRONTEND=noninteractive

all=0
case "${1:-}" in
  "") ;;
  --all) all=1 ;;
  *) echo "usage: $0 [--all]" >&2; exit 2 ;;
esac

packages="build-essential cmake ninja-build pkg-config \
  libsndfile1-dev libflac-dev libvorbis-dev libsoxr-dev libcairo2-dev libcli11-dev libfmt-dev \
  nlohmann-json3-dev \
  libfftw3-dev"
if [ $all -eq 1 ]; then
  packages="$packages git ca-certificates \
    googletest libgtest-dev libgmock-dev libbenchmark-dev libexpat1-dev \
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-tools binutils-mingw-w64-i686 \
    wine wine32:i386 unzip \
    clang-14 libclang-rt-14-dev \
    espeak-ng sox libspandsp-dev ffmpeg alsa-utils \
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base \
    gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-tools \
    python3-gi gir1.2-gstreamer-1.0"
fi

# Only what is missing is installed: with everything present, nothing runs as root and
# nothing goes to the network.
missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    missing="$missing $package"
  fi
done
if [ -z "$missing" ]; then
  echo "install-deps: every package is installed"
  exit 0
fi
echo "install-deps: installing$missing"
as_root=""
if [ "$(id -u)" -ne 0 ]; then as_root=sudo; fi
if [ $all -eq 1 ]; then $as_root dpkg --add-architecture i386; fi
# Waits for another package manager to let go of its lock rather than failing at once.
apt="apt-get -o Acquire::Retries=3 -o DPkg::Lock::Timeout=600"
$as_root $apt update
# shellcheck disable=SC2086 # the lists are meant to split into words
$as_root $apt install -y --no-install-recommends $missing
