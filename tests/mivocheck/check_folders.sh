#!/bin/bash
# Runs mivocheck on release folders built here, one folder per case of the
# table below, and on bad command lines:
#
#   check_folders.sh MIVOCHECK MAKE_PACKAGE WORK [EMULATOR...]
#
# With an emulator (the Windows build under Wine) the program gets Windows
# paths (Z:\...). WORK is emptied first; the folders lie in a subfolder whose
# name has a blank and letters outside ASCII, one of them outside the Western
# code page, so that arguments and listing must carry such names whole.
#
# Each case starts from a correct folder (core package and twelve language
# packs, per user, version 7.1.0, key files at 7.1.0.3):
#   == NAME EXIT       the case and the exit code it expects
#   $ COMMAND          run in the case's folder to break it (helpers below)
#   row PACKAGE ...    a row of the summary table (blanks squeezed)
#   anything else      the finding lines, all of them, in order
set -eEuo pipefail
# A command that fails outside a check stops the script: say which.
trap 'echo "stopped: line $LINENO of ${BASH_SOURCE[0]##*/}: $BASH_COMMAND (exit $?)" >&2' ERR
mivocheck=$1 make_package=$2 work=$3
shift 3
emulator=("$@")
export LC_ALL=C.UTF-8  # Wine converts arguments with the Unix locale's character set

rm -rf "$work"
root="$work/release folders é ω"
mkdir -p "$root/base"

languages="1028 1031 1033 1036 1040 1041 1042 1043 1046 1053 2052 3082"
sh "$make_package" "$root/base/mivo.msi" "{C0DE0000-0000-4000-8000-000000000000}" \
  "{0B6E0000-0000-4000-8000-000000000000}" 7.1.0 KELD.DLL 7.1.0.3 core || exit 1
for l in $languages; do
  sh "$make_package" "$root/base/mivo_$l.msi" "{C0DE$l-0000-4000-8000-00000000$l}" \
    "{0B6E$l-0000-4000-8000-00000000$l}" 7.1.0 KELDINTL.DLL 7.1.0.3 "intl$l" || exit 1
done

# Helpers for the cases' commands.
sql() { f=$1; shift; for q in "$@"; do msibuild "$f" -q "$q" || exit 1; done; }
unprop() { sql "$1" "DELETE FROM \`Property\` WHERE \`Property\`='$2'"; }
prop() {
  unprop "$1" "$2"
  sql "$1" "INSERT INTO \`Property\` (\`Property\`,\`Value\`) VALUES ('$2','$3')"
}

native() {
  if [ ${#emulator[@]} -gt 0 ]; then printf 'Z:%s' "${1//\//\\}"; else printf '%s' "$1"; fi
}
run() { "${emulator[@]}" "$mivocheck" "$@"; }

failures=0 checks=0
fail() { printf 'FAIL: %s\n' "$*"; failures=$((failures + 1)); }

# check NAME EXIT EXPECTED: runs the case's folder and compares.
check() {
  local name=$1 code=$2 expected=$3 before=$failures out rc line want findings rows
  checks=$((checks + 1))
  rc=0
  out=$(run "$(native "$root/$name")") || rc=$?
  [ "$rc" = "$code" ] || fail "$name: exit code $rc, expected $code"
  findings=$(printf '%s\n' "$out" | grep -E '^(error|warning): ') || true
  want=$(printf '%s' "$expected" | grep -v '^row ') || true
  [ "$findings" = "$want" ] ||
    fail "$name: findings differ"$'\n'"--- expected"$'\n'"$want"$'\n'"--- got"$'\n'"$findings"
  rows=$(printf '%s\n' "$out" | tr -s ' ')
  while IFS= read -r line; do
    [ -n "$line" ] || continue
    grep -qxF -- "${line#row }" <<<"$rows" || fail "$name: no summary row '${line#row }'"
  done < <(printf '%s\n' "$expected" | grep '^row ')
  [ "$failures" != "$before" ] || printf 'PASS: %s\n' "$name"
}

# Builds every case's folder first, then runs the checks.
declare -a names codes expects
current=-1
while IFS= read -r line; do
  case $line in
    '== '*)
      set -- $line
      current=$((current + 1)) names[current]=$2 codes[current]=$3 expects[current]=
      cp -r "$root/base" "$root/$2" ;;
    '$ '*) (cd "$root/${names[current]}" && eval "${line#\$ }") || fail "setup: $line" ;;
    '') ;;
    *) expects[current]+="$line"$'\n' ;;
  esac
