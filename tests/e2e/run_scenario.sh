#!/bin/bash
# Runs one end-to-end scenario of the setup executable under Wine:
#
#   run_scenario.sh template | trace_reading | SCENARIO
#
# "template" makes the template prefix that every scenario copies;
# "trace_reading" checks the reading of Wine's msi trace on fixed input. A scenario
# builds its packages, lays them with a copy of mivoboot.exe in C:\mivo-setup of
# a throwaway prefix, runs the setup with a chosen user locale and command line,
# and checks the exit code, the installer calls it made (read from Wine's msi
# trace), the installed products (through the probe) and the installer logs in
# TMP. Every check prints a PASS or FAIL line; the exit status
# is 0 only when all checks passed. The run folder of a failed scenario is kept.
#
# Environment (set by the test registration): E2E_SETUP_EXE, E2E_PROBE,
# E2E_PLANTED_DLL, E2E_NAIVE_LOADER, E2E_MAKE_PACKAGE, E2E_WORK.
set -eEuo pipefail
# A command that fails outside a check stops the script: say which.
trap 'echo "stopped: line $LINENO of ${BASH_SOURCE[0]##*/}: $BASH_COMMAND (exit $?)" >&2' ERR
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../tools/e2e_lib.sh
. "$here/../../tools/e2e_lib.sh"

# Aborts the scenario when a preparation step fails: what follows would not
# check anything.
prepare() {
  local description=$1
  shift
  if ! "$@"; then
    e2e_fail "preparation: $description"
    finish
  fi
}

# package DIR ROLE VERSION KEY_VERSION
package() {
  prepare "build $(file_of "$2") $3 (key file $4)" e2e_package "$1" "$(file_of "$2")" \
    "$(code_of "$2")" "$(upgrade_of "$2")" "$3" "$(keyfile_of "$2")" "$4" "$2"
}

# setup_package ROLE VERSION KEY_VERSION: a package in the setup folder.
setup_package() { package "$setup_dir" "$@"; }

# installed_before ROLE VERSION KEY_VERSION: builds the package in the staging
# folder and installs it with msiexec.
installed_before() {
  package "$stage_dir" "$@"
  prepare "install $(label_of "$1") $2 with msiexec" e2e_install_directly "$(file_of "$1")"
}

probe_roles() {
  local role codes=()
  for role in "$@"; do codes+=("$(code_of "$role")"); done
  prepare "run the probe" e2e_probe "${codes[@]}"
}

field() { e2e_field "$probe_file" "$(code_of "$1")" "$2"; }

# --- Checks ------------------------------------------------------------------

expect_exit_zero() {
  if [ "$setup_exit" -eq 0 ]; then
    e2e_pass "mivoboot.exe exited with code 0"
  elif [ "$setup_exit" -eq 124 ]; then
    e2e_fail "mivoboot.exe exited with code 0 (it did not end within $E2E_STEP_TIMEOUT s)"
  else
    e2e_fail "mivoboot.exe exited with code 0 (got $setup_exit; output in $run_dir/setup.out)"
  fi
  if [ -s "$run_dir/setup.out" ]; then
    e2e_fail "mivoboot.exe wrote nothing to its output ($(head -c 200 "$run_dir/setup.out"))"
  fi
  local crash
  crash=$(grep -aE 'Unhandled (exception|page fault)|unimplemented function' "$run_dir/setup.trace" |
    head -n 2) || true
  if [ -n "$crash" ]; then
    e2e_fail "mivoboot.exe ran without an unhandled exception: $crash"
  fi
}

# expect_installed ROLE VERSION [KEY_VERSION]: after the last probe.
expect_installed() {
  local role=$1 version=$2 key=${3:-} state actual_version actual_key
  state=$(field "$role" state)
  actual_version=$(field "$role" version)
  actual_key=$(field "$role" keyversion)
  if [ "$state" = 5 ] && [ "$actual_version" = "$version" ] &&
    { [ -z "$key" ] || [ "$actual_key" = "$key" ]; }; then
    e2e_pass "$(label_of "$role") installed: version $version${key:+, cached key file $key}"
  else
    e2e_fail "$(label_of "$role") installed: version $version${key:+, cached key file $key}" \
      "(state $state, version '$actual_version', cached key file '$actual_key')"
  fi
}

expect_not_installed() {
  local state
  state=$(field "$1" state)
  if [ -n "$state" ] && [ "$state" != 5 ]; then
    e2e_pass "$(label_of "$1") not installed"
  else
    e2e_fail "$(label_of "$1") not installed (state '$state')"
  fi
}

# expect_logs ITEM...: exactly these MIVO files, in the TMP folder, and no
# other MIVO file anywhere on drive C. An item is ROLE (that role's
# installation log), remove:ROLE (its removal log) or record (MIVOSetup.log).
expect_logs() {
  local item name expected=() found
  for item in "$@"; do
    case $item in
      record) name=MIVOSetup.log ;;
      remove:*) name=$(remove_log_of "${item#remove:}") ;;
      *) name=$(log_of "$item") ;;
    esac
    expected+=("$tmp_dir/$name")
    e2e_check "$name written in TMP ($tmp_windows)" test -f "$tmp_dir/$name"
  done
  found=$(find "$prefix/drive_c" -name 'MIVO*' -print | sort)
  local want
  want=$(printf '%s\n' "${expected[@]}" | sort)
  if [ "$found" = "$want" ]; then
    e2e_pass "no other MIVO file written on drive C"
  else
    e2e_fail "no other MIVO file written on drive C; found:" \
      "$(printf '%s' "$found" | sed "s|$prefix/drive_c|C:|" | tr '\n' ' ')"
  fi
}

