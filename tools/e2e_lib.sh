# shellcheck shell=bash
# Shared functions of the end-to-end scenarios, the Windows kit's run under
# Wine and the sample run: sourced by bash scripts, never run.
#
# A run works in a folder of its own ($run_dir) holding a throwaway Wine prefix
# copied from a template prefix, the setup folder C:\mivo-setup (the setup
# executable and its packages), a staging folder C:\mivo-stage (packages that a
# scenario installs beforehand) and the temporary folder named by TMP.
#
# Inputs from the environment: E2E_SETUP_EXE, E2E_PROBE, E2E_MAKE_PACKAGE;
# optionally WINE and WINESERVER. The variables that the functions set
# (run_dir, prefix, setup_dir, tmp_dir, probe_file, setup_exit, ...) are read
# by the scripts that source this file.
# shellcheck disable=SC2034

WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}
# Only the run's own prefix is ever used (and ended), never the caller's.
unset WINEPREFIX
prefix=
export WINEDEBUG=-all
# No Mono or Gecko installation prompt when a prefix is made.
E2E_DLL_OVERRIDES="mscoree,mshtml="
export WINEDLLOVERRIDES=$E2E_DLL_OVERRIDES

# Packages by role: "core" or a language pack's LCID text. Each role has a
# product and upgrade code of its own, its package file, key file and log name.
code_of() {
  if [ "$1" = core ]; then echo '{6D1C0A00-0000-4000-8000-000000000000}'; else
    echo "{6D1C0A00-0000-4000-8000-00000000$1}"; fi
}
upgrade_of() {
  if [ "$1" = core ]; then echo '{6D1C0A00-0000-4000-9000-000000000000}'; else
    echo "{6D1C0A00-0000-4000-9000-00000000$1}"; fi
}
file_of() { if [ "$1" = core ]; then echo mivo.msi; else echo "mivo_$1.msi"; fi; }
keyfile_of() { if [ "$1" = core ]; then echo KELD.DLL; else echo KELDINTL.DLL; fi; }
log_of() { if [ "$1" = core ]; then echo MIVOInstall.log; else echo "MIVO_$1Install.log"; fi; }
remove_log_of() { if [ "$1" = core ]; then echo MIVORemove.log; else echo "MIVO_$1Remove.log"; fi; }
label_of() { if [ "$1" = core ]; then echo "core package"; else echo "language pack $1"; fi; }

# The longest that one Wine program of a run may take (seconds).
E2E_STEP_TIMEOUT=${E2E_STEP_TIMEOUT:-120}

e2e_failures=0
e2e_checks=0

e2e_pass() {
  e2e_checks=$((e2e_checks + 1))
  echo "PASS: $*"
}
e2e_fail() {
  e2e_checks=$((e2e_checks + 1))
  e2e_failures=$((e2e_failures + 1))
  echo "FAIL: $*"
}
e2e_info() { echo "  .. $*"; }

# e2e_check DESCRIPTION COMMAND...: PASS or FAIL by the command's status.
e2e_check() {
  local description=$1
  shift
  if "$@"; then e2e_pass "$description"; else e2e_fail "$description"; fi
}

# e2e_require_tools: the host tools every run needs.
e2e_require_tools() {
  local tool missing=0
  for tool in "$WINE" "$WINESERVER"; do
    [ -x "$tool" ] || { e2e_fail "Wine program $tool is present"; missing=1; }
  done
  for tool in wixl msibuild md5sum flock timeout perl; do
    command -v "$tool" >/dev/null || { e2e_fail "host tool $tool is installed"; missing=1; }
  done
  return $missing
}

# e2e_make_template DIR: makes the template prefix once (wineboot with every
# stream and the lock detached, so that no Wine helper process holds a
# caller's pipe or the lock open), waits until its wineserver has ended and
# saved the registry, and marks it ready. Concurrent callers wait on a lock.
e2e_make_template() {
  local template=$1
  mkdir -p "$(dirname "$template")"
  (
    flock 9
    if [ ! -f "$template/.e2e-ready" ]; then
      rm -rf "$template"
      WINEPREFIX=$template "$WINE" wineboot --init </dev/null >/dev/null 2>&1 9>&-
      WINEPREFIX=$template "$WINESERVER" -w </dev/null >/dev/null 2>&1 9>&-
      [ -f "$template/system.reg" ] && touch "$template/.e2e-ready"
    fi
  ) 9>"$template.lock"
  [ -f "$template/.e2e-ready" ]
}

