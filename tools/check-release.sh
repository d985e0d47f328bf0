#!/bin/bash
# Checks tools/release.sh, signing the way a production release is signed:
#   1. the unsigned release built in two copies of the checkout, in folders of
#      different path lengths, has the same bytes (both executables and
#      SHA256SUMS), with the PE time stamp of SOURCE_DATE_EPOCH, a valid PE
#      checksum, and both executables at most 32 KiB;
#   2. throwaway certificates made now by tools/throwaway-pki.sh: a root, an
#      intermediate and an RSA-3072 code-signing certificate that names a CRL
#      distribution point, their CRLs, and a time-stamp root, intermediate and
#      responder. Signings that must fail do, and leave no dist/: a wrong
#      password, the intermediate left out (verified against the root alone),
#      the time-stamp intermediate left out, the signing certificate revoked,
#      the CRLs not named;
#   3. signed with the chain and no time stamp (as PEM files in one copy, as a
#      password-protected PKCS#12 file in the other) the releases are the same
#      bytes again;
#   4. signed with the chain and a time stamp of the offline responder, the
#      signatures and time stamps verify, the time stamp is SOURCE_DATE_EPOCH,
#      each signed file less its signature is the unsigned image of 1, and the
#      signed executables keep the size (at most 44 KiB), import and manifest
#      rules;
#   (dist/mivocheck.exe, the 32-bit mivocheck, goes through 1, 3 and 4 with
#   the executables, but is held to 256 KiB: see "mivocheck.exe" below);
#   5. the end-to-end scenarios pass with that signed dist/mivoboot.exe, run by
#      an existing Windows build, and with the signed dist/mivoboot-x86.exe and
#      dist/mivocheck.exe, run by an existing i686 build (under its 32-bit
#      Wine) when this machine executes 32-bit programs (tools/can-run-32bit.sh);
#   6. a summary: for each executable of dist/, where it ran, or that it did
#      not and why:
#
#   check-release.sh [WINDOWS_BUILD_FOLDER [I686_BUILD_FOLDER]]
#                                   (default build/windows and build/i686)
#
# The signings run without network where the machine allows it (unshare -n).
# Work folder: build/check-release. SOURCE_DATE_EPOCH defaults to the time of
# the checkout's last commit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
cd "$root"
work=$root/build/check-release
check=(python3 "$root/tests/setup/check_executable.py")
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
unset SOURCE_DATE_EPOCH MIVO_SIGN_PFX MIVO_SIGN_PASSWORD MIVO_SIGN_KEY MIVO_SIGN_CERT \
  MIVO_SIGN_TIMESTAMP_URL MIVO_SIGN_TSA_CERTS MIVO_SIGN_TSA_KEY MIVO_SIGN_CAFILE \
  MIVO_SIGN_TSA_CAFILE MIVO_SIGN_CRLFILE MIVO_SIGN_TSA_CRLFILE
unsigned_limit=32768
signed_limit=45056

fail() {
  echo "check-release: FAILED: $*" >&2
  exit 1
}

windows_build=${1:-build/windows}
i686_build=${2:-build/i686}
[ -f "$windows_build/CTestTestfile.cmake" ] ||
  fail "no Windows build in $windows_build: build the windows preset first"
[ -f "$i686_build/tests/e2e/CTestTestfile.cmake" ] ||
  fail "no i686 build with its tests in $i686_build: build the i686 preset first"

# The checkout's files as a build sees them: tracked and untracked ones, but
# not the ignored ones (build/, dist/) nor tracked files deleted since.
copy_checkout() {
  local file files=()
  while IFS= read -r -d '' file; do
    [ -e "$file" ] && files+=("$file")
  done < <(git ls-files -z --cached --others --exclude-standard)
  mkdir -p "$1"
  cp --parents -P -- "${files[@]}" "$1/"
}

