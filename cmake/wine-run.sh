#!/bin/sh
# Runs a Windows program under Wine in the given prefix:
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
# The prefix is made on first use. A persistent wineserver and the prefix's
# helper processes are started with every stream detached, so that they do not
# hold the caller's output pipes open (ctest would otherwise wait seconds for
# each test). Programs exit with their own exit code.
set -eu
prefix=$1
shift
case $prefix in /*) ;; *) prefix=$PWD/$prefix ;; esac  # Wine needs an absolute prefix
WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}
export WINEPREFIX="$prefix" WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
mkdir -p "$prefix"
(
  flock 9
  if [ ! -f "$prefix/.ready" ]; then
    "$WINE" wineboot --init </dev/null >/dev/null 2>&1 9>&-
    touch "$prefix/.ready"
  fi
  "$WINESERVER" -p </dev/null >/dev/null 2>&1 9>&- || true
  # The prefix's service processes (services.exe, rpcss, plugplay, ...) start
  # with the first program of a new server; start them here, detached.
  "$WINE" wineboot </dev/null >/dev/null 2>&1 9>&- || true
) 9>"$prefix.lock"
exec "$WINE" "$@"
