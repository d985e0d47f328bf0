#!/bin/sh
# Prints the mirror from which this machine's apt takes its release's own suite
# (the suite named by VERSION_CODENAME in /etc/os-release): the first URI of the
# first source that lists that suite, read from the deb822 files
# (sources.list.d/*.sources) and from the one-line lists (sources.list,
# sources.list.d/*.list). Exits 1 when no source lists it.
#
#   apt-mirror.sh [SUITE]
set -eu
# shellcheck disable=SC1091
suite=${1:-$(. /etc/os-release && echo "$VERSION_CODENAME")}
[ -n "$suite" ] || { echo "apt-mirror.sh: no release code name in /etc/os-release" >&2; exit 1; }
apt=${APT_ETC:-/etc/apt}

mirror=$(
  for file in "$apt"/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    # One paragraph per source; fields are "Name: value", a disabled source
    # says "Enabled: no".
    awk -v suite="$suite" '
      function flush() {
        if (uris != "" && enabled && (" " suites " ") ~ (" " suite " ")) { print uris; found = 1; exit }
        uris = ""; suites = ""; enabled = 1
      }
      BEGIN { enabled = 1 }
      /^#/ { next }
      /^[ \t]*$/ { flush(); next }
      tolower($1) == "uris:" { uris = $2 }
      tolower($1) == "suites:" { $1 = ""; suites = $0 }
      tolower($1) == "enabled:" && tolower($2) == "no" { enabled = 0 }
      END { if (!found) flush() }' "$file"
  done
  for file in "$apt"/sources.list "$apt"/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    # deb [options] URI SUITE COMPONENTS...
    sed -e 's/\[[^]]*\]//' "$file" |
      awk -v suite="$suite" '$1 == "deb" && $3 == suite { print $2; exit }'
  done
)
mirror=$(printf '%s\n' "$mirror" | sed -n '/./{p;q}')
if [ -z "$mirror" ]; then
  echo "apt-mirror.sh: no apt source of this machine lists the suite $suite" >&2
  exit 1
fi
printf '%s\n' "${mirror%/}"