rm -rf "$work"
mkdir -p "$work"
one=$work/a
two=$work/checkout-with-a-longer-name/b
copy_checkout "$one"
copy_checkout "$two"

# A copy is no git checkout of its own (it lies inside this one): without
# SOURCE_DATE_EPOCH it has no time and builds nothing.
if (cd "$one" && tools/release.sh >"$work/no-epoch.log" 2>&1); then
  fail "release.sh built a copy without SOURCE_DATE_EPOCH"
fi
grep -q "not a git checkout" "$work/no-epoch.log" || fail "release.sh without SOURCE_DATE_EPOCH: $(cat "$work/no-epoch.log")"

# same_release WHAT: both copies' dist/ hold the same bytes.
same_release() {
  local file
  for file in mivoboot.exe mivoboot-x86.exe mivocheck.exe SHA256SUMS; do
    cmp "$one/dist/$file" "$two/dist/$file" || fail "$1: dist/$file differs between the copies"
  done
  echo "$1: both copies give the same dist/ ($(cd "$one/dist" && sha256sum mivoboot.exe | cut -c1-16)...)"
}

# valid_release WHAT COPY: the sums are those of the files, the time stamp is
# the epoch's, the checksum holds.
valid_release() {
  local file
  (cd "$2/dist" && sha256sum --quiet -c SHA256SUMS) || fail "$1: SHA256SUMS does not match"
  for file in mivoboot.exe mivoboot-x86.exe mivocheck.exe; do
    "${check[@]}" stamp "$2/dist/$file" "$epoch" || fail "$1: PE header of $file"
  done
}

echo "== release built twice (SOURCE_DATE_EPOCH=$epoch)"
for copy in "$one" "$two"; do
  (cd "$copy" && SOURCE_DATE_EPOCH=$epoch tools/release.sh >"$copy.release.log" 2>&1) ||
    fail "release.sh in $copy: $(tail -20 "$copy.release.log")"
done
grep -q "NOT SIGNED" "$one.release.log" || fail "the unsigned release does not say so"
same_release unsigned
valid_release unsigned "$one"
for file in mivoboot.exe mivoboot-x86.exe; do
  "${check[@]}" size "$one/dist/$file" $unsigned_limit || fail "the unsigned $file is too large"
done
cp -r "$one/dist" "$work/unsigned"

echo "== throwaway certificates: a chain with CRLs, a time-stamp chain"
keys=$(mktemp -d)
trap 'rm -rf "$keys"' EXIT
tools/throwaway-pki.sh "$keys" "$epoch" || fail "tools/throwaway-pki.sh"
password=$(cat "$keys/pfx-password")
pem="MIVO_SIGN_KEY=$keys/sign-key.pem MIVO_SIGN_CERT=$keys/sign-chain.pem"
pfx="MIVO_SIGN_PFX=$keys/sign.pfx MIVO_SIGN_PASSWORD=$password"
stamp="MIVO_SIGN_TSA_CERTS=$keys/tsa-chain.pem MIVO_SIGN_TSA_KEY=$keys/tsa-key.pem"
trust="MIVO_SIGN_CAFILE=$keys/root.pem MIVO_SIGN_TSA_CAFILE=$keys/tsa-root.pem"
trust="$trust MIVO_SIGN_CRLFILE=$keys/crls.pem MIVO_SIGN_TSA_CRLFILE=$keys/tsa-crls.pem"
offline=()
if unshare -n true 2>/dev/null; then
  offline=(unshare -n)
  echo "signing without network (unshare -n)"
else
  echo "note: unshare -n is not permitted here, signing with the network (the CRL" \
    "distribution points lie under crl.invalid, which no one can reach)"
fi

# release COPY LOG SETTINGS...: release.sh in COPY with these settings (the
# later of two for one variable counts), its output in LOG.
release() {
  local copy=$1 log=$2
  shift 2
  (cd "$copy" && env SOURCE_DATE_EPOCH="$epoch" "$@" "${offline[@]}" tools/release.sh) >"$log" 2>&1
}