# expect_calls STEP...: the installer calls of the last run, exactly and in
# order. A step is "ui" (the silent switch), or log:ROLE, logremove:ROLE,
# remove:ROLE or install:ROLE, the call for that role's installation log,
# removal log, product code or package.
expect_calls() {
  local step expected=() actual
  for step in "$@"; do
    case $step in
      ui) expected+=(ui:silent) ;;
      log:*) expected+=("log:$tmp_windows\\$(log_of "${step#log:}")") ;;
      logremove:*) expected+=("log:$tmp_windows\\$(remove_log_of "${step#logremove:}")") ;;
      remove:*) expected+=("remove:$(code_of "${step#remove:}")") ;;
      install:*) expected+=("install:$setup_windows\\$(file_of "${step#install:}")") ;;
    esac
  done
  actual=$(cat "$run_dir/setup.calls")
  if [ "$actual" = "$(printf '%s\n' "${expected[@]}")" ]; then
    e2e_pass "installer calls: $*"
  else
    e2e_fail "installer calls: $* (made: $(printf '%s' "$actual" | tr '\n' '|'))"
  fi
}

expect_installation_logged() {
  e2e_check "$(log_of "$1") shows an installation" e2e_log_shows_install "$tmp_dir/$(log_of "$1")"
}

# expect_record_says ROLE|- TEXT...: the run record holds a line of that
# package (core, a pack, or - for a line of the run) that begins with TEXT.
expect_record_says() {
  local role=$1 prefix="" text
  shift
  [ "$role" = - ] || prefix="$(file_of "$role"): "
  for text in "$@"; do
    if e2e_record "$tmp_dir/MIVOSetup.log" |
      want="$prefix$text" awk 'index($0, ENVIRON["want"]) == 1 { found = 1 } END { exit !found }'; then
      e2e_pass "record: $prefix$text"
    else
      e2e_fail "record: $prefix$text (record: $(e2e_record "$tmp_dir/MIVOSetup.log" |
        tr '\n' '|'))"
    fi
  done
}

# expect_record_whole: every line of the record is well formed.
expect_record_whole() {
  local bad
  bad=$(e2e_record "$tmp_dir/MIVOSetup.log" | grep -c '^!') || true
  if [ -s "$tmp_dir/MIVOSetup.log" ] && [ "$bad" = 0 ]; then
    e2e_pass "every line of the record has its time stamp, process id and CRLF"
  else
    e2e_fail "every line of the record has its time stamp, process id and CRLF ($bad bad:" \
      "$(e2e_record "$tmp_dir/MIVOSetup.log" | grep '^!' | sed -n '1,3p' | tr '\n' '|'))"
  fi
}

# expect_record_reads_as_success: no line of the record says "error" or "fail"
# in any letter case, which log viewers colour as a failure.
expect_record_reads_as_success() {
  local hits
  hits=$(grep -aiE 'error|fail' "$tmp_dir/MIVOSetup.log" | sed -n '1,3p' | tr -d '\r' | tr '\n' '|') || true
  if [ -s "$tmp_dir/MIVOSetup.log" ] && [ -z "$hits" ]; then
    e2e_pass "no line of the record says error or fail"
  else
    e2e_fail "no line of the record says error or fail ($hits)"
  fi
}

# read_back_record: mivocheck --records reads every line of the record the
# scenario left and exits with records_exit (0: every run ended without a
# failed call; 1: a run failed or did not finish). Its summary and complaints
# go to the run folder.
records_exit=0 records_failing=
read_back_record() {
  [ -s "${tmp_dir:-}/MIVOSetup.log" ] || return 0
  local status=0
  "$WINE" "$E2E_MIVOCHECK" --records "$tmp_windows\\MIVOSetup.log" </dev/null \
    >"$run_dir/records.out" 2>"$run_dir/records.err" || status=$?
  if [ -s "$run_dir/records.err" ]; then
    e2e_fail "mivocheck --records reads every line of the record" \
      "($(head -n 3 "$run_dir/records.err" | tr -d '\r' | tr '\n' '|'))"
  else
    e2e_pass "mivocheck --records reads every line of the record"
  fi
  e2e_check "mivocheck --records exits $records_exit on the record (exit $status)" \
    test "$status" = "$records_exit"
  if [ -n "$records_failing" ]; then
    e2e_check "mivocheck --records names $records_failing among the failures" \
      grep -aqE "$records_failing.*[Ff]ailed|[Ff]ailed.*$records_failing" "$run_dir/records.out"
  fi
}

expect_tmp_seen() {
  local seen
  seen=$(e2e_env_value TMP)
  if [ "$seen" = "$tmp_windows" ]; then
    e2e_pass "Windows processes see TMP=$tmp_windows"
  else
    e2e_fail "Windows processes see TMP=$tmp_windows (they see '$seen')"
    finish
  fi
}

# expect_user_lcid LOCALE LCID: the locale under which the setup runs gives
# the intended user default LCID (Wine maps the Unix locale name itself).
expect_user_lcid() {
  local seen
  seen=$(e2e_user_lcid "$1")
  if [ "$seen" = "$2" ]; then
    e2e_pass "LC_ALL=$1 gives the user default LCID $2"
  else
    e2e_fail "LC_ALL=$1 gives the user default LCID $2 (got '$seen')"
    finish
  fi
}

# remember ROLE: the cached package path and checksum of an installed product,
# after the last probe, for expect_cached_unchanged / expect_cached_replaced.
declare -A remembered_path remembered_sum
remember() {
  local cached
  remembered_path[$1]=$(field "$1" package)
  cached=$(e2e_cached_package "$probe_file" "$(code_of "$1")")
  remembered_sum[$1]=$(md5sum <"$cached" 2>/dev/null | cut -d' ' -f1)
  if [ -z "${remembered_path[$1]}" ] || [ -z "${remembered_sum[$1]}" ]; then
    e2e_fail "preparation: $(label_of "$1") has a readable cached package"
    finish
  fi
}

expect_cached_unchanged() {
  local path sum cached
  path=$(field "$1" package)
  cached=$(e2e_cached_package "$probe_file" "$(code_of "$1")")
  sum=$(md5sum <"$cached" 2>/dev/null | cut -d' ' -f1)
  if [ "$path" = "${remembered_path[$1]}" ] && [ "$sum" = "${remembered_sum[$1]}" ]; then
    e2e_pass "$(label_of "$1") cached package unchanged ($path)"
  else
    e2e_fail "$(label_of "$1") cached package unchanged (was ${remembered_path[$1]}" \
      "${remembered_sum[$1]}, now $path $sum)"
  fi
}

expect_cached_replaced() {
  local path
  path=$(field "$1" package)
  if [ -n "$path" ] && [ "$path" != "${remembered_path[$1]}" ]; then
    e2e_pass "$(label_of "$1") cached package replaced (${remembered_path[$1]} -> $path)"
  else
    e2e_fail "$(label_of "$1") cached package replaced (still '$path')"
  fi
}

# --- Scenarios -----------------------------------------------------------------

# An empty command line: the core package and the pack of the user's locale.
scenario_plan_default_locale() {
  local role
  for role in core 1031 1033 1036; do setup_package "$role" 1.0.0 1.0.0.0; done
  e2e_set_tmp 'C:\mivo-tmp'
  expect_tmp_seen
  expect_user_lcid de_DE.UTF-8 1031
  e2e_run_setup de_DE.UTF-8
  expect_exit_zero
  expect_calls ui log:core install:core log:1031 install:1031
  probe_roles core 1031 1033 1036
  expect_installed core 1.0.0 1.0.0.0
  expect_installed 1031 1.0.0 1.0.0.0
  expect_not_installed 1033
  expect_not_installed 1036
  expect_logs core 1031 record
  expect_installation_logged core
  expect_installation_logged 1031
  expect_record_whole
}

# A supported command line adds its pack before the pack of the user's locale.
scenario_plan_command_line_and_locale() {
  local role
  for role in core 1031 1033 1036; do setup_package "$role" 1.0.0 1.0.0.0; done
  e2e_set_tmp 'C:\mivo-tmp'
  expect_user_lcid de_DE.UTF-8 1031
  e2e_run_setup de_DE.UTF-8 1036
  expect_exit_zero
  expect_calls ui log:core install:core log:1036 install:1036 log:1031 install:1031
  probe_roles core 1036 1031 1033
  expect_installed core 1.0.0
  expect_installed 1036 1.0.0
  expect_installed 1031 1.0.0
  expect_not_installed 1033
  expect_logs core 1036 1031 record
}

# An unsupported command line and an unsupported locale: the 1033 fallback.
scenario_plan_unsupported_fallback() {
  local role
  for role in core 1033 1049 1031; do setup_package "$role" 1.0.0 1.0.0.0; done
  e2e_set_tmp 'C:\mivo-tmp'
  expect_user_lcid ru_RU.UTF-8 1049
  e2e_run_setup ru_RU.UTF-8 1049
  expect_exit_zero
  expect_calls ui log:core install:core log:1033 install:1033
  probe_roles core 1033 1049 1031
  expect_installed core 1.0.0
  expect_installed 1033 1.0.0
  expect_not_installed 1049
  expect_not_installed 1031
  expect_logs core 1033 record
}

# A TMP value with format characters: the logs land in that very folder.
scenario_tmp_with_percent() {
  setup_package core 1.0.0 1.0.0.0
  setup_package 1041 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\t%s%d%%x'
  expect_tmp_seen
  expect_user_lcid ja_JP.UTF-8 1041
  e2e_run_setup ja_JP.UTF-8
  expect_exit_zero
  expect_calls ui log:core install:core log:1041 install:1041
  probe_roles core 1041
  expect_installed core 1.0.0
  expect_installed 1041 1.0.0
  expect_logs core 1041 record
  expect_record_says - "start: mivoboot "
  expect_record_whole
}

# A TMP folder and a setup folder with characters outside ASCII: every path
# stays UTF-16 from the environment and the module path to the installer.
scenario_non_ascii_folders() {
  e2e_use_setup_folder 'C:\Setup Ü 日本'
  setup_package core 1.0.0 1.0.0.0
  setup_package 1033 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\Temp Ünïcødé 中文'
  expect_tmp_seen
  # The Unix side of Wine converts the program path with the Unix locale's
  # character set, so this run uses a UTF-8 locale that every system has.
  expect_user_lcid C.UTF-8 1033
  e2e_run_setup C.UTF-8
  expect_exit_zero
  expect_calls ui log:core install:core log:1033 install:1033
  probe_roles core 1033
  expect_installed core 1.0.0
  expect_installed 1033 1.0.0
  expect_logs core 1033 record
  expect_record_says core "installation: \"$setup_windows\\mivo.msi\" (log \"$tmp_windows\\MIVOInstall.log\"): 0 (success)"
}

# An msi.dll planted beside the executable is never loaded; the installer of
# the system is used.
scenario_planted_msi_dll() {
  setup_package core 1.0.0 1.0.0.0
  setup_package 3082 1.0.0 1.0.0.0
  prepare "plant msi.dll beside mivoboot.exe" cp "$E2E_PLANTED_DLL" "$setup_dir/msi.dll"
  e2e_set_tmp 'C:\mivo-tmp'

  # Control: a program that loads msi.dll by name from the same kind of folder
  # does get the planted DLL, and the DLL leaves its marker.
  local control=$prefix/drive_c/mivo-control
  mkdir -p "$control"
  cp "$E2E_PLANTED_DLL" "$control/msi.dll"
  cp "$E2E_NAIVE_LOADER" "$control/naive_loader.exe"
  WINEDLLOVERRIDES="msi=n,b;$E2E_DLL_OVERRIDES" "$WINE" 'C:\mivo-control\naive_loader.exe' \
    msi.dll </dev/null >"$run_dir/control.out" 2>&1
  if [ -f "$control/msi.dll.loaded" ]; then
    e2e_pass "control: a load of msi.dll by name picks the planted DLL and leaves the marker"
  else
    e2e_fail "control: a load of msi.dll by name picks the planted DLL and leaves the marker" \
      "($(tr -d '\r' <"$run_dir/control.out"))"
    finish
  fi

  expect_user_lcid es_ES.UTF-8 3082
  WINEDLLOVERRIDES="msi=n,b;$E2E_DLL_OVERRIDES" e2e_run_setup es_ES.UTF-8
  expect_exit_zero
  expect_calls ui log:core install:core log:3082 install:3082
  if [ -f "$setup_dir/msi.dll.loaded" ]; then
    e2e_fail "planted msi.dll never loaded (marker written by $(tr -d '\r\n' \
      <"$setup_dir/msi.dll.loaded"))"
  else
    e2e_pass "planted msi.dll never loaded"
  fi
  probe_roles core 3082
  expect_installed core 1.0.0
  expect_installed 3082 1.0.0
  expect_logs core 3082 record
}

# Without a usable Windows Installer (msi.dll disabled) the setup installs
# nothing, writes no log and still exits 0.
scenario_installer_unavailable() {
  setup_package core 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\mivo-tmp'
  WINEDLLOVERRIDES="msi=;$E2E_DLL_OVERRIDES" e2e_run_setup de_DE.UTF-8
  expect_exit_zero
  expect_calls
  probe_roles core 1031
  expect_not_installed core
  expect_not_installed 1031
  expect_logs
}

# A second run right after the first installs nothing again.
scenario_second_run_skips() {
  setup_package core 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_setup de_DE.UTF-8
  expect_exit_zero
  expect_calls ui log:core install:core log:1031 install:1031
  probe_roles core 1031
  expect_installed core 1.0.0 1.0.0.0
  expect_installed 1031 1.0.0 1.0.0.0
  expect_installation_logged core
  expect_record_says core "decision: not installed, so install"
  expect_record_says - "end: 2 installed, 0 removed, 0 left alone, "
  expect_record_reads_as_success
  remember core
  remember 1031
  local first_logs
  first_logs=$(cd "$tmp_dir" && md5sum MIVOInstall.log MIVO_1031Install.log)
  local first_lines
  first_lines=$(e2e_record "$tmp_dir/MIVOSetup.log" | wc -l)

  e2e_info "second run"
  e2e_run_setup de_DE.UTF-8
  expect_exit_zero
  expect_calls ui
  probe_roles core 1031
  expect_installed core 1.0.0 1.0.0.0
  expect_installed 1031 1.0.0 1.0.0.0
  expect_cached_unchanged core
  expect_cached_unchanged 1031
  expect_logs core 1031 record
  if [ "$(cd "$tmp_dir" && md5sum MIVOInstall.log MIVO_1031Install.log)" = "$first_logs" ]; then
    e2e_pass "the package logs keep the first run's content byte for byte"
  else
    e2e_fail "the package logs keep the first run's content byte for byte"
  fi
  expect_installation_logged core
  expect_installation_logged 1031
  # The second run appended its own lines to the first run's.
  e2e_check "the second run appended to the record" \
    test "$(e2e_record "$tmp_dir/MIVOSetup.log" | wc -l)" -gt "$first_lines"
  expect_record_says core "installed product: \"$(code_of core)\" has version \"1.0.0\"" \
    "cached key file: KELD.DLL has version \"1.0.0.0\"" \
    "decision: current, so leave alone"
  expect_record_says 1031 "decision: current, so leave alone"
  expect_record_says - "end: 0 installed, 0 removed, 2 left alone, "
  expect_record_reads_as_success
  expect_record_whole
}

# Same product code and version, older key file in the cached package: the
# product is removed and the package installed again.
scenario_older_cached_key_file_reinstalled() {
  installed_before core 1.0.0 1.0.0.0
  installed_before 1031 1.0.0 1.0.0.0
  probe_roles core 1031
  remember core
  remember 1031
  setup_package core 1.0.0 1.0.0.5
  setup_package 1031 1.0.0 1.0.1.0
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_setup de_DE.UTF-8
  expect_exit_zero
  expect_calls ui logremove:core remove:core log:core install:core \
    logremove:1031 remove:1031 log:1031 install:1031
  probe_roles core 1031
  expect_installed core 1.0.0 1.0.0.5
  expect_installed 1031 1.0.0 1.0.1.0
  expect_cached_replaced core
  expect_cached_replaced 1031
  expect_logs core 1031 remove:core remove:1031 record
  # Each removal's session is in its own file, the installation's in the
  # package log.
  local role
  for role in core 1031; do
    e2e_check "$(remove_log_of "$role") holds the removal's session" \
      e2e_log_shows_removal "$tmp_dir/$(remove_log_of "$role")"
    e2e_check "$(remove_log_of "$role") began with the product installed" \
      grep -aq 'ProductState = 5' "$tmp_dir/$(remove_log_of "$role")"
    e2e_check "$(log_of "$role") shows an installation of the removed product" \
      e2e_log_shows_fresh_install "$tmp_dir/$(log_of "$role")"
    e2e_check "$(log_of "$role") holds no removal" \
      eval "! e2e_log_shows_removal '$tmp_dir/$(log_of "$role")'"
  done
  expect_record_says core \
    "decision: cached key file \"1.0.0.0\" older than \"1.0.0.5\", so remove first and install" \
    "removal: \"$(code_of core)\" (log \"$tmp_windows\\MIVORemove.log\"): 0 (success)"
  expect_record_says - "end: 2 installed, 2 removed, 0 left alone, "
  expect_record_reads_as_success
}

# An equal (core) or newer (pack) key file in the cached package: left alone.
scenario_equal_or_newer_cached_key_file_left() {
  installed_before core 1.0.0 1.0.0.5
  installed_before 1031 1.0.0 2.0.0.0
  probe_roles core 1031
  remember core
  remember 1031
  setup_package core 1.0.0 1.0.0.5
  setup_package 1031 1.0.0 1.5.0.0
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_setup de_DE.UTF-8
  expect_exit_zero
  expect_calls ui
  probe_roles core 1031
  expect_installed core 1.0.0 1.0.0.5
  expect_installed 1031 1.0.0 2.0.0.0
  expect_cached_unchanged core
  expect_cached_unchanged 1031
  # Left alone: no log call, so no package log at all.
  expect_logs record
  expect_record_says core "decision: current, so leave alone"
  expect_record_says 1031 "cached key file: KELDINTL.DLL has version \"2.0.0.0\"" \
    "decision: current, so leave alone"
}

# Versions are equal by their numbers, not their text: installed 7.01 against
# package 7.1 is equal (the core with an equal key file is left alone, pack
# 1031 with an older cached key file is reinstalled), while 7.1 against 7.1.0
# is different (pack 1036 gets no removal and keeps its cached package).
scenario_version_7_01_equals_7_1() {
  installed_before core 7.01 1.0.0.0
  installed_before 1031 7.01 1.0.0.0
  installed_before 1036 7.1 1.0.0.0
  probe_roles core 1031 1036
  remember core
  remember 1031
  remember 1036
  setup_package core 7.1 1.0.0.0
  setup_package 1031 7.1 1.0.0.7
  setup_package 1036 7.1.0 1.0.0.9
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_setup de_DE.UTF-8 1036
  expect_exit_zero
  expect_calls ui log:1036 install:1036 logremove:1031 remove:1031 log:1031 install:1031
  probe_roles core 1031 1036
  expect_installed core 7.01 1.0.0.0
  expect_cached_unchanged core
  expect_installed 1031 7.1 1.0.0.7
  expect_cached_replaced 1031
  expect_installed 1036 7.1 1.0.0.0
  expect_cached_unchanged 1036
  expect_logs 1036 1031 remove:1031 record
  expect_record_says core "decision: current, so leave alone"
  expect_record_says 1036 "decision: installed version \"7.1\" differs from \"7.1.0\", so install" \
    "installation: \"$setup_windows\\mivo_1036.msi\" (log \"$tmp_windows\\MIVO_1036Install.log\"): 1638 (ERROR_PRODUCT_VERSION)"
  records_exit=1
  records_failing=mivo_1036.msi
}

# A different version under the same product code (newer for the core, older
# for the pack): an installation attempt without a removal; the installer
# refuses it, so the installed version and cached package stay.
scenario_other_version_same_product_code() {
  installed_before core 1.0.0 1.0.0.0
  installed_before 1031 2.0.0 2.0.0.0
  probe_roles core 1031
  remember core
  remember 1031
  setup_package core 2.0.0 2.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_setup de_DE.UTF-8
  expect_exit_zero
  expect_calls ui log:core install:core log:1031 install:1031
  probe_roles core 1031
  expect_installed core 1.0.0 1.0.0.0
  expect_installed 1031 2.0.0 2.0.0.0
  expect_cached_unchanged core
  expect_cached_unchanged 1031
  expect_logs core 1031 record
  expect_record_says core "decision: installed version \"1.0.0\" differs from \"2.0.0\", so install"
  expect_record_says - "end: 0 installed, 0 removed, 0 left alone, 2 failed, "
  records_exit=1
}

write_garbage() { head -c 6000 /dev/urandom >"$1"; }

# A corrupt core package and a missing pack do not stop the other pack.
scenario_corrupt_core_missing_pack() {
  prepare "write a corrupt mivo.msi" write_garbage "$setup_dir/mivo.msi"
  setup_package 1031 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_setup de_DE.UTF-8 1036
  expect_exit_zero
  expect_calls ui log:core install:core log:1036 install:1036 log:1031 install:1031
  probe_roles core 1036 1031
  expect_not_installed core
  expect_not_installed 1036
  expect_installed 1031 1.0.0 1.0.0.0
  expect_logs core 1036 1031 record
  expect_record_says core "package: could not be opened: " \
    "decision: package could not be opened, so install"
  expect_record_says 1036 "decision: package could not be opened, so install"
  records_exit=1
  records_failing=mivo_1036.msi
}

# A missing core package and a truncated pack do not stop the other pack.
scenario_corrupt_pack_missing_core() {
  setup_package 1036 1.0.0 1.0.0.0
  prepare "truncate mivo_1036.msi" truncate -s 4096 "$setup_dir/mivo_1036.msi"
  setup_package 1031 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_setup de_DE.UTF-8 1036
  expect_exit_zero
  expect_calls ui log:core install:core log:1036 install:1036 log:1031 install:1031
  probe_roles core 1036 1031
  expect_not_installed core
  expect_not_installed 1036
  expect_installed 1031 1.0.0 1.0.0.0
  expect_logs core 1036 1031 record
  records_exit=1
  records_failing=mivo.msi
}

# A setup folder with blanks and format characters: the quoted program name is
# passed over whole, and the package paths keep the folder's text unchanged.
scenario_folder_with_blanks_and_percent() {
  e2e_use_setup_folder 'C:\Mivo Setup %s %d'
  setup_package core 1.0.0 1.0.0.0
  setup_package 1036 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_setup de_DE.UTF-8 1036
  expect_exit_zero
  expect_calls ui log:core install:core log:1036 install:1036 log:1031 install:1031
  probe_roles core 1036 1031
  expect_installed core 1.0.0
  expect_installed 1036 1.0.0
  expect_installed 1031 1.0.0
  expect_logs core 1036 1031 record
  e2e_check "the core package was installed from $setup_windows\\mivo.msi" \
    grep -aqF "OriginalDatabase = $setup_windows\\mivo.msi" "$tmp_dir/MIVOInstall.log"
}

# Other installed products of the core's upgrade code, installed before and
# after the core, whose cached key files are newer than everything: only the
# product whose code equals the package's decides, so the core (older cached
# key file) is removed and installed again and the others stay as they are.
scenario_related_products_of_other_codes_ignored() {
  # Chosen so that one of them is enumerated before the core's code whether
  # the installer keeps related products in installation order or sorted by
  # their packed codes (first group reversed: 00A0C1D5 < 00A0C1D6 < 00A0C1D7).
  local before_code='{5D1C0A00-0000-4000-8000-0000000000B1}'
  local after_code='{7D1C0A00-0000-4000-8000-0000000000A1}'
  local code
  package_other() {
    prepare "build $1" e2e_package "$stage_dir" "$1" "$2" "$(upgrade_of core)" 1.0.0 KELD.DLL \
      9.0.0.0 "$3"
    prepare "install $1 with msiexec" e2e_install_directly "$1"
  }
  package_other sibling-before.msi "$before_code" sibling-before
  installed_before core 1.0.0 1.0.0.0
  package_other sibling-after.msi "$after_code" sibling-after
  probe_roles core
  remember core
  setup_package core 1.0.0 1.0.0.5
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_setup de_DE.UTF-8
  expect_exit_zero
  expect_calls ui logremove:core remove:core log:core install:core log:1031 install:1031
  probe_roles core
  expect_installed core 1.0.0 1.0.0.5
  expect_cached_replaced core
  prepare "run the probe" e2e_probe "$before_code" "$after_code"
  for code in "$before_code" "$after_code"; do
    if [ "$(e2e_field "$probe_file" "$code" state)" = 5 ] &&
      [ "$(e2e_field "$probe_file" "$code" keyversion)" = 9.0.0.0 ]; then
      e2e_pass "related product $code still installed, untouched"
    else
      e2e_fail "related product $code still installed, untouched ($(tr -d '\r' <"$probe_file" |
        grep -F "$code"))"
    fi
  done
  # The folder has no pack for the user's locale: its installation fails.
  records_exit=1
  records_failing=mivo_1031.msi
}

