#!/bin/sh
# Builds the packages of the Windows test kit:
#
#   make_kit_packages.sh MAKE_PACKAGE OUT_DIR
#
# Product and upgrade codes come from a GUID family of the kit's own,
# {B5E2D1A0-4C3F-4E6B-8A7D-............} for product codes and
# {B5E2D1A0-4C3F-4E6B-9A7D-............} for upgrade codes; mivo-e2e.exe knows
# the same codes (tests/kit/scenarios.cc). For the core package (role "core",
# key file KELD.DLL) and each language pack (role "pack<LCID>", KELDINTL.DLL,
# the twelve supported LCIDs and the unsupported 1049):
#
#   <role>-v1.msi    version 1.0.0, key file 1.0.0.0
#   <role>-v1k.msi   version 1.0.0, key file 1.0.0.5 (rebuilt with a newer key file)
#   <role>-v1r.msi   version 1.0.0, key file 1.0.0.0, ScheduleReboot at the end of
#                    its execute sequence (core only)
#   <role>-v1f.msi   version 1.0.0, key file 1.0.0.0, ForceReboot just before
#                    InstallFinalize (core only)
#   <role>-v701.msi  version 7.01,  key file 1.0.0.0
#   <role>-v71.msi   version 7.1,   key file 1.0.0.0 (core only)
#   <role>-v71k.msi  version 7.1,   key file 1.0.0.7 (packs only)
#
# (pack1049 has v1 only), and:
#
#   related.msi  another product code under the core's upgrade code, 1.0.0,
#                key file KELD.DLL 9.0.0.0
#   busy.msi     a product whose deferred custom action runs the program named
#                by the property KITEXE with "--hold [HOLDFILE]" on installation
#   tiny.msi     a product that the kit installs to see whether the installer
#                is busy
#   garbage.msi  text, not a package
set -eu
make_package=$1 out=$2
mkdir -p "$out"

product_of() { printf '{B5E2D1A0-4C3F-4E6B-8A7D-%s}' "$1"; }
upgrade_of() { printf '{B5E2D1A0-4C3F-4E6B-9A7D-%s}' "$1"; }

# build FILE ID UPGRADE_ID VERSION KEY_FILE KEY_VERSION NAME
build() {
  sh "$make_package" "$out/$1" "$(product_of "$2")" "$(upgrade_of "$3")" "$4" "$5" "$6" "$7"
}

build core-v1.msi 000000000000 000000000000 1.0.0 KELD.DLL 1.0.0.0 core
build core-v1k.msi 000000000000 000000000000 1.0.0 KELD.DLL 1.0.0.5 core
build core-v701.msi 000000000000 000000000000 7.01 KELD.DLL 1.0.0.0 core
build core-v71.msi 000000000000 000000000000 7.1 KELD.DLL 1.0.0.0 core
for lcid in 1028 1031 1033 1036 1040 1041 1042 1043 1046 1053 2052 3082; do
  id=00000000$lcid
  build "pack$lcid-v1.msi" "$id" "$id" 1.0.0 KELDINTL.DLL 1.0.0.0 "pack$lcid"
  build "pack$lcid-v1k.msi" "$id" "$id" 1.0.0 KELDINTL.DLL 1.0.0.5 "pack$lcid"
  build "pack$lcid-v701.msi" "$id" "$id" 7.01 KELDINTL.DLL 1.0.0.0 "pack$lcid"
  build "pack$lcid-v71k.msi" "$id" "$id" 7.1 KELDINTL.DLL 1.0.0.7 "pack$lcid"
done
build pack1049-v1.msi 000000001049 000000001049 1.0.0 KELDINTL.DLL 1.0.0.0 pack1049

build related.msi 0000000A0001 000000000000 1.0.0 KELD.DLL 9.0.0.0 related
build tiny.msi 0000000B0002 0000000B0002 1.0.0 KELD.DLL 1.0.0.0 tiny

# Custom action type 50 (an executable named by a property) + 1024 (deferred):
# it runs inside the installation script, while the installer holds its
# installation lock. Not on removal, so that the kit's cleanup never waits.
build busy.msi 0000000B0001 0000000B0001 1.0.0 KELD.DLL 1.0.0.0 busy
msibuild "$out/busy.msi" -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('HoldInstaller', 1074, 'KITEXE', '--hold \"[HOLDFILE]\"')"
# The two properties come from msiexec's command line; listed as secure, they
# reach the installation script also where the installer passes only those.
msibuild "$out/busy.msi" -q "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('SecureCustomProperties', 'KITEXE;HOLDFILE')"
msibuild "$out/busy.msi" -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('HoldInstaller', 'NOT Installed', 5500)"

# A package that asks for a restart at the end of its installation; silent and
# without REBOOT=ReallySuppress, Windows would restart the machine.
build core-v1r.msi 000000000000 000000000000 1.0.0 KELD.DLL 1.0.0.0 core
msibuild "$out/core-v1r.msi" -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('ScheduleReboot', 6650)"
# A package that restarts the machine in the middle of its installation;
# without REBOOT=ReallySuppress, Windows would restart at once.
build core-v1f.msi 000000000000 000000000000 1.0.0 KELD.DLL 1.0.0.0 core
msibuild "$out/core-v1f.msi" -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('ForceReboot', 6590)"

yes 'not a package database' | head -c 6000 >"$out/garbage.msi"
touch "$out/packages.stamp"