# Signing named by halves or twice, a missing file, a time stamp without a
# signature: refused before building.
while read -r settings; do
  status=0
  # shellcheck disable=SC2086
  release "$one" "$work/bad.log" $settings || status=$?
  [ $status -eq 2 ] || fail "release.sh with $settings: exit $status, expected 2: $(cat "$work/bad.log")"
done <<EOF
MIVO_SIGN_KEY=$keys/sign-key.pem
MIVO_SIGN_CERT=$keys/sign-chain.pem
$pfx MIVO_SIGN_CERT=$keys/sign-chain.pem
MIVO_SIGN_PFX=$keys/missing.pfx
$pem MIVO_SIGN_TSA_CERTS=$keys/tsa-chain.pem
$pem $stamp MIVO_SIGN_TIMESTAMP_URL=http://timestamp.invalid/
$stamp
$pem $stamp $trust MIVO_SIGN_CRLFILE=$keys/missing.pem
EOF

# Signings that fail, each for its own reason (in release.sh's words and in
# osslsigncode's): none leaves a release behind, not even the unsigned one.
while IFS='|' read -r what reason settings; do
  # shellcheck disable=SC2086
  if release "$one" "$work/bad.log" $settings; then
    fail "release.sh signed with $what"
  fi
  grep -Eq "$reason" "$work/bad.log" || fail "release.sh with $what, not for '$reason': $(tail -20 "$work/bad.log")"
  if [ -e "$one/dist/mivoboot.exe" ] || [ -e "$one/dist/SHA256SUMS" ]; then
    fail "release.sh with $what left a release in dist/"
  fi
  echo "refused as it must: $what"
done <<EOF
a wrong password|signing .* failed|$pfx MIVO_SIGN_PASSWORD=wrong $stamp $trust
the intermediate left out|unable to get local issuer certificate|$pem MIVO_SIGN_CERT=$keys/sign-cert.pem $stamp $trust
the time-stamp intermediate left out|the time stamp of .* is missing or does not verify|$pem $stamp MIVO_SIGN_TSA_CERTS=$keys/tsa-cert.pem $trust
the signing certificate revoked|certificate revoked|$pem $stamp $trust MIVO_SIGN_CRLFILE=$keys/revoked-crls.pem
the CRLs not named|Use the "-CRLfile" option|$pem $stamp $trust MIVO_SIGN_CRLFILE= MIVO_SIGN_TSA_CRLFILE=
EOF

echo "== signed with the chain, no time stamp"
# shellcheck disable=SC2086
release "$one" "$one.sign.log" $pem $trust || fail "release.sh with PEM files: $(tail -20 "$one.sign.log")"
# shellcheck disable=SC2086
release "$two" "$two.sign.log" $pfx $trust || fail "release.sh with a PKCS#12 file: $(tail -20 "$two.sign.log")"
grep -q "signed without a time stamp and verified" "$one.sign.log" || fail "release.sh: $(tail -5 "$one.sign.log")"
same_release "signed without a time stamp"
valid_release "signed without a time stamp" "$one"

echo "== signed with the chain and a time stamp"
# shellcheck disable=SC2086
release "$one" "$one.stamp.log" $pem $stamp $trust ||
  fail "release.sh with PEM files and a time stamp: $(tail -20 "$one.stamp.log")"
# shellcheck disable=SC2086
release "$two" "$two.stamp.log" $pfx $stamp $trust ||
  fail "release.sh with a PKCS#12 file and a time stamp: $(tail -20 "$two.stamp.log")"