# TMP names a folder that does not exist: the run takes TEMP's folder instead,
# makes it the TMP of the installer too (Wine's installer cannot install
# without a usable TMP), and installs every package; the record and the logs
# lie in the folder that the start line names, and a line says why TMP's was
# not used.
scenario_tmp_folder_missing() {
  setup_package core 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\mivo-tmp'
  rmdir "$tmp_dir"
  e2e_run_setup de_DE.UTF-8
  expect_exit_zero
  e2e_check "the TMP folder was not made" test ! -e "$tmp_dir"
  adopt_record_folder
  expect_calls ui log:core install:core log:1031 install:1031
  probe_roles core 1031
  expect_installed core 1.0.0 1.0.0.0
  expect_installed 1031 1.0.0 1.0.0.0
  expect_logs core 1031 record
  expect_installation_logged core
  expect_record_says - 'temporary folder: TMP names "C:\mivo-tmp", which is not an existing folder; the run uses %TEMP% instead'
}

# TMP removed from the user's and the machine's environment: the logs and the
# record land in the folder GetTempPathW names.
scenario_tmp_unset() {
  setup_package core 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\mivo-tmp'
  "$WINE" reg delete 'HKCU\Environment' /v TMP /f </dev/null >>"$run_dir/reg.out" 2>&1
  "$WINE" reg delete 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
    /v TMP /f </dev/null >>"$run_dir/reg.out" 2>&1
  local seen temp
  seen=$(e2e_env_value TMP)
  "$WINE" "$E2E_PROBE" --temp </dev/null >"$run_dir/probe-temp.out" 2>/dev/null
  temp=$(tr -d '\r' <"$run_dir/probe-temp.out" | sed -n 's/^temp=//p')
  temp=${temp%\\}
  if [ -z "$seen" ] && [ -n "$temp" ]; then
    e2e_pass "Windows processes see no TMP; GetTempPathW names $temp"
  else
    e2e_fail "Windows processes see no TMP (they see '$seen'); GetTempPathW names '$temp'"
    finish
  fi
  tmp_windows=$temp
  tmp_dir=$(e2e_unix_path "$temp")
  e2e_run_setup de_DE.UTF-8
  expect_exit_zero
  expect_calls ui log:core install:core log:1031 install:1031
  probe_roles core 1031
  expect_installed core 1.0.0
  expect_installed 1031 1.0.0
  expect_logs core 1031 record
  expect_record_says - "start: mivoboot "
  e2e_check "the record names $temp as the temporary folder" \
    grep -aqF "temporary folder \"$temp\"" "$tmp_dir/MIVOSetup.log"
}

