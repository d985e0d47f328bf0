#!/bin/bash
# A Wine that runs 32-bit Windows programs, in a Debian root of its own built
# from this machine's apt sources. The machine's own Wine may have no 32-bit
# half (wine32 needs i386 libraries of exactly the machine's amd64 versions,
# which the i386 index of a mirror does not always have); the root is built
# from one consistent set of indexes instead.
#
#   wine32-chroot.sh root                   builds the root unless the cache has
#                                           it; prints its folder
#   wine32-chroot.sh run [--bind DIR]... PROGRAM [ARGUMENTS...]
#                                           runs PROGRAM (a path inside the root)
#                                           in the root; "wine" and "wineserver"
#                                           name the mode's Wine loader and server
#
# WINE32_MODE chooses the root:
#   wow64 (default)  amd64 with i386 added: wine64 and wine32, a 64-bit prefix
#                    that runs the 32-bit program through WoW64, as 64-bit
#                    Windows does
#   i386             all i386: a 32-bit prefix, as 32-bit Windows
# The mirror is the one of the machine's own release suite (tools/apt-mirror.sh).
# The root leaves the security suite out: the mirror's i386 index of that suite
# may lag its amd64 one. That is acceptable only because the root is thrown
# away and runs nothing but the programs under test.
#
# Cache: WINE32_CACHE (default /var/cache/mivo-wine32) holds one root per mode
# and package list; a root is reused while its key (this script's settings)
# is unchanged, and a machine without one builds it from nothing (about a
# minute). Builds by concurrent callers wait on a lock.
#
# Mounts: every mount (/proc, /sys, /dev, the locale and time zone data, the
# bound folders) is made in a private mount namespace (unshare -m) of the one
# command, so it ends with the command's last process on every path, failures
# and signals included, and is never seen outside. Each --bind DIR appears at
# the same path inside the root (the build folder, so that the programs and
# Wine prefixes keep their paths); the environment passes through.
set -euo pipefail

mode=${WINE32_MODE:-wow64}
cache=${WINE32_CACHE:-/var/cache/mivo-wine32}
here=$(cd "$(dirname "$0")" && pwd)

die() {
  echo "wine32-chroot.sh: $*" >&2
  exit 1
}

# shellcheck disable=SC1091
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
case $mode in
  wow64)
    arch=amd64
    foreign=i386
    suites="$suite $suite-updates"
    packages="wine wine64 wine32 libwine libwine:i386"
    # The 64-bit loader makes 64-bit prefixes and hands 32-bit programs to
    # the 32-bit one.
    loader=/usr/lib/wine/wine64
    ;;
  i386)
    arch=i386
    foreign=
    suites="$suite $suite-updates"
    packages="wine wine32 libwine"
    loader=/usr/lib/wine/wine
    ;;
  *) die "WINE32_MODE is wow64 or i386, not '$mode'" ;;
esac
key=$(printf '%s\n' 3 "$suite" "$arch" "$foreign" "$suites" "$packages" | sha256sum | cut -c1-12)
root=$cache/$mode-$key/root

# in_namespace ROOT BINDS COMMAND...: COMMAND in a mount namespace of its own
# with /proc, /sys, /dev (and /dev/pts, /dev/shm), the machine's locale and
# time zone data and each folder of BINDS (a list with ':' between folders)
# mounted in ROOT.
in_namespace() {
  local target=$1 binds=$2
  shift 2
  # shellcheck disable=SC2016 # the inner script expands its own arguments
  unshare -m --propagation private -- /bin/sh -eu -c '
    target=$1 binds=$2 workdir=$3
    shift 3
    mount -t proc proc "$target/proc"
    mount --rbind /sys "$target/sys"
    mount --rbind /dev "$target/dev"
    for data in /usr/lib/locale /usr/share/zoneinfo; do
      [ -d "$data" ] || continue
      mkdir -p "$target$data"
      mount --bind "$data" "$target$data"
      mount -o remount,bind,ro "$target$data"
    done
    IFS=:
    for dir in $binds; do
      [ -n "$dir" ] || continue
      mkdir -p "$target$dir"
      mount --bind "$dir" "$target$dir"
    done
    unset IFS
    # The command keeps its working folder where the root has it.
    [ -d "$target$workdir" ] || workdir=/
    exec chroot "$target" /usr/bin/env --chdir="$workdir" "$@"
  ' in_namespace "$target" "$binds" "$PWD" "$@"
}