stamp_time="Timestamp time: $(date -u -d "@$epoch" '+%b %e %H:%M:%S %Y') GMT"
for copy in "$one" "$two"; do
  grep -q "time-stamped at SOURCE_DATE_EPOCH" "$copy.stamp.log" || fail "release.sh: $(tail -5 "$copy.stamp.log")"
  valid_release "signed with a time stamp" "$copy"
  for file in mivoboot.exe mivoboot-x86.exe mivocheck.exe; do
    "${offline[@]}" osslsigncode verify -ignore-cdp -CAfile "$keys/root.pem" -CRLfile "$keys/crls.pem" \
      -TSA-CAfile "$keys/tsa-root.pem" -TSA-CRLfile "$keys/tsa-crls.pem" -in "$copy/dist/$file" \
      >"$work/verify.log" 2>&1 || fail "osslsigncode verify $copy/dist/$file: $(cat "$work/verify.log")"
    grep -q '^Timestamp Server Signature verification: ok$' "$work/verify.log" ||
      fail "the time stamp of $copy/dist/$file does not verify: $(cat "$work/verify.log")"
    grep -qF "$stamp_time" "$work/verify.log" ||
      fail "the time stamp of $copy/dist/$file is not SOURCE_DATE_EPOCH ($stamp_time): $(grep 'Timestamp time' "$work/verify.log")"
    rm -f "$work/removed.exe"
    osslsigncode remove-signature -in "$copy/dist/$file" -out "$work/removed.exe" >"$work/remove.log" 2>&1 ||
      fail "osslsigncode remove-signature $copy/dist/$file: $(cat "$work/remove.log")"
    cmp "$work/removed.exe" "$work/unsigned/$file" ||
      fail "$copy/dist/$file less its signature is not the unsigned release"
  done
done
echo "signatures and time stamps verify; each signed file less its signature is the unsigned image"

signed=$one/dist/mivoboot.exe
# The checksum check does read the file: one changed byte breaks it.
cp "$signed" "$work/changed.exe"
python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[1024] ^= 0xFF
open(sys.argv[1], "wb").write(d)' "$work/changed.exe"
if "${check[@]}" stamp "$work/changed.exe" "$epoch" >"$work/changed.log" 2>&1 ||
  ! grep -q "PE checksum" "$work/changed.log"; then
  fail "a changed byte went unnoticed by the PE checksum check: $(cat "$work/changed.log")"
fi
for file in mivoboot.exe mivoboot-x86.exe; do
  "${check[@]}" size "$one/dist/$file" $unsigned_limit $signed_limit || fail "the signed $file is too large"
done
# The size check counts the image and the signature to the byte: one byte
# less in either limit fails, and so does a signed limit on an unsigned file.
unsigned_size=$(wc -c <"$work/unsigned/mivoboot.exe")
signed_size=$(wc -c <"$signed")
while IFS='|' read -r file limits reason; do
  # shellcheck disable=SC2086
  if "${check[@]}" size "$file" $limits >"$work/size.log" 2>&1 || ! grep -qF "$reason" "$work/size.log"; then
    fail "size limits $limits of $file: $(cat "$work/size.log")"
  fi
done <<EOF
$signed|$((unsigned_size - 1)) $signed_limit|image of $unsigned_size bytes, more than
$signed|$unsigned_size $((signed_size - 1))|signed, $signed_size bytes, more than
$work/unsigned/mivoboot.exe|$unsigned_limit $signed_limit|not signed
EOF
for file in mivoboot.exe mivoboot-x86.exe; do
  "${check[@]}" imports "$one/dist/$file" || fail "imports of the signed $file"
  "${check[@]}" manifest "$one/dist/$file" || fail "manifest of the signed $file"
done
while read -r file machine; do
  "${check[@]}" machine "$one/dist/$file" "$machine" || fail "machine type of $file"
done <<EOF
mivoboot.exe x64
mivoboot-x86.exe x86
mivocheck.exe x86
EOF

