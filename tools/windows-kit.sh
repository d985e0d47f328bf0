#!/bin/sh
# Builds the Windows test kit, build/windows-kit/mivo-windows-kit.zip: the test
# program mivo-e2e.exe, mivoboot.exe, the test packages, the planted msi.dll
# and README.txt. On a Windows machine: unzip it, then run mivo-e2e.exe from a
# normal (not elevated) command prompt.
#
#   tools/windows-kit.sh            the x86_64 kit, build folder build/windows-kit
#   KIT_PRESET=i686 tools/windows-kit.sh
#                                   the 32-bit kit (mivo-e2e.exe and mivoboot.exe
#                                   built for x86, as shipped in
#                                   dist/mivoboot-x86.exe), build folder
#                                   build/windows-kit-x86
#   KIT_BUILD_DIR=DIR tools/windows-kit.sh
#
# On a fresh Debian 12 machine, as root, it first installs the tool chain with
# tools/install-deps.sh; SKIP_INSTALL=1 skips that on a machine that has it.
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
preset=${KIT_PRESET:-windows}
case $preset in
  windows) build_dir=${KIT_BUILD_DIR:-$source_dir/build/windows-kit} ;;
  i686) build_dir=${KIT_BUILD_DIR:-$source_dir/build/windows-kit-x86} ;;
  *) echo "windows-kit.sh: KIT_PRESET is windows or i686, not '$preset'" >&2; exit 2 ;;
esac
if [ "${SKIP_INSTALL:-0}" != 1 ]; then
  "$source_dir/tools/install-deps.sh"
fi
cmake --preset "$preset" -S "$source_dir" -B "$build_dir"
cmake --build "$build_dir" -j2 --target kit_zip
echo "kit: $build_dir/mivo-windows-kit.zip"