# Another process holds the record open without sharing: the run cannot
# write it, and installs every package all the same.
scenario_record_held_open() {
  setup_package core 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\mivo-tmp'
  "$WINE" "$E2E_PROBE" --hold 'C:\mivo-tmp\MIVOSetup.log' 100 </dev/null >"$run_dir/hold.out" 2>&1 &
  local holder=$! waited=0
  while [ ! -f "$tmp_dir/MIVOSetup.log.held" ] && [ $waited -lt 300 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  if [ ! -f "$tmp_dir/MIVOSetup.log.held" ]; then
    e2e_fail "preparation: another process holds MIVOSetup.log ($(cat "$run_dir/hold.out"))"
    finish
  fi
  cp "$E2E_SETUP_EXE" "$setup_dir/mivoboot.exe"
  setup_exit=0
  timeout "$E2E_STEP_TIMEOUT" env LC_ALL=de_DE.UTF-8 WINEDEBUG=-all,trace+msi \
    "$WINE" "$setup_windows\\mivoboot.exe" </dev/null >"$run_dir/setup.out" 2>"$run_dir/setup.trace" || setup_exit=$?
  rm -f "$tmp_dir/MIVOSetup.log.held"
  wait "$holder"
  "$WINESERVER" -w </dev/null >/dev/null 2>&1
  e2e_installer_calls "$run_dir/setup.trace" >"$run_dir/setup.calls"
  expect_exit_zero
  expect_calls ui log:core install:core log:1031 install:1031
  probe_roles core 1031
  expect_installed core 1.0.0 1.0.0.0
  expect_installed 1031 1.0.0 1.0.0.0
  e2e_check "nothing was written to the held record" test ! -s "$tmp_dir/MIVOSetup.log"
  expect_installation_logged core
}

# run_setups_together N: starts mivoboot.exe from the setup folder N times at
# once (user locale de_DE, no arguments), waits for every run, and checks that
# each exited with code 0. Run n writes its output to setup-n.out.
run_setups_together() {
  local count=$1 n pids=() exits=() zeros=()
  cp "$E2E_SETUP_EXE" "$setup_dir/mivoboot.exe"
  for ((n = 1; n <= count; n++)); do
    timeout "$E2E_STEP_TIMEOUT" env LC_ALL=de_DE.UTF-8 \
      "$WINE" "$setup_windows\\mivoboot.exe" </dev/null >"$run_dir/setup-$n.out" 2>&1 &
    pids+=($!)
    zeros+=(0)
  done
  for n in "${pids[@]}"; do
    wait "$n"
    exits+=($?)
  done
  "$WINESERVER" -w </dev/null >/dev/null 2>&1
  e2e_check "the $count runs exited with code 0 (${exits[*]})" test "${exits[*]}" = "${zeros[*]}"
}

# Two runs started together: one waits for the other, both exit 0, each
# product is installed once and cached once, and both runs' lines are in the
# record, whole, told apart by their process ids.
scenario_two_runs_at_once() {
  setup_package core 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\mivo-tmp'
  run_setups_together 2
  probe_roles core 1031
  expect_installed core 1.0.0 1.0.0.0
  expect_installed 1031 1.0.0 1.0.0.0
  local role count
  for role in core 1031; do
    count=0
    for cached in "$prefix"/drive_c/windows/Installer/*.msi; do
      [ -f "$cached" ] || continue
      msiinfo export "$cached" Property 2>/dev/null | tr -d '\r' |
        grep -qx "ProductCode	$(code_of "$role")" && count=$((count + 1))
    done
    e2e_check "the installer cache holds one package of $(label_of "$role") (holds $count)" \
      test "$count" -eq 1
  done
  expect_record_whole
  local starts ends run_ids
  starts=$(grep -ac '\] start: mivoboot ' "$tmp_dir/MIVOSetup.log") || true
  ends=$(grep -ac '\] end: ' "$tmp_dir/MIVOSetup.log") || true
  run_ids=$(sed -n 's/^[^[]*\[\([0-9]*\)\] start: .*/\1/p' "$tmp_dir/MIVOSetup.log" | sort -u | wc -l)
  e2e_check "the record holds two runs, each with its start and end line ($starts, $ends)" \
    test "$starts" = 2 -a "$ends" = 2
  e2e_check "the two runs have process ids of their own ($run_ids)" test "$run_ids" = 2
  e2e_check "one run installed both products, the other left both alone" \
    test "$(grep -acE '\] end: 2 installed, 0 removed, 0 left alone, [0-9]+ ms' \
      "$tmp_dir/MIVOSetup.log")" = 1 -a \
    "$(grep -acE '\] end: 0 installed, 0 removed, 2 left alone, [0-9]+ ms' \
      "$tmp_dir/MIVOSetup.log")" = 1
}

# A setup folder so long that the path of a package cannot be formed: the
# run installs nothing and sets no package log. The folder has 246 units, so
# that mivoboot.exe's own path (259 units) still fits where mivo_1031.msi's
# (260 units and its NUL) does not.
scenario_folder_too_long() {
  local folder='C:\'
  while [ ${#folder} -lt 246 ]; do folder="${folder}l"; done
  e2e_use_setup_folder "$folder"
  setup_package core 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_setup de_DE.UTF-8
  expect_exit_zero
  expect_calls
  probe_roles core 1031
  expect_not_installed core
  expect_not_installed 1031
  expect_logs record
  expect_record_says 1031 \
    "plan: the package's path cannot be formed in the folder \"$folder\\\" (too long); nothing is installed"
}

# set_property DIR FILE PROPERTY VALUE: a Property value of a built package,
# changed with msibuild (VALUE may hold line breaks).
set_property() {
  msibuild "$1/$2" -q "UPDATE \`Property\` SET \`Value\`='$4' WHERE \`Property\`='$3'" \
    >"$run_dir/msibuild.out" 2>&1
}

# Texts from outside that try to forge or blur a line of the record: package
# properties with CR LF, a lone CR and a lone LF that carry a made-up line,
# and command lines that do the same or try to close the quoted argument
# text. Each fact stays one line, no made-up process id begins a line, and
# the record reads back.
scenario_record_forged_input() {
  local forged='2026-01-01 00:00:00Z [999999] mivo.msi: decision: current, so leave alone'
  local cr=$'\r' lf=$'\n'
  setup_package core 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  prepare "UpgradeCode of mivo.msi with CR LF" \
    set_property "$setup_dir" mivo.msi UpgradeCode "$(upgrade_of core)$cr$lf$forged"
  prepare "ProductVersion of mivo_1031.msi with a lone CR" \
    set_property "$setup_dir" mivo_1031.msi ProductVersion "1.0.0$cr$forged"
  prepare "key file version of mivo.msi with a lone LF" \
    msibuild "$setup_dir/mivo.msi" -q \
    "UPDATE \`File\` SET \`Version\`='1.0.0.0$lf$forged' WHERE \`File\`='KeyFile'"
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_setup de_DE.UTF-8 "1036$cr$lf$forged"
  expect_exit_zero
  e2e_run_setup de_DE.UTF-8 '1036" user default LCID 1049 "x'
  expect_exit_zero
  expect_record_whole
  local log=$tmp_dir/MIVOSetup.log lines crs lfs
  lines=$(grep -acE '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}Z \[[0-9]+\] ' "$log") || true
  crs=$(tr -cd '\r' <"$log" | wc -c)
  lfs=$(tr -cd '\n' <"$log" | wc -c)
  e2e_check "every CR and LF of the record ends a line ($lines lines, $crs CR, $lfs LF)" \
    test "$crs" = "$lines" -a "$lfs" = "$lines"
  e2e_check "no line begins with the made-up process id" \
    eval "! grep -aqE '^[^[]*\[999999\]' '$log'"
  e2e_check "two runs, each with one start and one end line" \
    test "$(grep -ac '\] start: ' "$log")" = 2 -a "$(grep -ac '\] end: ' "$log")" = 2
  e2e_check "one UpgradeCode line of mivo.msi per run, the CR LF escaped" \
    test "$(grep -acF "mivo.msi: UpgradeCode: \"$(upgrade_of core)<U+000D><U+000A>2026-01-01" \
      "$log")" = 2
  e2e_check "one ProductVersion line of mivo_1031.msi per run, the lone CR escaped" \
    test "$(grep -acF 'mivo_1031.msi: ProductVersion: "1.0.0<U+000D>2026-01-01' "$log")" = 2
  e2e_check "one key file line of mivo.msi per run, the lone LF escaped" \
    test "$(grep -acF 'mivo.msi: key file: KELD.DLL has version "1.0.0.0<U+000A>2026-01-01' \
      "$log")" = 2
  e2e_check "the forged command line stays inside the quoted argument text" \
    grep -aqF "1036<U+000D><U+000A>2026-01-01 00:00:00Z [999999] mivo.msi: decision" "$log"
  e2e_check "a quote in the command line cannot end the argument text" \
    grep -aqE '1036(\\)?<U\+0022> user default LCID 1049 (\\)?<U\+0022>x.*", user default LCID 1031, temporary folder "C:\\mivo-tmp"' "$log"
}

# adopt_record_folder: the one run record on drive C lies in the folder that
# its start line names; that folder becomes the scenario's temporary folder
# for the checks that follow.
adopt_record_folder() {
  local records named
  records=$(find "$prefix/drive_c" -name MIVOSetup.log -print)
  if [ -z "$records" ] || [ "$(printf '%s\n' "$records" | wc -l)" != 1 ]; then
    e2e_fail "one run record written on drive C (found: $(printf '%s' "$records" | tr '\n' ' '))"
    finish
  fi
  named=$(e2e_record "$records" | sed -n 's/^start: .*, temporary folder "\(.*\)"$/\1/p' | sed -n 1p)
  tmp_windows=$named
  tmp_dir=$(e2e_unix_path "$named")
  e2e_check "the record lies in the folder its start line names ($named)" \
    test "$records" -ef "$tmp_dir/MIVOSetup.log"
}

# TMP is a relative path: not a folder the run can trust; TEMP's is used.
scenario_tmp_relative() {
  setup_package core 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\mivo-tmp'
  "$WINE" reg add 'HKCU\Environment' /v TMP /t REG_SZ /d 'mivo-tmp' /f \
    </dev/null >"$run_dir/reg.out" 2>&1
  e2e_run_setup de_DE.UTF-8
  expect_exit_zero
  adopt_record_folder
  expect_calls ui log:core install:core log:1031 install:1031
  probe_roles core 1031
  expect_installed core 1.0.0 1.0.0.0
  expect_installed 1031 1.0.0 1.0.0.0
  expect_logs core 1031 record
  expect_record_says - 'temporary folder: TMP names "mivo-tmp", which is not a full path; the run uses %TEMP% instead'
}

# TMP ends in backslashes: they are dropped, so that every path of the run has
# one separator between folder and file.
scenario_tmp_trailing_backslash() {
  setup_package core 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\mivo-tmp\\'
  tmp_windows='C:\mivo-tmp'
  tmp_dir=$(e2e_unix_path "$tmp_windows")
  e2e_run_setup de_DE.UTF-8
  expect_exit_zero
  expect_calls ui log:core install:core log:1031 install:1031
  probe_roles core 1031
  expect_installed core 1.0.0 1.0.0.0
  expect_installed 1031 1.0.0 1.0.0.0
  expect_logs core 1031 record
  e2e_check "the start line names C:\\mivo-tmp" \
    grep -aqF 'temporary folder "C:\mivo-tmp"' "$tmp_dir/MIVOSetup.log"
  e2e_check "no path in the record or the calls has a doubled separator" \
    eval "! grep -aqF '\\\\' '$tmp_dir/MIVOSetup.log' '$run_dir/setup.calls'"
}

# A package that schedules a restart: installed silently, it answers 3010 and
# the machine is not restarted (under Wine nothing ever restarts; the trace
# shows that every installation passed REBOOT=ReallySuppress). The end line
# counts it without a word of failure.
scenario_reboot_scheduled() {
  setup_package core 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  prepare "ScheduleReboot in the execute sequence of mivo_1031.msi" \
    add_schedule_reboot "$setup_dir/$(file_of 1031)"
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_setup de_DE.UTF-8
  expect_exit_zero
  expect_calls ui log:core install:core log:1031 install:1031
  probe_roles core 1031
  expect_installed core 1.0.0 1.0.0.0
  expect_installed 1031 1.0.0 1.0.0.0
  expect_record_says 1031 "installation: \"$setup_windows\\$(file_of 1031)\" (log \"$tmp_windows\\$(log_of 1031)\"): 3010 (success, reboot needed)"
  expect_record_says core "installation: \"$setup_windows\\$(file_of core)\" (log \"$tmp_windows\\$(log_of core)\"): 0 (success)"
  expect_record_says - "end: 2 installed, 0 removed, 0 left alone, 1 needing a restart, "
  expect_record_reads_as_success
}

# expect_result CODE TEXT: the command line of a deployment tool exited with
# CODE, and what it printed is the one line of mivocheck --result, naming TEXT.
expect_result() {
  local code=$1 text=$2
  e2e_check "the command line exits $code (exit '$result_exit')" test "$result_exit" = "$code"
  if [ "$(printf '%s\n' "$result_out" | wc -l)" = 1 ] &&
    [[ $result_out == "mivocheck: $code "* ]] && [[ $result_out == *"$text"* ]]; then
    e2e_pass "one line: $result_out"
  else
    e2e_fail "one line 'mivocheck: $code ...$text...' (printed: $(printf '%s' "$result_out" | tr '\n' '|'))"
  fi
}

# The code of the run that just happened, through cmd as a deployment tool
# runs it: a clean first run and a second run with everything current are 0,
# and the second line of each really is that run's (cmd waited for it).
scenario_result_first_and_second_run() {
  setup_package core 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_with_result de_DE.UTF-8 'mivoboot.exe & mivocheck.exe --result'
  expect_result 0 "(success): the newest run ended and every call succeeded"
  probe_roles core 1031
  expect_installed core 1.0.0 1.0.0.0
  expect_installed 1031 1.0.0 1.0.0.0
  e2e_info "second run"
  e2e_run_with_result de_DE.UTF-8 'mivoboot.exe & mivocheck.exe --result'
  expect_result 0 "(success): the newest run ended and nothing needed a call"
  e2e_check "the record holds both runs, each ended" \
    test "$(grep -ac '\] start: ' "$tmp_dir/MIVOSetup.log")" = 2 -a \
    "$(grep -ac '\] end: ' "$tmp_dir/MIVOSetup.log")" = 2
}

# A garbage language pack named on the command line: the code is the
# installer's answer for it, and the line names the pack. cmd hands a program
# the blank before "&" as part of its arguments, so a language is written
# right before the "&": "mivoboot.exe 1036 &" would pass "1036 ", which names
# no language.
scenario_result_garbage_language_pack() {
  setup_package core 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  prepare "write a garbage mivo_1036.msi" write_garbage "$setup_dir/mivo_1036.msi"
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_with_result de_DE.UTF-8 'mivoboot.exe 1036 & mivocheck.exe --result'
  expect_record_says - 'start: mivoboot 1.0.0.0, executable "C:\mivo-setup\mivoboot.exe", arguments "1036 ",'
  expect_result 0 "(success): the newest run ended and every call succeeded"
  e2e_run_with_result de_DE.UTF-8 'mivoboot.exe 1036& mivocheck.exe --result'
  local answer
  answer=$(e2e_record "$tmp_dir/MIVOSetup.log" |
    sed -n 's/^mivo_1036\.msi: installation: .*): \([0-9]*\).*/\1/p')
  e2e_check "the record holds the installer's failure for mivo_1036.msi ('$answer')" \
    test -n "$answer" -a "$answer" != 0
  expect_result "$answer" "): mivo_1036.msi installation failed"
  probe_roles core 1031
  expect_installed core 1.0.0 1.0.0.0
  expect_installed 1031 1.0.0 1.0.0.0
  records_exit=1
  records_failing=mivo_1036.msi
}

# A core package that schedules a restart: the run succeeds and asks for one.
scenario_result_restart_scheduled() {
  setup_package core 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  prepare "add ScheduleReboot to mivo.msi" add_schedule_reboot "$setup_dir/mivo.msi"
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_with_result de_DE.UTF-8 'mivoboot.exe & mivocheck.exe --result'
  expect_result 3010 "(success, reboot needed): mivo.msi installation asked for a restart"
  expect_record_says core "installation: \"$setup_windows\\mivo.msi\" (log \"$tmp_windows\\MIVOInstall.log\"): 3010 (success, reboot needed)"
  probe_roles core 1031
  expect_installed core 1.0.0 1.0.0.0
  expect_installed 1031 1.0.0 1.0.0.0
}

# No record in the temporary folder: mivocheck --result alone says so.
scenario_result_empty_tmp_folder() {
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_with_result en_US.UTF-8 'mivocheck.exe --result'
  expect_result 1622 "(ERROR_INSTALL_LOG_FAILURE): no record at \"C:\\mivo-tmp\\MIVOSetup.log\""
}

# A run that cannot use TMP records in TEMP; TMP works again before
# mivocheck --result runs. The code is that run's failure, not the success of
# the older run whose record is still in TMP.
scenario_result_after_fallback() {
  setup_package core 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_with_result de_DE.UTF-8 'mivoboot.exe & mivocheck.exe --result'
  expect_result 0 "(success): the newest run ended and every call succeeded"
  prepare "write a garbage mivo_1036.msi" write_garbage "$setup_dir/mivo_1036.msi"
  mv "$tmp_dir" "$tmp_dir.away"
  e2e_run_with_result de_DE.UTF-8 'mivoboot.exe 1036'
  mv "$tmp_dir.away" "$tmp_dir"
  local temp_dir
  temp_dir=$(e2e_unix_path "$(e2e_env_value TEMP)")
  e2e_check "the second run recorded in TEMP ($temp_dir)" \
    grep -aq 'which is not an existing folder; the run uses %TEMP% instead' "$temp_dir/MIVOSetup.log"
  e2e_run_with_result de_DE.UTF-8 'mivocheck.exe --result'
  expect_result "$(e2e_record "$temp_dir/MIVOSetup.log" |
    sed -n 's/^mivo_1036\.msi: installation: .*): \([0-9]*\).*/\1/p')" \
    "): mivo_1036.msi installation failed"
}

