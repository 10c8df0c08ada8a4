#!/bin/sh
# Installs every package the builds and tests need on a fresh Debian 12 machine.
set -eu
export DEBIAN_FRONTEND=noninteractive
dpkg --add-architecture i386
apt-get -o Acquire::Retries=3 update
apt-get -o Acquire::Retries=3 install -y --no-install-recommends \
    build-essential cmake ninja-build pkg-config git ca-certificates \
    googletest libgtest-dev libgmock-dev libbenchmark-dev \
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-tools binutils-mingw-w64-i686 \
    wine wine32:i386 \
    clang-14 libclang-rt-14-dev \
    libsndfile1-dev libsamplerate0-dev libcli11-dev libfmt-dev nlohmann-json3-dev