# build: a new root in a temporary folder beside the cache entry, moved into
# place only when complete; a failed build leaves only the temporary folder,
# which is removed (no mount of it outlives its namespace).
build() {
  command -v debootstrap >/dev/null || die "debootstrap is not installed (tools/install-deps.sh)"
  local mirror new started
  mirror=$("$here/apt-mirror.sh" "$suite") || die "no mirror of $suite in this machine's apt sources"
  started=$(date +%s)
  # What a build that was killed left (it runs under the lock, so no other
  # build is using it).
  rm -rf "$cache/$mode-$key.new."*
  new=$(mktemp -d "$cache/$mode-$key.new.XXXXXX")
  # shellcheck disable=SC2064
  trap "rm -rf '$new'" EXIT
  echo "wine32-chroot.sh: building the $mode root from $mirror ($suites)" >&2
  debootstrap --arch="$arch" --variant=minbase "$suite" "$new/root" "$mirror" >"$new/debootstrap.log" 2>&1 ||
    die "debootstrap failed: $(tail -5 "$new/debootstrap.log")"
  printf 'deb %s %s main\n' "$mirror" "$suites" >"$new/root/etc/apt/sources.list"
  rm -f "$new/root/etc/apt/sources.list.d/"*
  # The machine's own acquire settings (a snapshot mirror may need its Release
  # files read without a validity check).
  local conf
  for conf in /etc/apt/apt.conf.d/*; do
    [ -f "$conf" ] && grep -q '^Acquire::' "$conf" && cp "$conf" "$new/root/etc/apt/apt.conf.d/"
  done
  cp -L /etc/resolv.conf "$new/root/etc/resolv.conf"
  # Services do not start inside the root.
  printf '#!/bin/sh\nexit 101\n' >"$new/root/usr/sbin/policy-rc.d"
  chmod 755 "$new/root/usr/sbin/policy-rc.d"
  local script="export DEBIAN_FRONTEND=noninteractive PATH=/usr/sbin:/usr/bin:/sbin:/bin
    ${foreign:+dpkg --add-architecture $foreign}
    apt-get update -q
    apt-get install -y -q --no-install-recommends $packages
    apt-get clean
    rm -rf /var/lib/apt/lists/*"
  in_namespace "$new/root" "" /bin/sh -ec "$script" >"$new/install.log" 2>&1 ||
    die "installing $packages in the root failed: $(tail -5 "$new/install.log")"
  [ -x "$new/root/usr/bin/wine" ] || die "the root has no /usr/bin/wine"
  mv "$new/root" "$cache/$mode-$key/root"
  rm -rf "$new"
  trap - EXIT
  echo "wine32-chroot.sh: $mode root built in $(($(date +%s) - started)) s: $root" >&2
}

ensure_root() {
  [ -f "$cache/$mode-$key/ready" ] && return 0
  [ "$(id -u)" = 0 ] || die "building the root needs root"
  mkdir -p "$cache/$mode-$key"
  (
    flock 9
    if [ ! -f "$cache/$mode-$key/ready" ]; then
      rm -rf "$root"
      build
      touch "$cache/$mode-$key/ready"
    fi
  ) 9>"$cache/$mode-$key.lock"
}

command=${1:-}
[ $# -gt 0 ] && shift
case $command in
  root)
    ensure_root
    echo "$root"
    ;;
  run)
    binds=
    while [ $# -gt 0 ] && [ "$1" = --bind ]; do
      [ $# -ge 2 ] || die "--bind needs a folder"
      case $2 in /*) ;; *) die "--bind needs an absolute folder, not '$2'" ;; esac
      case $2 in *:*) die "a bound folder may not contain ':' ($2)" ;; esac
      binds=$binds:$2
      shift 2
    done
    [ $# -gt 0 ] || die "run: no program"
    case $1 in
      wine) set -- "$loader" "${@:2}" ;;
      wineserver) set -- /usr/lib/wine/wineserver "${@:2}" ;;
    esac
    ensure_root
    in_namespace "$root" "$binds" "$@"
    ;;
  *)
    die "usage: wine32-chroot.sh root | run [--bind DIR]... PROGRAM [ARGUMENTS...]"
    ;;
esac