# The journal of the earlier release's cut planted beside a record of two runs,
# naming its last byte: the next run appends and changes nothing before, so
# the record keeps every line of the three runs.
scenario_record_planted_journal() {
  setup_package core 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\mivo-tmp'
  e2e_run_setup de_DE.UTF-8
  e2e_run_setup de_DE.UTF-8
  cp "$tmp_dir/MIVOSetup.log" "$run_dir/before.log"
  local size i
  size=$(wc -c <"$run_dir/before.log")
  # Two 64-bit little-endian numbers: the record's last byte, and 0.
  for i in 0 1 2 3 4 5 6 7; do
    printf "\\$(printf %03o $(((size - 1) >> (8 * i) & 255)))"
  done >"$tmp_dir/MIVOSetup.log.cut"
  head -c 8 /dev/zero >>"$tmp_dir/MIVOSetup.log.cut"
  e2e_run_setup de_DE.UTF-8
  expect_exit_zero
  expect_record_whole
  e2e_check "the record begins with the two runs before, byte for byte" \
    cmp -s -n "$size" "$run_dir/before.log" "$tmp_dir/MIVOSetup.log"
  e2e_check "the record holds three start lines" \
    test "$(grep -ac '\] start: ' "$tmp_dir/MIVOSetup.log")" = 3
}

