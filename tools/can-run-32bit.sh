#!/bin/sh
# Does this machine execute 32-bit x86 programs? Some machines of one kind do
# and others do not (a kernel or virtual machine without IA32 execution gives
# "Exec format error"), and no Wine can run a 32-bit Windows program there.
#
#   can-run-32bit.sh                   exit 0 when it does; else prints why
#                                      not and exits 1
#   can-run-32bit.sh --or-skip CMD...  runs CMD when it does; else prints
#                                      "32-bit run-time tests not run: <why>"
#                                      and exits 77, the code that ctest counts
#                                      as skipped for the tests that set it
#
# The probe runs two static programs of a few bytes that only exit with 42:
# an x86-64 one, the control (a folder that allows no execution fails it, and
# the probe then says so and exits 2, since it proves nothing), and an i386
# one. Each runs under a 10 s time-out, so the probe never hangs; it takes
# milliseconds.
#
# MIVO_ASSUME_NO_32BIT=1 makes the probe answer "no" after it has run, so that
# the path of a machine that cannot run them is tried on one that can. CI
# never sets it.
set -eu

# ELF images: file header, one loadable program header, then the code
# (mov eax, exit; mov ebx/edi, 42; the system call).
i386_image='\177ELF\001\001\001\000\000\000\000\000\000\000\000\000'\
'\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000'\
'\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000'\
'\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010'\
'\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000'\
'\270\001\000\000\000\273\052\000\000\000\315\200'
amd64_image='\177ELF\002\001\001\000\000\000\000\000\000\000\000\000'\
'\002\000\076\000\001\000\000\000\170\000\100\000\000\000\000\000'\
'\100\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000'\
'\000\000\000\000\100\000\070\000\001\000\000\000\000\000\000\000'\
'\001\000\000\000\005\000\000\000\000\000\000\000\000\000\000\000'\
'\000\000\100\000\000\000\000\000\000\000\100\000\000\000\000\000'\
'\204\000\000\000\000\000\000\000\204\000\000\000\000\000\000\000'\
'\000\020\000\000\000\000\000\000'\
'\270\074\000\000\000\277\052\000\000\000\017\005'

# run_image NAME IMAGE: runs the image; prints its exit code, or the
# system's reason when it could not be started. execv, not a shell or
# execvp: those run a file the kernel refuses as a shell script instead.
run_image() {
  # shellcheck disable=SC2059 # the image is the format: its escapes are the bytes
  printf "$2" >"$work/$1"
  chmod 700 "$work/$1"
  status=0
  timeout 10 "$python" -c '
import os, sys
try:
    os.execv(sys.argv[1], sys.argv[1:])
except OSError as error:
    print(error.strerror)
    sys.exit(126)
' "$work/$1" >"$work/$1.out" 2>&1 || status=$?
  case $status in
    126) cat "$work/$1.out" ;;
    124) echo "timed out after 10 s" ;;
    *) echo "$status" ;;
  esac
}

# The system's interpreter: a per-user shim in PATH may take half a second.
python=/usr/bin/python3
[ -x "$python" ] || python=python3

probe() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/can-run-32bit.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  control=$(run_image amd64 "$amd64_image")
  if [ "$control" != 42 ]; then
    echo "can-run-32bit.sh: the x86-64 control program did not run in $work ($control): the probe proves nothing" >&2
    exit 2
  fi
  answer=$(run_image i386 "$i386_image")
  rm -rf "$work"
  trap - EXIT
  if [ "$answer" != 42 ]; then
    why="this machine does not execute 32-bit programs ($answer)"
    return 1
  fi
  if [ "${MIVO_ASSUME_NO_32BIT:-0}" = 1 ]; then
    why="MIVO_ASSUME_NO_32BIT=1 says to treat this machine as one that does not execute 32-bit programs (it does)"
    return 1
  fi
  return 0
}

case ${1:-} in
  "")
    if probe; then
      echo "this machine executes 32-bit programs"
      exit 0
    fi
    echo "$why"
    exit 1
    ;;
  --or-skip)
    shift
    [ $# -gt 0 ] || {
      echo "can-run-32bit.sh: --or-skip needs a command" >&2
      exit 2
    }
    if probe; then
      exec "$@"
    fi
    echo "32-bit run-time tests not run: $why"
    exit 77
    ;;
  *)
    echo "usage: can-run-32bit.sh [--or-skip COMMAND...]" >&2
    exit 2
    ;;
esac