done <<'CASES'
== good 0
row mivo.msi {C0DE0000-0000-4000-8000-000000000000} 7.1.0 KELD.DLL 7.1.0.3
row mivo_3082.msi {C0DE3082-0000-4000-8000-000000003082} 7.1.0 KELDINTL.DLL 7.1.0.3

== names_without_case 0
$ mv mivo.msi MIVO.Msi && mv mivo_1031.msi MIVO_1031.MSI
row MIVO.Msi {C0DE0000-0000-4000-8000-000000000000} 7.1.0 KELD.DLL 7.1.0.3
row MIVO_1031.MSI {C0DE1031-0000-4000-8000-000000001031} 7.1.0 KELDINTL.DLL 7.1.0.3

== core_missing 1
$ rm mivo.msi
error: mivo.msi: the core package is missing

== core_unreadable 1
$ echo 'not a package' >mivo.msi
error: mivo.msi: cannot be opened as a package (installer result 1627)
row mivo.msi - - KELD.DLL -

== unplanned_names 1
$ cp mivo_1031.msi mivo_1099.msi && cp mivo_1031.msi MIVO_01031.msi && cp mivo_1031.msi mivo_.msi
$ cp mivo_1031.msi MIVO_1036.msi && mkdir mivo_1234.msi && cp mivo_1031.msi mivo_1031.msi.bak
$ cp mivo_1031.msi mivo_ω.msi
error: MIVO_01031.msi: not a supported language pack name, so the setup never installs it
error: mivo_.msi: not a supported language pack name, so the setup never installs it
error: mivo_1036.msi: differs from MIVO_1036.msi in case only; on Windows one replaces it
error: mivo_1099.msi: not a supported language pack name, so the setup never installs it
error: mivo_ω.msi: not a supported language pack name, so the setup never installs it
error: MIVO_1036.msi: ProductCode {C0DE1031-0000-4000-8000-000000001031} is also the ProductCode of mivo_1031.msi

== properties_missing 1
$ unprop mivo.msi ProductCode && unprop mivo_1031.msi UpgradeCode
$ unprop mivo_1036.msi ProductVersion
error: mivo.msi: no ProductCode in the Property table
error: mivo_1031.msi: no UpgradeCode in the Property table
error: mivo_1036.msi: no ProductVersion in the Property table
row mivo.msi - 7.1.0 KELD.DLL 7.1.0.3

== product_code_form 1
$ prop mivo.msi ProductCode '{c0de0000-0000-4000-8000-000000000000}'
$ prop mivo_1031.msi ProductCode 'C0DE1031-0000-4000-8000-000000001031'
$ prop mivo_1033.msi ProductCode '{C0DE1033-0000-4000-8000-00000000103}'
error: mivo.msi: ProductCode {c0de0000-0000-4000-8000-000000000000} is not a braced upper-case GUID
error: mivo_1031.msi: ProductCode C0DE1031-0000-4000-8000-000000001031 is not a braced upper-case GUID
error: mivo_1033.msi: ProductCode {C0DE1033-0000-4000-8000-00000000103} is not a braced upper-case GUID

