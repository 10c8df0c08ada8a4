#!/usr/bin/env bash
# Checks what a host developer gets, from the release and mingw build trees:
#   1. cmake --install into a scratch prefix; build and run, outside the tree, the C example
#      with find_package(zbadpcm CONFIG) and a C++ host with pkg-config; run the installed
#      zbhost, and a copy moved elsewhere with the library beside it: both find the library
#      through the program's run path;
#   2. the Debian packages: made with cpack, installed with dpkg, zbhost run from it once,
#      then removed again;
#   with the GStreamer plug-in built: in the scratch prefix and from its Debian package,
#   gst-inspect-1.0 finds it and a pipeline streams through its five elements;
#   3. the Windows zip: made with cpack, unpacked, the C example and (through the zip's
#      pkg-config file) the C++ host built against its DLL with MinGW and run under Wine.
# Builds only the library and zbhost in each tree. Needs root (or sudo) for dpkg, and Wine
# set up as scripts/wine-run.sh does. Usage: scripts/check-packages.sh (ZB_JOBS: build jobs)
set -euo pipefail

cd "$(dirname "$0")/.."
readonly ROOT=$PWD
readonly JOBS=${ZB_JOBS:-2}
readonly RELEASE=$ROOT/build/release
readonly MINGW=$ROOT/build/mingw
readonly MINGW_CC=i686-w64-mingw32-gcc-posix
readonly MINGW_CXX=i686-w64-mingw32-g++-posix
WORK=$(mktemp -d "${TMPDIR:-/tmp}/zb-packages.XXXXXX")
readonly WORK
deb_installed=()

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

cleanup() {
  if [ ${#deb_installed[@]} -gt 0 ]; then as_root dpkg -r "${deb_installed[@]}" >/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

run() {
  echo "+ $*"
  "$@"
}

# gst-inspect-1.0 keeps its registry here, not in the user's cache.
export GST_REGISTRY=$WORK/gst-registry.bin
# A second of test tone through the plug-in's five elements.
check_gst_plugin() {
  run gst-inspect-1.0 zbadpcm
  run gst-launch-1.0 -q audiotestsrc num-buffers=50 samplesperbuffer=320 \
    ! audio/x-raw,format=S16LE,rate=16000,channels=1 ! zbadpcmenc ! rtpzbadpcmpay ! zbrtpguard \
    ! rtpzbadpcmdepay ! zbadpcmdec ! fakesink
}

echo "== install into a scratch prefix"
prefix=$WORK/prefix
run cmake --preset release >/dev/null
targets=(zbadpcm zbhost)
gst=0
if grep -q '^ZB_BUILD_GST:BOOL=ON' "$RELEASE/CMakeCache.txt"; then
  gst=1
  targets+=(gstzbadpcm)
fi
run cmake --build --preset release -j "$JOBS" --target "${targets[@]}"
run cmake --install "$RELEASE" --prefix "$prefix"

if [ $gst -eq 1 ]; then
  echo "== the installed GStreamer plug-in, found through GST_PLUGIN_PATH"
  plugin=$(find "$prefix" -name libgstzbadpcm.so)
  GST_PLUGIN_PATH=$(dirname "$plugin") check_gst_plugin
fi

echo "== find_package consumer: the C example"
run cmake -S examples -B "$WORK/find-package" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="-Wall -Wextra -Wpedantic -Werror" >/dev/null
run cmake --build "$WORK/find-package"
run "$WORK/find-package/zb_stream_example"

echo "== pkg-config consumer: a C++ host"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
read -r -a pc_flags <<<"$(pkg-config --cflags --libs zbadpcm)"
run c++ -std=c++17 -Wall -Wextra -Wpedantic -Werror tests/consumer/pkgconfig_consumer.cpp "${pc_flags[@]}" \
  -Wl,-rpath,"$(pkg-config --variable=libdir zbadpcm)" -o "$WORK/pkgconfig-consumer"
run "$WORK/pkgconfig-consumer"

echo "== the installed zbhost"
run "$prefix/bin/zbhost" inspect
run "$prefix/bin/zbhost" --seconds 1 --loss random:5 --seed 1 -o "$WORK/out.wav"
echo "== zbhost moved elsewhere with the library beside it"
mkdir "$WORK/moved"
cp "$prefix/bin/zbhost" "$prefix"/lib/libzbadpcm.so.* "$WORK/moved/"
run "$WORK/moved/zbhost" inspect | tee "$WORK/moved/inspect.txt"
grep -qx "library $WORK/moved/libzbadpcm.so.0" "$WORK/moved/inspect.txt"

echo "== Debian packages"
(cd "$RELEASE" && run cpack -G DEB -B "$WORK/deb")
debs=("$WORK"/deb/zbadpcm_*.deb)
installed=(zbadpcm)
if [ $gst -eq 1 ]; then
  debs+=("$WORK"/deb/gstreamer1.0-zbadpcm_*.deb)
  installed=(gstreamer1.0-zbadpcm zbadpcm)
fi
for deb in "${debs[@]}"; do run dpkg-deb --contents "$deb"; done
deb_installed=("${installed[@]}")
as_root dpkg -i "${debs[@]}"
run /usr/bin/zbhost --seconds 1 --loss random:5 --seed 1 -o "$WORK/out-deb.wav"
if [ $gst -eq 1 ]; then
  echo "== the packaged GStreamer plug-in, from GStreamer's own plug-in folder"
  check_gst_plugin
fi
as_root dpkg -r "${deb_installed[@]}"
deb_installed=()

echo "== Windows zip, the C example built against it, run under Wine"
if [ ! -f "$MINGW/CMakeCache.txt" ]; then run cmake --preset mingw >/dev/null; fi
run cmake --build --preset mingw -j "$JOBS" --target zbadpcm
(cd "$MINGW" && run cpack -G ZIP -B "$WORK/zip")
zip=$(ls "$WORK"/zip/zbadpcm-*-win32.zip)
run unzip -q "$zip" -d "$WORK/win"
win=$(ls -d "$WORK"/win/zbadpcm-*)
run "$MINGW_CC" -std=c99 -Wall -Wextra -Werror "$win/share/doc/zbadpcm/examples/stream_example.c" \
  -I"$win/include/zbadpcm" "$win/lib/libzbadpcm.dll.a" -o "$win/bin/stream_example.exe"
(cd "$win/bin" && run "$ROOT/scripts/wine-run.sh" stream_example.exe)
read -r -a win_pc_flags <<<"$(PKG_CONFIG_PATH="$win/lib/pkgconfig" pkg-config --cflags --libs zbadpcm)"
run "$MINGW_CXX" -std=c++17 -Wall -Wextra -Wpedantic -Werror tests/consumer/pkgconfig_consumer.cpp \
  "${win_pc_flags[@]}" -static-libgcc -static-libstdc++ -o "$win/bin/pkgconfig_consumer.exe"
# MinGW's thread library DLL is found on the path, as in a MinGW developer's shell.
winpthread_dir=$(dirname "$(realpath "$("$MINGW_CXX" -print-file-name=libwinpthread-1.dll)")")
(cd "$win/bin" && WINEPATH="Z:${winpthread_dir//\//\\}" run "$ROOT/scripts/wine-run.sh" pkgconfig_consumer.exe)

echo "packages checked"