# e2e_new_prefix TEMPLATE RUN_DIR: a fresh prefix in RUN_DIR/prefix. The
# program files of the template (PE images and locale tables, which nothing
# writes) are shared as hard links; everything else is copied, since Wine
# rewrites files such as the registry in place.
e2e_new_prefix() {
  local template=$1
  run_dir=$2
  rm -rf "$run_dir"
  mkdir -p "$run_dir"
  prefix=$run_dir/prefix
  cp -al "$template" "$prefix" || return 1
  rm -f "$prefix/.e2e-ready"
  local file
  while IFS= read -r -d '' file; do
    cp -p "$file" "$file.e2e-copy" && mv -f "$file.e2e-copy" "$file" || return 1
  done < <(find "$prefix" -type f ! \( -iname '*.dll' -o -iname '*.exe' -o -iname '*.nls' \
    -o -iname '*.sys' -o -iname '*.drv' -o -iname '*.ocx' -o -iname '*.cpl' -o -iname '*.acm' \
    -o -iname '*.tlb' -o -iname '*.ds' -o -iname '*.ax' -o -iname '*.com' -o -iname '*.msstyles' \) \
    -print0)
  export WINEPREFIX=$prefix
  stage_dir=$prefix/drive_c/mivo-stage
  mkdir -p "$stage_dir"
  e2e_use_setup_folder 'C:\mivo-setup'
  probe_count=0
  trap e2e_stop_prefix EXIT
}

# e2e_use_setup_folder 'C:\folder': the folder of the setup executable and its
# packages (C:\mivo-setup unless a scenario chooses another).
e2e_use_setup_folder() {
  setup_windows=$1
  setup_dir=$(e2e_unix_path "$setup_windows")
  mkdir -p "$setup_dir"
}

# Ends the wineserver of the run's own prefix (and with it its processes).
e2e_stop_prefix() {
  if [ -n "$prefix" ] && [ -d "$prefix" ]; then
    WINEPREFIX=$prefix "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
    WINEPREFIX=$prefix "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
  fi
}

