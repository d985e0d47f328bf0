#!/bin/sh
# Zips the Windows test kit:
#
#   make_kit_zip.sh ZIP STAGE MIVO_E2E_EXE MIVOBOOT_EXE PACKAGE_DIR PLANTED_DLL README
#                   MIVOCHECK_EXE
#
# The zip holds one folder, mivo-windows-kit, with mivo-e2e.exe, mivoboot.exe,
# mivocheck.exe, packages\*.msi, planted\msi.dll and README.txt (CRLF line
# ends). STAGE is a scratch folder for the files.
set -eu
zip=$1 stage=$2 e2e=$3 boot=$4 packages=$5 planted=$6 readme=$7 check=$8
rm -rf "$stage"
kit=$stage/mivo-windows-kit
mkdir -p "$kit/packages" "$kit/planted"
cp "$e2e" "$kit/mivo-e2e.exe"
cp "$boot" "$kit/mivoboot.exe"
cp "$check" "$kit/mivocheck.exe"
cp "$packages"/*.msi "$kit/packages/"
cp "$planted" "$kit/planted/msi.dll"
sed 's/\r*$/\r/' "$readme" >"$kit/README.txt"
rm -f "$zip.part"
(cd "$stage" && zip -q -r -X "$zip.part" mivo-windows-kit)
mv -f "$zip.part" "$zip"
