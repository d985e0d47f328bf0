#!/bin/sh
# Builds a release into dist/ of the checkout:
#
#   dist/mivoboot.exe       the x86_64 executable
#   dist/mivoboot-x86.exe   the i686 executable
#   dist/mivocheck.exe      the i686 mivocheck (mivocheck --result gives
#                           deployment tools the exit code of the last run)
#   dist/SHA256SUMS         the SHA-256 sums of all three as shipped, signed when
#                           signed (check with: cd dist && sha256sum -c SHA256SUMS)
#
# The same sources and SOURCE_DATE_EPOCH give the same unsigned executables in
# any folder on any machine, and a signed executable less its signature
# (osslsigncode remove-signature) is that unsigned image byte for byte. Signed
# with the same key and without a time stamp, the signed files are the same
# too; a time stamp differs from one signing to the next.
#
# Environment:
#   SOURCE_DATE_EPOCH        the PE time stamp and the signing time, in seconds;
#                            by default the time of the checkout's last commit,
#                            required when the folder is not a git checkout
#   MIVO_SIGN_PFX            sign with this PKCS#12 file (key, certificate and
#                            its intermediates),
#   MIVO_SIGN_PASSWORD       with this password when it has one (also the
#                            password of an encrypted PEM key);
#   MIVO_SIGN_KEY, MIVO_SIGN_CERT
#                            or with this PEM key and PEM certificates (the
#                            signing certificate first, then its intermediates)
#   MIVO_SIGN_TIMESTAMP_URL  time-stamp the signatures at this RFC 3161 server,
#   MIVO_SIGN_TSA_CERTS, MIVO_SIGN_TSA_KEY
#                            or, for tests and offline builds, by a time-stamp
#                            responder of this PEM certificate chain (responder
#                            first) and unencrypted PEM key, at SOURCE_DATE_EPOCH
#   MIVO_SIGN_CAFILE         the certificates to verify the signature against
#                            (default: osslsigncode's, the system's CA bundle)
#   MIVO_SIGN_TSA_CAFILE     the certificates to verify the time stamp against
#                            (default as above)
#   MIVO_SIGN_CRLFILE        the CRLs of the signing chain (PEM), and
#   MIVO_SIGN_TSA_CRLFILE    the CRLs of the time-stamp chain: with either, the
#                            verification fetches no CRL and needs no network;
#                            a chain whose certificates name CRL distribution
#                            points then needs its CRLs named
# Without MIVO_SIGN_PFX, MIVO_SIGN_KEY or MIVO_SIGN_CERT nothing is signed. A
# signature or time stamp that does not verify leaves no release in dist/.
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
url=${MIVO_SIGN_TIMESTAMP_URL:-}
tsa_certs=${MIVO_SIGN_TSA_CERTS:-}
tsa_key=${MIVO_SIGN_TSA_KEY:-}
if [ -n "$url" ] && [ -n "$tsa_certs$tsa_key" ]; then
  fail "name either MIVO_SIGN_TIMESTAMP_URL or MIVO_SIGN_TSA_CERTS and MIVO_SIGN_TSA_KEY, not both"
fi
if [ -n "$tsa_certs$tsa_key" ] && { [ -z "$tsa_certs" ] || [ -z "$tsa_key" ]; }; then
  fail "MIVO_SIGN_TSA_CERTS and MIVO_SIGN_TSA_KEY go together"
fi
stamping=0
[ -z "$url$tsa_certs" ] || stamping=1
crls=${MIVO_SIGN_CRLFILE:-}${MIVO_SIGN_TSA_CRLFILE:-}
for file in "$pfx" "$key" "$cert" "$tsa_certs" "$tsa_key" "${MIVO_SIGN_CAFILE:-}" \
  "${MIVO_SIGN_TSA_CAFILE:-}" "${MIVO_SIGN_CRLFILE:-}" "${MIVO_SIGN_TSA_CRLFILE:-}"; do
  [ -z "$file" ] || [ -r "$file" ] || fail "cannot read $file"
done
signing=0
if [ -n "$pfx" ] || [ -n "$key" ]; then
  signing=1
  command -v osslsigncode >/dev/null || fail "osslsigncode is needed to sign (tools/install-deps.sh)"
  # The built-in time-stamp responder and the verification that fetches no CRL
  # are newer than Debian 12's osslsigncode 2.5.
  options=$(osslsigncode --help 2>&1 || true)
  version=$(osslsigncode --version 2>&1 | head -1)
  for option in ${tsa_certs:+-TSA-certs} ${crls:+-ignore-cdp}; do
    case $options in
    *"$option "*) ;;
    *) fail "${version%%,*} lacks $option: tools/install-deps.sh installs one that has it" ;;
    esac
  done
elif [ $stamping = 1 ]; then
  fail "a time stamp is asked for, but nothing is signed: name MIVO_SIGN_PFX, or MIVO_SIGN_KEY and MIVO_SIGN_CERT"
fi

# build PRESET FOLDER [TARGET]: the executable (and TARGET), tests off. Configured on every run,
# so that the SOURCE_DATE_EPOCH of this run is the one linked in (the link
# command holds it, so a new value links again).
build() {
  cmake --preset "$1" -B "$2" -DSETUP_TESTS=OFF --log-level=WARNING
  cmake --build "$2" -j2 --target mivoboot ${3:+"$3"}
}