# The Unix path of a Windows path on drive C of the run's prefix.
e2e_unix_path() {
  local windows=$1
  local rest=${windows#[Cc]:}
  printf '%s/drive_c%s' "$prefix" "${rest//\\//}"
}

# e2e_set_tmp 'C:\folder': makes the folder and sets TMP for the user's Windows
# processes (a REG_SZ value, so the text reaches the process unchanged). Wine
# takes TMP from the registry, never from the Unix environment. The first Wine
# process of the run starts the prefix's wineserver, with every stream detached.
e2e_set_tmp() {
  tmp_windows=$1
  tmp_dir=$(e2e_unix_path "$tmp_windows")
  mkdir -p "$tmp_dir"
  "$WINE" reg add 'HKCU\Environment' /v TMP /t REG_SZ /d "$tmp_windows" /f \
    </dev/null >"$run_dir/reg.out" 2>&1
}

# e2e_package DIR FILE PRODUCT UPGRADE VERSION KEY_FILE KEY_VERSION NAME
e2e_package() {
  local dir=$1 file=$2
  shift 2
  sh "$E2E_MAKE_PACKAGE" "$dir/$file" "$@" >"$run_dir/make_package.out" 2>&1 || {
    cat "$run_dir/make_package.out"
    return 1
  }
}

# e2e_install_directly FILE: installs a staged package with msiexec, to give a
# scenario its installed state before the setup runs.
e2e_install_directly() {
  timeout "$E2E_STEP_TIMEOUT" "$WINE" msiexec /i "C:\\mivo-stage\\$1" /qn \
    </dev/null >"$run_dir/msiexec.out" 2>&1
}

# e2e_run_setup LOCALE [ARGUMENTS]: runs the setup executable from the setup
# folder with the user locale of LOCALE (a Unix locale name such as
# de_DE.UTF-8, which Wine maps to the user's default LCID), waits until the
# prefix's wineserver has ended, and leaves the exit code in setup_exit. Wine's
# trace of the installer functions goes to setup.trace, and the installer
# calls made by the run, as read by e2e_installer_calls, to setup.calls.
e2e_run_setup() {
  local locale=$1
  shift
  [ -f "$setup_dir/mivoboot.exe" ] || cp "$E2E_SETUP_EXE" "$setup_dir/mivoboot.exe"
  setup_exit=0
  timeout "$E2E_STEP_TIMEOUT" env LC_ALL="$locale" WINEDEBUG=-all,trace+msi \
    "$WINE" "$setup_windows\\mivoboot.exe" "$@" \
    </dev/null >"$run_dir/setup.out" 2>"$run_dir/setup.trace" || setup_exit=$?
  # A run that hangs (a dialog, say) leaves processes behind that would keep
  # the wineserver alive.
  [ "$setup_exit" -ne 124 ] || "$WINESERVER" -k </dev/null >/dev/null 2>&1
  "$WINESERVER" -w </dev/null >/dev/null 2>&1
  e2e_installer_calls "$run_dir/setup.trace" >"$run_dir/setup.calls"
}

# e2e_installer_calls TRACE: the calls of the installer functions that change
# something, in order, one per line, from Wine's msi trace:
#   ui:silent              MsiSetInternalUI, level 258 and no window
#   log:PATH               MsiEnableLogW, verbose mode 0x1000, attributes 0
#   remove:CODE            MsiConfigureProductExW, default level, state absent,
#                          "REMOVE=ALL REBOOT=ReallySuppress ZOLT_SETUP_EXE=1"
#   log:none               MsiEnableLogW turning the log off (mode 0, no file)
#   install:PATH           MsiInstallProductW with "REBOOT=ReallySuppress"
# A call with other arguments gives NAME:?ARGUMENTS, which no check expects.
# The trace writes texts as C literals, with \XXXX for a unit outside ASCII;
# they are decoded to UTF-8.
e2e_installer_calls() {
  local line name arguments
  local remove='L"REMOVE=ALL REBOOT=ReallySuppress ZOLT_SETUP_EXE=1"'
  tr -d '\r' <"$1" |
    { grep -E ':trace:msi:(MsiSetInternalUI|MsiEnableLogW|MsiConfigureProductExW|MsiInstallProductW) ' || true; } |
    sed -e 's/^.*:trace:msi://' |
    perl -CS -pe 's/\\(\\|"|n|r|t|[0-9a-fA-F]{4})/$unescape{$1} \/\/ chr(hex($1))/ge;
      BEGIN { %unescape = ("\\" => "\\", "\"" => "\"", n => "\n", r => "\r", t => "\t") }' |
    while IFS= read -r line; do
      name=${line%% *}
      arguments=${line#* }
      case $name in
        MsiSetInternalUI)
          if [[ $arguments =~ ^0*102\ 0+$ ]]; then echo ui:silent; else echo "ui:?$arguments"; fi
          ;;
        MsiEnableLogW)
          if [[ $arguments =~ ^0x1000,\ L\"(.*)\",\ 0$ ]]; then
            echo "log:${BASH_REMATCH[1]}"
          elif [[ $arguments =~ ^0(x0)?,\ \(null\),\ 0$ ]]; then
            echo log:none
          else
            echo "log:?$arguments"
          fi
          ;;
        MsiConfigureProductExW)
          if [[ $arguments =~ ^L\"([^\"]*)\"\ 0\ 2\ (.*)$ ]] && [ "${BASH_REMATCH[2]}" = "$remove" ]; then
            echo "remove:${BASH_REMATCH[1]}"
          else
            echo "remove:?$arguments"
          fi
          ;;
        MsiInstallProductW)
          if [[ $arguments =~ ^L\"(.*)\"\ L\"REBOOT=ReallySuppress\"$ ]]; then
            echo "install:${BASH_REMATCH[1]}"
          else
            echo "install:?$arguments"
          fi
          ;;
      esac
    done
}

# e2e_probe PRODUCT_CODE...: one probe line per product into a new file, whose
# name is left in probe_file.
e2e_probe() {
  probe_count=$((probe_count + 1))
  probe_file=$run_dir/probe-$probe_count.txt
  "$WINE" "$E2E_PROBE" "$@" </dev/null >"$probe_file" 2>"$probe_file.err" && return 0
  # Seldom, under load, Wine ends the probe before it prints anything; a probe
  # that answered nothing at all is asked once more.
  [ ! -s "$probe_file" ] || return 1
  echo "probe answered nothing; asked again" >>"$probe_file.err"
  "$WINE" "$E2E_PROBE" "$@" </dev/null >"$probe_file" 2>>"$probe_file.err"
}

# e2e_field PROBE_FILE PRODUCT_CODE FIELD: one value of a probe line.
e2e_field() {
  local line
  line=$(grep -F "product=$2 " "$1" | tr -d '\r') || return 1
  case $3 in
    package) printf '%s' "${line#* package=}" ;;
    *) printf '%s' "$line" | sed -n "s/.* $3=\([^ ]*\) .*/\1/p" ;;
  esac
}

# The Unix path of a product's cached package, from a probe file.
e2e_cached_package() {
  local package
  package=$(e2e_field "$1" "$2" package)
  [ -n "$package" ] && e2e_unix_path "$package"
}

# The probe's answers go through a file, not a pipe: Wine's service processes,
# when this starts them, would hold a pipe open for as long as they run.

# e2e_env_value NAME: the value of NAME as a Windows process of the prefix sees it.
e2e_env_value() {
  "$WINE" "$E2E_PROBE" --env "$1" </dev/null >"$run_dir/probe-env.out" 2>/dev/null
  tr -d '\r' <"$run_dir/probe-env.out" | sed -n "s/^$1=//p"
}

# e2e_user_lcid LOCALE: the user's default LCID that a Windows process gets
# under the Unix locale LOCALE.
e2e_user_lcid() {
  env LC_ALL="$1" "$WINE" "$E2E_PROBE" --lcid </dev/null >"$run_dir/probe-lcid.out" 2>/dev/null
  tr -d '\r' <"$run_dir/probe-lcid.out" | sed -n 's/^lcid=//p'
}

# e2e_record FILE: the lines of a run record without their time stamp and
# process id; a line that does not begin "YYYY-MM-DD hh:mm:ssZ [PID] " or does
# not end in CRLF is printed whole with "!" before it.
e2e_record() {
  [ -f "$1" ] || return 0
  perl -ne 'if (s/^\d{4}-\d\d-\d\d \d\d:\d\d:\d\dZ \[\d+\] (.*)\r\n\z/$1\n/) { print } else { s/\r?\n\z//; print "!$_\n" }' "$1"
}

# True when a verbose installer log shows that files were installed. The
# action lines are in the user's language ("Action start 6:09:26:
# InstallFiles.", "Beginn der Aktion 06:13:55: InstallFiles."), the action
# names are not.
e2e_log_shows_install() {
  [ -f "$1" ] && grep -aq ': InstallFiles\.' "$1"
}

# True when a verbose installer log shows a removal: the session's REMOVE
# property set to ALL.
e2e_log_shows_removal() {
  [ -f "$1" ] && grep -aq 'REMOVE = ALL' "$1"
}

# True when a verbose installer log shows that the product was absent when the
# installation began (after a removal, or on a first installation).
e2e_log_shows_fresh_install() {
  [ -f "$1" ] && grep -aq 'ProductState = -1' "$1"
}

# e2e_run_with_result LOCALE COMMANDS: runs, in the setup folder and under the
# user locale of LOCALE, the command line that a deployment tool is given,
#   cmd /c "COMMANDS"
# e.g. COMMANDS 'mivoboot.exe & mivocheck.exe --result', through Wine's own
# cmd, started and waited for by the probe as a tool starts it. mivoboot.exe
# and mivocheck.exe lie in the setup folder. Leaves cmd's whole exit code in
# result_exit (empty when the probe did not report one) and what the commands
# printed in result_out.
e2e_run_with_result() {
  local locale=$1 commands=$2
  [ -f "$setup_dir/mivoboot.exe" ] || cp "$E2E_SETUP_EXE" "$setup_dir/mivoboot.exe"
  cp "$E2E_MIVOCHECK" "$setup_dir/mivocheck.exe"
  timeout "$E2E_STEP_TIMEOUT" env LC_ALL="$locale" "$WINE" "$E2E_PROBE" --run "$setup_windows" \
    "cmd /c \"$commands\"" </dev/null >"$run_dir/result.out" 2>"$run_dir/result.err"
  "$WINESERVER" -w </dev/null >/dev/null 2>&1
  result_exit=$(tr -d '\r' <"$run_dir/result.out" | sed -n 's/^exit=//p')
  result_out=$(tr -d '\r' <"$run_dir/result.out" | grep -v '^exit=') || true
}

# add_schedule_reboot PACKAGE: a ScheduleReboot action late in the package's
# InstallExecuteSequence, so that its installation asks for a restart. Nothing
# in the package suppresses it: silent and without REBOOT=ReallySuppress on the
# command line, Windows would restart the machine (Windows Installer
# documentation: "ScheduleReboot Action", "REBOOT property"), so the program's
# own property text is what keeps the machine running.
add_schedule_reboot() {
  msibuild "$1" -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('ScheduleReboot', 6650)" \
    >"$run_dir/msibuild.out" 2>&1
}
