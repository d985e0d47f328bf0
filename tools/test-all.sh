#!/bin/sh
# Runs every check of the project on a fresh Debian 12 machine, as root:
# installs what is needed, then
#   1. the host build (logic and unit tests with AddressSanitizer and
#      UndefinedBehaviorSanitizer, against libmsi and the installer fake),
#   2. the Windows build (the executable, its size/import/manifest checks, the
#      unit tests under Wine, the end-to-end runs with real packages),
#   3. the 32-bit Windows build (the executable and its checks, the unit tests,
#      every end-to-end run and the 32-bit kit with its broken builds) under a
#      32-bit Wine in a root of its own (tools/wine32-chroot.sh: WoW64, a
#      64-bit prefix running the 32-bit programs; built from the machine's apt
#      sources on first use and kept in /var/cache/mivo-wine32); on a machine
#      that does not execute 32-bit programs (tools/can-run-32bit.sh) the tests
#      that run them are skipped, with one line that says why,
#   4. the release: built twice in two copies of the checkout and compared byte
#      for byte, signed with a throwaway certificate chain and an offline time
#      stamp and verified, the end-to-end runs repeated with both signed
#      executables,
#   5. a bounded fuzz run of the text support and of the record reader,
#   6. the formatting of the sources, their includes (no layer includes one
#      above it, no include cycle in a folder: tools/check-includes.py), and
#      the warnings of shellcheck on every script (tools/, cmake/, tests/).
# Build folders are under build/ of the checkout.
set -eu
cd "$(dirname "$0")/.."
fuzz_seconds=${FUZZ_SECONDS:-60}

if [ "${SKIP_INSTALL:-0}" != 1 ]; then
  tools/install-deps.sh
fi

step() { printf '\n==== %s\n' "$*"; }

step "host build and tests"
cmake --preset host
cmake --build --preset host -j2
ctest --preset host -j2

step "Windows build and tests under Wine"
cmake --preset windows
cmake --build --preset windows -j2
ctest --preset windows -j2

step "32-bit Windows build and tests under a 32-bit Wine"
# Some machines do not execute 32-bit programs at all. There the build and its
# checks of the files still run; every test that would run a 32-bit program
# reports itself skipped, and the rest of this script goes on.
x86_status=0
x86_why=$(tools/can-run-32bit.sh) || x86_status=$?
case $x86_status in
  0) tools/wine32-chroot.sh root ;;
  1) echo "32-bit run-time tests not run: $x86_why" ;;
  *) exit 1 ;;
esac
cmake --preset i686
cmake --build --preset i686 -j2
ctest --preset i686 -j2

step "release: reproducible, signed and time-stamped, end-to-end with the signed executable"
tools/check-release.sh build/windows build/i686

step "fuzzing the text support and the record reader for ${fuzz_seconds} s"
cmake --preset fuzz
cmake --build --preset fuzz -j2
tests/fuzz/run_fuzz.sh build/fuzz "$fuzz_seconds"

step "formatting, includes and shell scripts"
files=$(git ls-files '*.cc' '*.h')
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files
echo "all sources formatted"
python3 tools/check-includes.py
scripts=$(git ls-files 'tools/*.sh' 'cmake/*.sh' 'tests/*.sh')
# shellcheck disable=SC2086
shellcheck -S warning $scripts
echo "no shellcheck warning in $(echo "$scripts" | wc -l) scripts"

step "all checks passed"
