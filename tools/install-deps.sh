#!/bin/sh
# Installs everything the builds, the tests and the sample run need on a fresh
# Debian 12 machine. Run as root. The 32-bit Wine of the i686 build's tests is
# not installed here but built in a root of its own by tools/wine32-chroot.sh
# (debootstrap), the first time a test needs it.
set -eu
export DEBIAN_FRONTEND=noninteractive

# osslsigncode comes from bookworm-backports: Debian 12's own 2.5 has neither
# the built-in time-stamp responder (-TSA-certs, -TSA-key, -TSA-time) that the
# release check signs with, nor the verification that fetches no CRL
# (-ignore-cdp).
# The backports source uses the mirror that the machine's own sources name
# for the release (tools/apt-mirror.sh).
if ! grep -Eqrs '^[^#]*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  mirror=$("$(dirname "$0")/apt-mirror.sh" bookworm)
  cat >/etc/apt/sources.list.d/bookworm-backports.sources <<SOURCES
Types: deb
URIs: $mirror
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
fi
apt-get update
apt-get install -y --no-install-recommends \
  ca-certificates git cmake ninja-build pkg-config make python3 \
  g++ clang clang-format libclang-rt-14-dev shellcheck \
  libgtest-dev libgmock-dev googletest libbenchmark-dev \
  mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 \
  wine64 wine \
  msitools wixl libmsi-dev libglib2.0-dev \
  openssl \
  zip unzip gnuplot-nox \
  locales \
  debootstrap
apt-get install -y --no-install-recommends -t bookworm-backports osslsigncode
if ! osslsigncode --help 2>&1 | grep -q -- '-TSA-certs'; then
  echo "install-deps.sh: $(osslsigncode --version 2>&1 | head -1) has no built-in time-stamp responder" >&2
  exit 1
fi