== product_code_shared 1
$ prop mivo_1031.msi ProductCode '{C0DE0000-0000-4000-8000-000000000000}'
$ prop mivo_3082.msi ProductCode '{c0de0000-0000-4000-8000-000000000000}'
error: mivo_3082.msi: ProductCode {c0de0000-0000-4000-8000-000000000000} is not a braced upper-case GUID
error: mivo_1031.msi: ProductCode {C0DE0000-0000-4000-8000-000000000000} is also the ProductCode of mivo.msi
error: mivo_3082.msi: ProductCode {c0de0000-0000-4000-8000-000000000000} is also the ProductCode of mivo.msi

== key_file_rows 1
$ sql mivo.msi "DELETE FROM \`File\`"
$ sql mivo_1031.msi "UPDATE \`File\` SET \`Version\`='' WHERE \`File\`='KeyFile'"
$ sql mivo_1033.msi "UPDATE \`File\` SET \`FileName\`='KELD.DLL' WHERE \`File\`='KeyFile'"
error: mivo.msi: no key file row KELD.DLL in the File table
error: mivo_1031.msi: the key file row KELDINTL.DLL has no version
error: mivo_1033.msi: no key file row KELDINTL.DLL in the File table
row mivo_1031.msi {C0DE1031-0000-4000-8000-000000001031} 7.1.0 KELDINTL.DLL -

== packs_missing 0
$ rm mivo_1031.msi mivo_3082.msi
warning: mivo_1031.msi: missing; users of language 1031 get no language pack (the setup falls back to 1033 only for unsupported languages)
warning: mivo_3082.msi: missing; users of language 3082 get no language pack (the setup falls back to 1033 only for unsupported languages)

== fallback_missing 0
$ rm mivo_1033.msi
warning: mivo_1033.msi: missing; users of language 1033 and of every unsupported language get no language pack at all

== install_context 1
$ prop mivo.msi ALLUSERS 1 && prop mivo_1031.msi ALLUSERS 2
$ prop mivo_1033.msi ALLUSERS 2 && prop mivo_1033.msi MSIINSTALLPERUSER 1
$ prop mivo_1036.msi ALLUSERS 2 && prop mivo_1036.msi MSIINSTALLPERUSER 0
$ prop mivo_1040.msi ALLUSERS 0 && prop mivo_1041.msi MSIINSTALLPERUSER 1
error: mivo.msi: ALLUSERS=1 installs per machine, which fails for a standard user (1603, no elevation without a user interface); a release meant for elevated deployment says so with a file mivo-elevated.txt
error: mivo_1031.msi: ALLUSERS=2 without MSIINSTALLPERUSER=1 installs per machine, which fails for a standard user (1603, no elevation without a user interface); a release meant for elevated deployment says so with a file mivo-elevated.txt
error: mivo_1036.msi: ALLUSERS=2 without MSIINSTALLPERUSER=1 installs per machine, which fails for a standard user (1603, no elevation without a user interface); a release meant for elevated deployment says so with a file mivo-elevated.txt
error: mivo_1040.msi: ALLUSERS=0 is none of the documented values (empty, 1, 2); the installer may install per machine, which fails for a standard user (1603, no elevation without a user interface); a release meant for elevated deployment says so with a file mivo-elevated.txt

== install_context_elevated 0
$ prop mivo.msi ALLUSERS 1 && prop mivo_1031.msi ALLUSERS 2 && echo "Intune, system context" >MIVO-Elevated.txt
warning: mivo.msi: ALLUSERS=1 installs per machine; mivo-elevated.txt says the release is meant for elevated deployment
warning: mivo_1031.msi: ALLUSERS=2 without MSIINSTALLPERUSER=1 installs per machine; mivo-elevated.txt says the release is meant for elevated deployment

== elevated_but_per_user 0
$ echo "Intune, system context" >mivo-elevated.txt
warning: mivo-elevated.txt: says the release is meant for elevated deployment, but every package installs per user