# --- The reading of Wine's trace, on fixed input ----------------------------------

# Every call check rests on e2e_installer_calls; this checks it on a trace
# written by hand in Wine's format, including the calls it must reject.
check_trace_reading() {
  local trace=$E2E_WORK/trace_reading.trace expected actual
  mkdir -p "$E2E_WORK"
  cat >"$trace" <<'TRACE'
0024:trace:msi:MsiSetInternalUI 00000102 0000000000000000
0024:trace:msi:MsiOpenDatabaseW L"C:\\s\\mivo.msi" (null) 000000000021FCD8
0024:trace:msi:MsiEnableLogW 0x1000, L"C:\\t%s%d%%x\\MIVO\00fc\4e2dInstall.log", 0
0024:trace:msi:MsiConfigureProductExW L"{6D1C0A00-0000-4000-8000-000000000000}" 0 2 L"REMOVE=ALL REBOOT=ReallySuppress ZOLT_SETUP_EXE=1"
0024:trace:msi:MsiInstallProductW L"C:\\Setup\\abcd\\mivo.msi" L"REBOOT=ReallySuppress"
0024:trace:msi:MsiEnableLogW 0, (null), 0
0024:trace:msi:MsiQueryProductStateW L"{6D1C0A00-0000-4000-8000-000000000000}"
0024:trace:msi:MsiSetInternalUI 00000002 0000000000000000
0024:trace:msi:MsiEnableLogW 0x1000, L"C:\\x.log", 0x1
0024:trace:msi:MsiEnableLogW 0x100, L"C:\\x.log", 0
0024:trace:msi:MsiConfigureProductExW L"{A}" 0 2 L"REMOVE=ALL"
0024:trace:msi:MsiConfigureProductExW L"{A}" 0 3 L"REMOVE=ALL REBOOT=ReallySuppress ZOLT_SETUP_EXE=1"
0024:trace:msi:MsiInstallProductW L"C:\\s\\mivo.msi" L"REMOVE=ALL"
0024:trace:msi:MsiInstallProductW L"C:\\s\\mivo.msi" L""
0024:warn:msi:MsiInstallProductW L"C:\\other.msi" L""
TRACE
  expected=$(cat <<'CALLS'
ui:silent
log:C:\t%s%d%%x\MIVOü中Install.log
remove:{6D1C0A00-0000-4000-8000-000000000000}
install:C:\Setup\abcd\mivo.msi
log:none
ui:?00000002 0000000000000000
log:?0x1000, L"C:\x.log", 0x1
log:?0x100, L"C:\x.log", 0
remove:?L"{A}" 0 2 L"REMOVE=ALL"
remove:?L"{A}" 0 3 L"REMOVE=ALL REBOOT=ReallySuppress ZOLT_SETUP_EXE=1"
install:?L"C:\s\mivo.msi" L"REMOVE=ALL"
install:?L"C:\s\mivo.msi" L""
CALLS
  )
  actual=$(e2e_installer_calls "$trace")
  rm -f "$trace"
  local i=0 line
  local -a want got
  mapfile -t want <<<"$expected"
  mapfile -t got <<<"$actual"
  for line in "${want[@]}"; do
    if [ "${got[$i]:-}" = "$line" ]; then
      e2e_pass "call $((i + 1)) of the trace read as $line"
    else
      e2e_fail "call $((i + 1)) of the trace read as $line (read as '${got[$i]:-<nothing>}')"
    fi
    i=$((i + 1))
  done
  e2e_check "nothing else read from the trace (${#got[@]} calls)" test "${#got[@]}" -eq "${#want[@]}"
}

