#!/bin/sh
# Builds the packages of the inspection tests into OUTDIR:
#   make_inspect_packages.sh MAKE_PACKAGE OUTDIR
# Core product {C0DE0001-...}, upgrade code {0B6E0001-...}, version 7.1, key
# file KELD.DLL at 2.0.0.0; its cached copies differ in the key file version.
set -eu
make_package=$1 out=$2
mkdir -p "$out/run"
core='{C0DE0001-0000-4000-8000-000000000001}'
upgrade='{0B6E0001-0000-4000-8000-000000000001}'
pack='{C0DE0002-0000-4000-8000-000000000002}'
pack_upgrade='{0B6E0002-0000-4000-8000-000000000002}'
"$make_package" "$out/package.msi" "$core" "$upgrade" 7.1 KELD.DLL 2.0.0.0 core
"$make_package" "$out/cached_older.msi" "$core" "$upgrade" 7.1 KELD.DLL 1.9.9.9 core
"$make_package" "$out/cached_equal.msi" "$core" "$upgrade" 7.1 KELD.DLL 2.0.0.0 core
"$make_package" "$out/cached_newer.msi" "$core" "$upgrade" 7.1 KELD.DLL 2.0.0.10 core
"$make_package" "$out/cached_other_key.msi" "$core" "$upgrade" 7.1 OTHER.DLL 2.0.0.0 core
"$make_package" "$out/package_no_key_version.msi" "$core" "$upgrade" 7.1 KELD.DLL "" core
# A folder as the run sees it: the core package and the 1033 language pack.
cp "$out/package.msi" "$out/run/mivo.msi"
"$make_package" "$out/run/mivo_1033.msi" "$pack" "$pack_upgrade" 7.1 KELDINTL.DLL 2.0.0.0 intl1033
"$make_package" "$out/pack_cached_older.msi" "$pack" "$pack_upgrade" 7.1 KELDINTL.DLL 1.0 intl1033
printf 'not a package\n' >"$out/corrupt.msi"
touch "$out/stamp"
