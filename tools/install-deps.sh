#!/bin/sh
# Installs everything the builds, the tests and the sample run need on a fresh
# Debian 12 machine. Run as root.
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
  ca-certificates git cmake ninja-build pkg-config make python3 \
  g++ clang clang-format libclang-rt-14-dev \
  libgtest-dev libgmock-dev googletest libbenchmark-dev \
  mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 \
  wine64 wine \
  msitools wixl libmsi-dev libglib2.0-dev \
  osslsigncode openssl \
  zip unzip gnuplot-nox \
  locales