# sign FILE [DESCRIPTION]: signs with SHA-256 and the time of the sources, time-stamps when
# asked to, verifies the signature and the time stamp, and checks that the file
# less its signature is the image built.
sign() {
  file=$1
  log=$file.log
  set -- -h sha256 -n "${2:-Mivo runtime setup bootstrapper}" -time "$SOURCE_DATE_EPOCH" -in "$file" \
    -out "$file.signed"
  if [ -n "$pfx" ]; then
    set -- -pkcs12 "$pfx" "$@"
  else
    set -- -certs "$cert" -key "$key" "$@"
  fi
  if [ -n "$url" ]; then
    set -- -ts "$url" "$@"
  elif [ -n "$tsa_certs" ]; then
    set -- -TSA-certs "$tsa_certs" -TSA-key "$tsa_key" -TSA-time "$SOURCE_DATE_EPOCH" "$@"
  fi
  # The password goes through a pipe, never the command line.
  if [ -n "${MIVO_SIGN_PASSWORD:-}" ]; then
    set -- -readpass /dev/stdin "$@"
  fi
  rm -f "$file.signed" "$file.removed"
  if ! printf '%s' "${MIVO_SIGN_PASSWORD:-}" | osslsigncode sign "$@" >"$log" 2>&1; then
    cat "$log" >&2
    echo "release.sh: signing $file failed" >&2
    exit 1
  fi
  set -- -in "$file.signed"
  [ -z "${MIVO_SIGN_CAFILE:-}" ] || set -- -CAfile "$MIVO_SIGN_CAFILE" "$@"
  [ -z "${MIVO_SIGN_TSA_CAFILE:-}" ] || set -- -TSA-CAfile "$MIVO_SIGN_TSA_CAFILE" "$@"
  [ -z "$crls" ] || set -- -ignore-cdp "$@"
  [ -z "${MIVO_SIGN_CRLFILE:-}" ] || set -- -CRLfile "$MIVO_SIGN_CRLFILE" "$@"
  [ -z "${MIVO_SIGN_TSA_CRLFILE:-}" ] || set -- -TSA-CRLfile "$MIVO_SIGN_TSA_CRLFILE" "$@"
  if ! osslsigncode verify "$@" >"$log" 2>&1; then
    cat "$log" >&2
    echo "release.sh: the signature of $file does not verify" >&2
    exit 1
  fi
  # A time stamp that is missing or does not verify still lets the signature
  # verify: only its own line tells.
  if [ $stamping = 1 ] && ! grep -q '^Timestamp Server Signature verification: ok$' "$log"; then
    cat "$log" >&2
    echo "release.sh: the time stamp of $file is missing or does not verify" >&2
    exit 1
  fi
  if ! osslsigncode remove-signature -in "$file.signed" -out "$file.removed" >"$log" 2>&1 ||
    ! cmp -s "$file.removed" "$file"; then
    cat "$log" >&2
    echo "release.sh: $file less its signature is not the image built" >&2
    exit 1
  fi
  mv "$file.signed" "$file"
  rm -f "$file.removed" "$log"
}

# The release is put together in a folder of its own and moves to dist/ only
# when complete, so that a failed run leaves no release behind.
stage=build/release-stage
rm -rf "$stage" dist/mivoboot.exe dist/mivoboot-x86.exe dist/mivocheck.exe dist/SHA256SUMS
build windows build/release-x86_64
build i686 build/release-i686 mivocheck
mkdir -p "$stage"
cp build/release-x86_64/setup/mivoboot.exe "$stage/mivoboot.exe"
cp build/release-i686/setup/mivoboot.exe "$stage/mivoboot-x86.exe"
# The 32-bit mivocheck runs on every Windows that the bootstrapper runs on;
# its build links it without symbols.
cp build/release-i686/mivocheck/mivocheck.exe "$stage/mivocheck.exe"
chmod 644 "$stage/mivoboot.exe" "$stage/mivoboot-x86.exe" "$stage/mivocheck.exe"
unsigned_x86_64=$(wc -c <"$stage/mivoboot.exe")
unsigned_i686=$(wc -c <"$stage/mivoboot-x86.exe")
unsigned_check=$(wc -c <"$stage/mivocheck.exe")

if [ $signing = 1 ]; then
  sign "$stage/mivoboot.exe"
  sign "$stage/mivoboot-x86.exe"
  sign "$stage/mivocheck.exe" "Mivo runtime setup check"
  if [ -n "$url" ]; then
    signed="signed, time-stamped by $url and verified"
  elif [ -n "$tsa_certs" ]; then
    signed="signed, time-stamped at SOURCE_DATE_EPOCH by the responder of $tsa_certs and verified"
  else
    signed="signed without a time stamp and verified"
  fi
else
  signed="NOT SIGNED (set MIVO_SIGN_PFX, or MIVO_SIGN_KEY and MIVO_SIGN_CERT, to sign)"
fi
(cd "$stage" && sha256sum mivoboot.exe mivoboot-x86.exe mivocheck.exe >SHA256SUMS)
mkdir -p dist
mv "$stage/mivoboot.exe" "$stage/mivoboot-x86.exe" "$stage/mivocheck.exe" "$stage/SHA256SUMS" dist/
rmdir "$stage"

echo "release of $(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC') (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH), $signed:"
echo "  dist/mivoboot.exe: $(wc -c <dist/mivoboot.exe) bytes ($unsigned_x86_64 unsigned)"
echo "  dist/mivoboot-x86.exe: $(wc -c <dist/mivoboot-x86.exe) bytes ($unsigned_i686 unsigned)"
echo "  dist/mivocheck.exe: $(wc -c <dist/mivocheck.exe) bytes ($unsigned_check unsigned)"
cat dist/SHA256SUMS
