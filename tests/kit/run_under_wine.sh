#!/bin/bash
# Runs the Windows test kit under Wine the way a user runs it on Windows: the
# zip unpacked into a folder of a fresh Wine prefix, then mivo-e2e.exe.
#
#   run_under_wine.sh ZIP TEMPLATE_PREFIX RUN_DIR [KIT_ARGUMENTS...]
#
# Without kit arguments the whole kit must pass (exit 0, a summary line with
# 0 failed) twice: as a user of a supported locale (de_DE, LCID 1031), then of
# an unsupported one (ru_RU, LCID 1049), whose run must first find no test
# product left installed by the one before. With arguments (a broken build:
# --exe PATH --only NAME) the kit runs once under de_DE and its output is
# shown for the caller to match; a Unix path after --exe becomes a Windows one.
# The prefix is copied from the template prefix of the end-to-end tests
# (tools/e2e_lib.sh); the kit runs in the time zone Asia/Tokyo, so that a
# time stamp in local time is nine hours off.
set -eEuo pipefail
# A command that fails outside a check stops the script: say which.
trap 'echo "stopped: line $LINENO of ${BASH_SOURCE[0]##*/}: $BASH_COMMAND (exit $?)" >&2' ERR
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../tools/e2e_lib.sh
. "$here/../../tools/e2e_lib.sh"

[ $# -ge 3 ] || { echo "usage: run_under_wine.sh ZIP TEMPLATE_PREFIX RUN_DIR [KIT_ARGUMENTS...]"; exit 2; }
zip=$(realpath -m "$1") template=$(realpath -m "$2") work=$(realpath -m "$3")
shift 3
arguments=()
while [ $# -gt 0 ]; do
  if [ "$1" = --exe ] && [ $# -gt 1 ] && [ "${2#/}" != "$2" ]; then
    arguments+=(--exe "Z:${2//\//\\}")
    shift 2
  else
    arguments+=("$1")
    shift
  fi
done

fail() {
  echo "FAIL: $*"
  exit 1
}

[ -f "$zip" ] || fail "the kit $zip is built"
command -v unzip >/dev/null || fail "unzip is installed"
e2e_make_template "$template" || fail "the template Wine prefix is made"
e2e_new_prefix "$template" "$work" || fail "a fresh Wine prefix is copied from the template"
unzip -q "$zip" -d "$prefix/drive_c/Downloads" || fail "the kit unzips"
kit='C:\Downloads\mivo-windows-kit\mivo-e2e.exe'

# use_locale NAME: the user locale NAME.UTF-8, made with localedef into a
# folder of the build's own when the system has not generated it, since Wine
# needs a real UTF-8 locale to name files outside ASCII (the LCID it maps from
# the name).
locales=$(dirname "$template")/locale
mkdir -p "$locales"
use_locale() {
  (
    flock 9
    [ -d "$locales/$1.UTF-8" ] || localedef -i "$1" -f UTF-8 "$locales/$1.UTF-8" >/dev/null 2>&1 9>&-
  ) 9>"$locales.lock"
  export LOCPATH=$locales LC_ALL=$1.UTF-8
  [ "$(locale charmap 2>/dev/null)" = UTF-8 ] || fail "the locale $1.UTF-8 is made with localedef"
}
export TZ=Asia/Tokyo
# Wine loads a DLL that lies beside a program, instead of its own, only when
# the load order puts native before builtin; on Windows that is the rule.
export WINEDLLOVERRIDES="msi=n,b;$E2E_DLL_OVERRIDES"

# run_kit OUTPUT [ARGUMENTS...]: one run of the kit, its output to a file (a
# pipe would be held open by Wine's service processes) and then shown.
run_kit() {
  local output=$1
  shift
  kit_status=0
  timeout 900 "$WINE" "$kit" "$@" </dev/null >"$output" 2>"$output.err" || kit_status=$?
  tr -d '\r' <"$output"
}

started=$(date +%s)
use_locale de_DE
run_kit "$work/kit.out" "${arguments[@]}"
first_status=$kit_status
echo "kit run took $(($(date +%s) - started)) s, exit code $first_status"
if [ ${#arguments[@]} -gt 0 ]; then
  e2e_stop_prefix
  rm -rf "$work"
  exit "$first_status"
fi

status=0
# passed: OUTPUT STATUS: the run exited 0 and counted no failure.
passed() { [ "$2" -eq 0 ] && grep -qE '^[0-9]+ passed, 0 failed, [0-9]+ skipped' "$1"; }
passed "$work/kit.out" "$first_status" || status=1

# The second run as a user whose locale the setup does not support (1049:
# the fallback pack 1033); its first step must find nothing left installed.
echo "second run, user locale ru_RU.UTF-8"
started=$(date +%s)
use_locale ru_RU
run_kit "$work/second.out"
echo "kit run took $(($(date +%s) - started)) s, exit code $kit_status"
passed "$work/second.out" "$kit_status" || status=1
if grep -q '^PASS: leftovers: no test product left installed by an earlier run' "$work/second.out"; then
  echo "PASS: the second run finds no test product left installed"
else
  echo "FAIL: the second run finds no test product left installed"
  status=1
fi
e2e_stop_prefix
if [ $status -eq 0 ]; then
  rm -rf "$work"
else
  echo "run folder kept: $work"
fi
exit $status