echo "== mivocheck.exe"
# Stripped and without the C++ library's streams, file system code and
# exception objects, it is about 240 KiB; the limit catches a build that
# draws any of them in again. Signed, verified and the same in both copies
# above; never importing msi.dll, which it binds from the system folder.
check_limit=$((256 * 1024))
"${check[@]}" size "$work/unsigned/mivocheck.exe" $check_limit || fail "the unsigned mivocheck.exe is too large"
"${check[@]}" size "$one/dist/mivocheck.exe" $check_limit $((check_limit + 16384)) ||
  fail "the signed mivocheck.exe is too large or not signed"
"${check[@]}" imports "$one/dist/mivocheck.exe" || fail "imports of the signed mivocheck.exe"

echo "== end-to-end scenarios with the signed executable"
# The override must reach the scenarios: a missing executable fails one.
if E2E_SETUP_EXE_OVERRIDE=$work/missing.exe ctest --test-dir "$windows_build" -FS e2e_prefix \
  -R '^e2e\.plan_default_locale$' --output-on-failure >"$work/override.log" 2>&1 ||
  ! grep -q "setup executable built ($work/missing.exe)" "$work/override.log"; then
  fail "the end-to-end scenarios do not take E2E_SETUP_EXE_OVERRIDE: $(tail -20 "$work/override.log")"
fi

# scenarios BUILD WHAT OVERRIDES...: the end-to-end scenarios of BUILD with
# the overrides, WHAT in the failure; prints how many passed. The kit's tests
# run the executable packed in its zip, not the override: they are left out
# here, having run already with the build.
scenarios() {
  local build=$1 what=$2
  shift 2
  env "$@" ctest --test-dir "$build" -L e2e -LE kit -j2 --output-on-failure \
    >"$work/scenarios.log" 2>&1 || fail "end-to-end scenarios with $what: $(tail -40 "$work/scenarios.log")"
  grep -E '^[0-9]+% tests passed' "$work/scenarios.log" >&2
  grep -Eq 'tests passed, 0 tests failed out of [1-9]' "$work/scenarios.log" ||
    fail "no end-to-end scenario ran with $what"
  ! grep -q 'Skipped' "$work/scenarios.log" || fail "end-to-end scenarios skipped with $what"
  grep -c ' Passed ' "$work/scenarios.log"
}

# What ran where, for the summary.
ran_x64=$(scenarios "$windows_build" "$signed" E2E_SETUP_EXE_OVERRIDE="$signed")
ran_x64="ran here under Wine (x86_64): $ran_x64 end-to-end tests passed"
echo "== end-to-end scenarios with the signed 32-bit executables"
# The 32-bit mivocheck reads every scenario's record and gives the result
# scenarios their code.
x86_status=0
x86_why=$(tools/can-run-32bit.sh) || x86_status=$?
[ $x86_status -le 1 ] || fail "tools/can-run-32bit.sh: the probe of 32-bit execution failed"
if [ $x86_status -eq 0 ]; then
  ran_x86=$(scenarios "$i686_build" "$one/dist/mivoboot-x86.exe and $one/dist/mivocheck.exe" \
    E2E_SETUP_EXE_OVERRIDE="$one/dist/mivoboot-x86.exe" E2E_MIVOCHECK_OVERRIDE="$one/dist/mivocheck.exe")
  ran_x86="ran here under the 32-bit Wine (WoW64): $ran_x86 end-to-end tests passed"
else
  ran_x86="NOT RUN: $x86_why"
  echo "32-bit run-time tests not run: $x86_why"
fi

echo "== what ran: each executable of dist/ is reproducible, signed and verified, and"
printf '%-18s %s\n' mivoboot.exe "$ran_x64" mivoboot-x86.exe "$ran_x86" mivocheck.exe "$ran_x86"
if [ $x86_status -ne 0 ]; then
  echo "The 32-bit executables were checked without running them (size, imports, manifest," \
    "machine type, signature, reproducibility). Prove them before shipping: run this check on" \
    "a machine that executes 32-bit programs, or the 32-bit Windows kit on Windows" \
    "(docs/releasing.md)."
fi
echo "release check passed"
