#!/bin/sh
# Builds a release into dist/ of the checkout:
#
#   dist/mivoboot.exe       the x86_64 executable
#   dist/mivoboot-x86.exe   the i686 executable
#   dist/SHA256SUMS         their SHA-256 sums (check with: cd dist && sha256sum -c SHA256SUMS)
#
# The same sources and SOURCE_DATE_EPOCH give the same bytes in any folder on
# any machine; signed with the same key and without a time-stamp server, the
# signed files are the same too.
#
# Environment:
#   SOURCE_DATE_EPOCH        the PE time stamp and the signing time, in seconds;
#                            by default the time of the checkout's last commit,
#                            required when the folder is not a git checkout
#   MIVO_SIGN_PFX            sign with this PKCS#12 file (certificate and key),
#   MIVO_SIGN_PASSWORD       with this password when it has one (also the
#                            password of an encrypted PEM key);
#   MIVO_SIGN_KEY, MIVO_SIGN_CERT
#                            or with this PEM key and PEM certificate (chain)
#   MIVO_SIGN_TIMESTAMP_URL  RFC 3161 time-stamp server (optional; the signed
#                            files then differ from signing to signing)
#   MIVO_SIGN_CAFILE         the certificates to verify the signature against
#                            (default: osslsigncode's, the system's CA bundle)
# Without MIVO_SIGN_PFX, MIVO_SIGN_KEY or MIVO_SIGN_CERT nothing is signed.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd -P)
cd "$root"

fail() {
  echo "release.sh: $*" >&2
  exit 2
}

# The time of the sources: a copy of the tracked files outside git (or inside
# another checkout) has no commit of its own and must name it.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  if [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$root" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
    if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
      echo "release.sh: warning: the checkout has uncommitted changes; they are part of this release"
    fi
  else
    fail "$root is not a git checkout: set SOURCE_DATE_EPOCH to the time of its sources (seconds since 1970)"
  fi
fi
case $SOURCE_DATE_EPOCH in
'' | *[!0-9]*) fail "SOURCE_DATE_EPOCH '$SOURCE_DATE_EPOCH' is not a number of seconds" ;;
esac
export SOURCE_DATE_EPOCH

# How to sign, checked before anything is built.
pfx=${MIVO_SIGN_PFX:-}
key=${MIVO_SIGN_KEY:-}
cert=${MIVO_SIGN_CERT:-}
if [ -n "$pfx" ] && { [ -n "$key" ] || [ -n "$cert" ]; }; then
  fail "name either MIVO_SIGN_PFX or MIVO_SIGN_KEY and MIVO_SIGN_CERT, not both"
fi
if [ -n "$key$cert" ] && { [ -z "$key" ] || [ -z "$cert" ]; }; then
  fail "MIVO_SIGN_KEY and MIVO_SIGN_CERT go together"
fi
signing=0
for file in "$pfx" "$key" "$cert" "${MIVO_SIGN_CAFILE:-}"; do
  [ -z "$file" ] || [ -r "$file" ] || fail "cannot read $file"
done
if [ -n "$pfx" ] || [ -n "$key" ]; then
  signing=1
  command -v osslsigncode >/dev/null || fail "osslsigncode is needed to sign (tools/install-deps.sh)"
fi

# build PRESET FOLDER: the executable alone, tests off. Configured on every run,
# so that the SOURCE_DATE_EPOCH of this run is the one linked in (the link
# command holds it, so a new value links again).
build() {
  cmake --preset "$1" -B "$2" -DSETUP_TESTS=OFF --log-level=WARNING
  cmake --build "$2" -j2 --target mivoboot
}

# sign FILE: signs with SHA-256 and the time of the sources, then verifies.
sign() {
  file=$1
  log=$file.log
  set -- -h sha256 -n "Mivo runtime setup bootstrapper" -time "$SOURCE_DATE_EPOCH" -in "$file" \
    -out "$file.signed"
  if [ -n "$pfx" ]; then
    set -- -pkcs12 "$pfx" "$@"
  else
    set -- -certs "$cert" -key "$key" "$@"
  fi
  if [ -n "${MIVO_SIGN_TIMESTAMP_URL:-}" ]; then
    set -- -ts "$MIVO_SIGN_TIMESTAMP_URL" "$@"
  fi
  # The password goes through a pipe, never the command line.
  if [ -n "${MIVO_SIGN_PASSWORD:-}" ]; then
    set -- -readpass /dev/stdin "$@"
  fi
  if ! printf '%s' "${MIVO_SIGN_PASSWORD:-}" | osslsigncode sign "$@" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$file.signed"
    echo "release.sh: signing $file failed" >&2
    exit 1
  fi
  mv "$file.signed" "$file"
  set -- -in "$file"
  if [ -n "${MIVO_SIGN_CAFILE:-}" ]; then
    set -- -CAfile "$MIVO_SIGN_CAFILE" "$@"
  fi
  if ! osslsigncode verify "$@" >"$log" 2>&1; then
    cat "$log" >&2
    echo "release.sh: the signature of $file does not verify" >&2
    exit 1
  fi
  rm -f "$log"
}

# The release is put together in a folder of its own and moves to dist/ only
# when complete, so that a failed run leaves no release behind.
stage=build/release-stage
rm -rf "$stage" dist/mivoboot.exe dist/mivoboot-x86.exe dist/SHA256SUMS
build windows build/release-x86_64
build i686 build/release-i686
mkdir -p "$stage"
cp build/release-x86_64/setup/mivoboot.exe "$stage/mivoboot.exe"
cp build/release-i686/setup/mivoboot.exe "$stage/mivoboot-x86.exe"
chmod 644 "$stage/mivoboot.exe" "$stage/mivoboot-x86.exe"

if [ $signing = 1 ]; then
  sign "$stage/mivoboot.exe"
  sign "$stage/mivoboot-x86.exe"
  signed="signed and verified"
else
  signed="NOT SIGNED (set MIVO_SIGN_PFX, or MIVO_SIGN_KEY and MIVO_SIGN_CERT, to sign)"
fi
(cd "$stage" && sha256sum mivoboot.exe mivoboot-x86.exe >SHA256SUMS)
mkdir -p dist
mv "$stage/mivoboot.exe" "$stage/mivoboot-x86.exe" "$stage/SHA256SUMS" dist/
rmdir "$stage"

echo "release of $(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC') (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH), $signed:"
for file in dist/mivoboot.exe dist/mivoboot-x86.exe; do
  echo "  $file: $(wc -c <"$file") bytes"
done
cat dist/SHA256SUMS