# Runs started together against one record of more than 1 MiB (finished runs
# of earlier days): the first line to find it full renames it to the older
# generation, through the handle that measured it, while the others append.
# The older generation begins with the earlier record byte for byte, the
# current one is below the limit, every run's lines are in the two, each run
# from its start line to its end line, and the record reads back with exit
# code 0.
scenario_record_shared_generation() {
  setup_package core 1.0.0 1.0.0.0
  setup_package 1031 1.0.0 1.0.0.0
  e2e_set_tmp 'C:\mivo-tmp'
  mkdir -p "$tmp_dir"
  awk 'BEGIN {
    for (i = 1; total < 1536 * 1024; i++) {
      s = sprintf("2026-01-01 00:00:00Z [%d] start: mivoboot 1.0.0.0, executable \"C:\\s\\mivoboot.exe\", arguments \"\", user default LCID 1031, temporary folder \"C:\\t\"\r\n", 100000 + i)
      e = sprintf("2026-01-01 00:00:01Z [%d] end: 0 installed, 0 removed, 0 left alone, 5 ms\r\n", 100000 + i)
      printf "%s%s", s, e; total += length(s) + length(e)
    } }' >"$tmp_dir/MIVOSetup.log"
  cp "$tmp_dir/MIVOSetup.log" "$run_dir/earlier.log"
  run_setups_together 3
  probe_roles core 1031
  expect_installed core 1.0.0 1.0.0.0
  expect_installed 1031 1.0.0 1.0.0.0
  expect_record_whole
  local size earlier_size
  size=$(wc -c <"$tmp_dir/MIVOSetup.log")
  earlier_size=$(wc -c <"$run_dir/earlier.log")
  e2e_check "the current generation is below 1 MiB ($size bytes)" test "$size" -le 1048576
  e2e_check "the older generation begins with the earlier record" \
    cmp -s -n "$earlier_size" "$run_dir/earlier.log" "$tmp_dir/MIVOSetup.log.1"
  cat "$tmp_dir/MIVOSetup.log.1" "$tmp_dir/MIVOSetup.log" >"$run_dir/generations.log"
  # The runs of this test: process ids below the earlier runs' 100001.
  local ids id lines
  ids=$(sed -n 's/^[^[]*\[\([0-9]*\)\] start: .*/\1/p' "$run_dir/generations.log" |
    awk '$1 < 100000' | sort -u)
  e2e_check "the record holds the three runs ($(echo $ids))" test "$(echo "$ids" | grep -c .)" = 3
  for id in $ids; do
    lines=$(grep -a "^[^[]*\[$id\] " "$run_dir/generations.log" | sed 's/^[^]]*\] //') || true
    e2e_check "run $id: its first line is its start line" \
      test "$(sed -n 1p <<<"$lines" | cut -c1-15)" = "start: mivoboot"
    e2e_check "run $id: its last line is its end line" \
      test "$(echo "$lines" | tail -n 1 | tr -d '\r' | cut -c1-5)" = "end: "
    e2e_check "run $id: it planned both packages" \
      test "$(echo "$lines" | grep -c ': plan: ')" = 2
  done
}