== version_form 0
$ prop mivo.msi ProductVersion 7.1beta && prop mivo_1031.msi ProductVersion 7
$ prop mivo_1033.msi ProductVersion 7..1 && prop mivo_1036.msi ProductVersion 1.2.3.4
warning: mivo.msi: ProductVersion 7.1beta is not numeric and dotted
warning: mivo_1031.msi: ProductVersion 7 is not numeric and dotted
warning: mivo_1033.msi: ProductVersion 7..1 is not numeric and dotted
CASES

for i in "${!names[@]}"; do check "${names[i]}" "${codes[i]}" "${expects[i]}"; done

# Bad usage: exit code 2, the usage line on stderr, nothing on stdout.
usage() {
  local label=$1 out rc
  shift
  checks=$((checks + 1))
  rc=0
  out=$(run "$@" 2>"$work/usage.err") || rc=$?
  [ "$rc" = 2 ] || fail "usage, $label: exit code $rc, expected 2"
  [ -z "$out" ] || fail "usage, $label: wrote to stdout: $out"
  grep -q '^usage: mivocheck FOLDER' "$work/usage.err" || fail "usage, $label: no usage line"
}
usage "no folder"
usage "two folders" "$(native "$root/good")" "$(native "$root/good")"
usage "a folder that does not exist" "$(native "$root/absent")"
usage "a file" "$(native "$root/good/mivo.msi")"

# --records through the program itself: wide arguments (the file lies under
# the folder whose name is outside ASCII), the output, the exit codes.
records="$root/records"
mkdir -p "$records"
line() { printf '2026-12-08 10:00:00Z [%s] %s\r\n' "$1" "$2"; }
{
  line 7 'start: mivoboot 1.0.0.0, executable "C:\s\mivoboot.exe", arguments "1036", user default LCID 1031, temporary folder "C:\t"'
  line 7 'mivo.msi: plan: core package, package "C:\s\mivo.msi", key file KELD.DLL, log "C:\t\l.log"'
  line 7 'mivo.msi: decision: not installed, so install'
  line 7 'mivo.msi: installation: "C:\s\mivo.msi" (log "C:\t\l.log"): 0 (success)'
  line 7 'end: 1 installed, 0 removed, 0 left alone, 5 ms'
} >"$records/clean é.log"
{
  line 8 'start: mivoboot 1.0.0.0, executable "C:\s\mivoboot.exe", arguments "", user default LCID 1031, temporary folder "C:\t"'
  line 8 'mivo_1031.msi: installation: "C:\s\mivo_1031.msi" (log "C:\t\l.log"): 1603 (ERROR_INSTALL_FAILURE)'
  line 8 'end: 0 installed, 0 removed, 0 left alone, 1 failed, 5 ms'
} >"$records/failed.log"
records_check() {
  local label=$1 code=$2 want=$3 out rc
  shift 3
  checks=$((checks + 1))
  rc=0
  out=$(run --records "$@" 2>"$work/records.err") || rc=$?
  [ "$rc" = "$code" ] || fail "records, $label: exit code $rc, expected $code ($(cat "$work/records.err"))"
  grep -qF -- "$want" <<<"$out" || fail "records, $label: no '$want' in: $out"
}
records_check "a clean record" 0 "mivo.msi  installed" "$(native "$records/clean é.log")"
records_check "a failed call" 1 "installation failed with result 1603 (ERROR_INSTALL_FAILURE)" \
  "$(native "$records/clean é.log")" "$(native "$records/failed.log")"
records_check "CSV" 0 "clean é.log,7,2026-12-08 10:00:00Z" --csv "$(native "$records/clean é.log")"
records_check "a file that cannot be read" 2 "1 run" "$(native "$records/absent.log")" \
  "$(native "$records/clean é.log")"
usage "--records without a file" --records
usage "--records with an unknown option" --records --json "$(native "$records/failed.log")"

printf '%d checks, %d failures\n' "$checks" "$failures"
[ "$failures" = 0 ]
