#!/bin/bash
# A sample run of the setup for newcomers: builds mivoboot.exe (Windows preset),
# makes a core package and three language packs, and runs the setup twice under
# Wine in a throwaway prefix, as a user with the German locale (LCID 1031) who
# passes the command line "1036". After each run it shows the installed
# products, the installer logs in TMP, the installer calls, what was done with
# each package, and the lines the run added to its record, MIVOSetup.log; at
# the end, the whole record as mivocheck --records reads it back.
#
# Between the runs the 1031 pack is rebuilt with a newer key file under the
# same product code and version, so that the second run shows all three
# decisions: left alone (current), removed and installed again (older key file
# in the installed copy), and not planned (mivo_1033.msi, which neither the
# command line nor the locale asks for).
#
#   tools/sample-run.sh            build folder build/windows
#   SAMPLE_BUILD_DIR=DIR tools/sample-run.sh
#
# On a fresh Debian 12 machine, as root, it first installs the tool chain with
# tools/install-deps.sh; SKIP_INSTALL=1 skips that on a machine that has it. It
# needs cmake, ninja-build, g++-mingw-w64-x86-64-posix, googletest, wine64,
# wixl and msitools (and coreutils, findutils, util-linux, mawk, perl-base).
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${SAMPLE_BUILD_DIR:-$source_dir/build/windows}
command_line=1036
locale=de_DE.UTF-8

if [ "${SKIP_INSTALL:-0}" != 1 ]; then
  echo "== Installing the tool chain (SKIP_INSTALL=1 skips this)"
  "$source_dir/tools/install-deps.sh"
fi

echo "== Building mivoboot.exe and the installer probe in $build_dir"
mkdir -p "$build_dir"
(cd "$source_dir" && cmake --preset windows -B "$build_dir") >"$build_dir/sample-configure.log" 2>&1 || {
  cat "$build_dir/sample-configure.log"
  exit 1
}
cmake --build "$build_dir" -j2 --target mivoboot e2e_probe mivocheck

E2E_SETUP_EXE=$(find "$build_dir" -name mivoboot.exe -print -quit)
E2E_PROBE=$(find "$build_dir" -name probe.exe -path '*e2e*' -print -quit)
E2E_MAKE_PACKAGE=$source_dir/tests/packages/make_package.sh
export E2E_SETUP_EXE E2E_PROBE E2E_MAKE_PACKAGE
if [ -z "$E2E_SETUP_EXE" ] || [ -z "$E2E_PROBE" ]; then
  echo "mivoboot.exe or probe.exe not found in $build_dir" >&2
  exit 1
fi

# shellcheck source=e2e_lib.sh
. "$source_dir/tools/e2e_lib.sh"
set +e  # the functions below report their own failures
e2e_require_tools >/dev/null || {
  e2e_require_tools
  exit 1
}

work=$build_dir/sample-run
# The same template prefix as the end-to-end scenarios of this build folder.
template=$build_dir/tests/e2e/work/template-prefix
echo "== Making a Wine prefix (the first time this takes a while)"
e2e_make_template "$template" || {
  echo "could not make a Wine prefix" >&2
  exit 1
}
e2e_new_prefix "$template" "$work/run" || exit 1
results=$work/results
rm -rf "$results"
mkdir -p "$results"

roles=(core 1036 1031 1033)
echo "== Sample packages in C:\\mivo-setup"
for role in "${roles[@]}"; do
  e2e_package "$setup_dir" "$(file_of "$role")" "$(code_of "$role")" "$(upgrade_of "$role")" \
    1.0.0 "$(keyfile_of "$role")" 1.0.0.0 "$role" || exit 1
  printf '  %-14s %-38s version 1.0.0, key file %-12s 1.0.0.0\n' "$(file_of "$role")" \
    "$(code_of "$role")" "$(keyfile_of "$role")"
done
e2e_set_tmp 'C:\mivo-tmp' || exit 1

codes=()
for role in "${roles[@]}"; do codes+=("$(code_of "$role")"); done

# show_run NUMBER: what the run did, from the probe after it, the logs and the
# record.
show_run() {
  local number=$1 role line log decision
  echo "-- exit code: $setup_exit"
  echo "-- Products after run $number (probe):"
  while IFS= read -r line; do
    for role in "${roles[@]}"; do
      case $line in "product=$(code_of "$role") "*) printf '  %-5s %s\n' "$role" "$line" ;; esac
    done
  done < <(tr -d '\r' <"$probe_file")
  echo "-- Logs written in TMP (C:\\mivo-tmp):"
  if ls "$tmp_dir"/MIVO* >/dev/null 2>&1; then
    for log in "$tmp_dir"/MIVO*; do
      printf '  %-22s %6s bytes\n' "$(basename "$log")" "$(stat -c %s "$log")"
    done
  else
    echo "  (none)"
  fi
  mkdir -p "$results/run-$number"
  cp "$tmp_dir"/MIVO* "$probe_file" "$results/run-$number/" 2>/dev/null
  echo "-- Installer calls made by mivoboot.exe (from Wine's msi trace):"
  while IFS= read -r line; do
    case $line in
      ui:silent) echo "  MsiSetInternalUI        level 258 (silent)" ;;
      log:*) echo "  MsiEnableLogW           ${line#log:}" ;;
      remove:*) echo "  MsiConfigureProductExW  remove ${line#remove:}" ;;
      install:*) echo "  MsiInstallProductW      ${line#install:}" ;;
      *) echo "  (unexpected) $line" ;;
    esac
  done <"$run_dir/setup.calls"
  cp "$run_dir/setup.calls" "$results/run-$number/installer-calls.txt"
  echo "-- What was done with each package (from the run record):"
  for role in "${roles[@]}"; do
    decision=$(run_lines | sed -n "s/^$(file_of "$role"): decision: //p" | tail -n 1)
    printf '  %-14s %s\n' "$(file_of "$role")" "${decision:-not planned}"
  done
  echo "-- The lines this run added to its record (C:\\mivo-tmp\\MIVOSetup.log):"
  tr -d '\r' <"$tmp_dir/MIVOSetup.log" | tail -n "+$((record_lines_before + 1))" | sed 's/^/  /'
  cp "$tmp_dir/MIVOSetup.log" "$results/run-$number/"
}

# The lines this run added to the record, without time stamp and process id.
run_lines() { e2e_record "$tmp_dir/MIVOSetup.log" | tail -n "+$((record_lines_before + 1))"; }

for number in 1 2; do
  if [ "$number" = 2 ]; then
    echo
    echo "== Rebuilding mivo_1031.msi with key file version 1.0.0.1 (same product code and version)"
    e2e_package "$setup_dir" "$(file_of 1031)" "$(code_of 1031)" "$(upgrade_of 1031)" \
      1.0.0 "$(keyfile_of 1031)" 1.0.0.1 1031 || exit 1
  fi
  echo
  echo "== Run $number: mivoboot.exe $command_line, user locale $locale (LCID 1031), TMP=C:\\mivo-tmp"
  record_lines_before=$(e2e_record "$tmp_dir/MIVOSetup.log" | wc -l)
  e2e_run_setup "$locale" "$command_line"
  e2e_probe "${codes[@]}"
  show_run "$number"
done

echo
echo "== The record read back by mivocheck --records (as a fleet's records would be)"
"$WINE" "$build_dir/mivocheck/mivocheck.exe" --records 'C:\mivo-tmp\MIVOSetup.log' </dev/null |
  tr -d '\r' | sed 's/^/  /'

e2e_stop_prefix
trap - EXIT
rm -rf "$work/run"
echo
echo "== Done. The logs and probe output of each run are in $results"