# --- Driver ----------------------------------------------------------------------

finish() {
  local status=0
  [ $e2e_failures -eq 0 ] || status=1
  [ $e2e_checks -gt 0 ] || status=1
  e2e_stop_prefix
  if [ $status -eq 0 ]; then
    [ -n "${run_dir:-}" ] && rm -rf "$run_dir"
    echo "scenario $scenario: all $e2e_checks checks passed"
  else
    echo "scenario $scenario: $e2e_failures of $e2e_checks checks failed${run_dir:+; run folder kept: $run_dir}"
  fi
  trap - EXIT
  exit $status
}

scenario=${1:?usage: run_scenario.sh template | SCENARIO}
# E2E_SETUP_EXE_OVERRIDE and E2E_MIVOCHECK_OVERRIDE, when set, name the
# executables to run instead of the build's own (the release check runs the
# scenarios on the signed release).
E2E_SETUP_EXE=${E2E_SETUP_EXE_OVERRIDE:-${E2E_SETUP_EXE:-}}
E2E_MIVOCHECK=${E2E_MIVOCHECK_OVERRIDE:-${E2E_MIVOCHECK:-}}
: "${E2E_WORK:?}" "${E2E_SETUP_EXE:?}" "${E2E_PROBE:?}" "${E2E_MAKE_PACKAGE:?}"
template=$E2E_WORK/template-prefix
run_dir=

e2e_require_tools || finish
if [ "$scenario" = trace_reading ]; then
  check_trace_reading
  finish
fi
if [ "$scenario" = template ]; then
  e2e_check "template Wine prefix made" e2e_make_template "$template"
  finish
fi
if ! declare -F "scenario_$scenario" >/dev/null; then
  e2e_fail "scenario $scenario exists"
  finish
fi
if [ ! -f "$E2E_SETUP_EXE" ]; then
  e2e_fail "setup executable built ($E2E_SETUP_EXE)"
  finish
fi
prepare "template Wine prefix ready" e2e_make_template "$template"
prepare "fresh prefix copied from the template" e2e_new_prefix "$template" "$E2E_WORK/$scenario"
"scenario_$scenario"
read_back_record
finish
