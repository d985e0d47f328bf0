#!/bin/sh
# Builds the packages of the setup tests:
#
#   make_setup_packages.sh MAKE_PACKAGE OUT_DIR
#
# run/      the package folder of a run: mivo.msi (core, key file KELD.DLL
#           7.1.0.3) and the language packs mivo_1031.msi, mivo_1033.msi and
#           mivo_1036.msi (KELDINTL.DLL 7.1.0.3), each product at version 7.1.0.
# cached/   core_oldkey.msi: the core product at the same version, whose key
#           file is older (7.0.0.1), as an installed product's cached package;
#           mivo_<LCID>_oldkey.msi: the same for each language pack.
# fake/     v1.msi and v2.msi: one product code at versions 1.0.0 and 2.0.0;
#           other.msi: another product with the same upgrade code;
#           not_a_package.msi: a text file; v1_rebuilt.msi: v1's product code
#           and version from another build, so another package code;
#           schedule.msi and force.msi: products whose InstallExecuteSequence
#           holds ScheduleReboot or ForceReboot; machine.msi: a product with
#           ALLUSERS=1, installed per machine.
# reboot/   mivo.msi: the core of run/ with ScheduleReboot; core_oldkey.msi:
#           the cached core package with the older key file and ScheduleReboot;
#           force/mivo.msi: the core of run/ with ForceReboot.
set -eu
make_package=$1 out=$2
guid() { printf '{5E7A0C11-0001-4000-8000-0000000000%s}' "$1"; }
mkdir -p "$out/run" "$out/cached" "$out/fake" "$out/reboot/force"
# add_action PACKAGE ACTION: one more row of the InstallExecuteSequence, just
# before InstallFinalize.
add_action() {
  msibuild "$1" -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('$2', 6590)"
}
sh "$make_package" "$out/run/mivo.msi" "$(guid C1)" "$(guid A1)" 7.1.0 KELD.DLL 7.1.0.3 core
sh "$make_package" "$out/run/mivo_1031.msi" "$(guid C2)" "$(guid A2)" 7.1.0 KELDINTL.DLL 7.1.0.3 lang1031
sh "$make_package" "$out/run/mivo_1033.msi" "$(guid C3)" "$(guid A3)" 7.1.0 KELDINTL.DLL 7.1.0.3 lang1033
sh "$make_package" "$out/run/mivo_1036.msi" "$(guid C4)" "$(guid A4)" 7.1.0 KELDINTL.DLL 7.1.0.3 lang1036
sh "$make_package" "$out/cached/core_oldkey.msi" "$(guid C1)" "$(guid A1)" 7.1.0 KELD.DLL 7.0.0.1 core
sh "$make_package" "$out/cached/mivo_1031_oldkey.msi" "$(guid C2)" "$(guid A2)" 7.1.0 KELDINTL.DLL 7.0.0.1 lang1031
sh "$make_package" "$out/cached/mivo_1033_oldkey.msi" "$(guid C3)" "$(guid A3)" 7.1.0 KELDINTL.DLL 7.0.0.1 lang1033
sh "$make_package" "$out/cached/mivo_1036_oldkey.msi" "$(guid C4)" "$(guid A4)" 7.1.0 KELDINTL.DLL 7.0.0.1 lang1036
sh "$make_package" "$out/fake/v1.msi" "$(guid F1)" "$(guid FA)" 1.0.0 KELD.DLL 1.0.0.0 fake
sh "$make_package" "$out/fake/v2.msi" "$(guid F1)" "$(guid FA)" 2.0.0 KELD.DLL 2.0.0.0 fake
sh "$make_package" "$out/fake/other.msi" "$(guid F2)" "$(guid FA)" 1.0.0 KELD.DLL 1.0.0.0 other
sh "$make_package" "$out/fake/v1_rebuilt.msi" "$(guid F1)" "$(guid FA)" 1.0.0 KELD.DLL 1.0.0.0 fake
sh "$make_package" "$out/fake/schedule.msi" "$(guid F3)" "$(guid FB)" 1.0.0 KELD.DLL 1.0.0.0 schedule
add_action "$out/fake/schedule.msi" ScheduleReboot
sh "$make_package" "$out/fake/force.msi" "$(guid F4)" "$(guid FB)" 1.0.0 KELD.DLL 1.0.0.0 force
add_action "$out/fake/force.msi" ForceReboot
sh "$make_package" "$out/fake/machine.msi" "$(guid F5)" "$(guid FB)" 1.0.0 KELD.DLL 1.0.0.0 machine
msibuild "$out/fake/machine.msi" -q "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('ALLUSERS', '1')"
sh "$make_package" "$out/reboot/mivo.msi" "$(guid C1)" "$(guid A1)" 7.1.0 KELD.DLL 7.1.0.3 core
add_action "$out/reboot/mivo.msi" ScheduleReboot
sh "$make_package" "$out/reboot/core_oldkey.msi" "$(guid C1)" "$(guid A1)" 7.1.0 KELD.DLL 7.0.0.1 core
add_action "$out/reboot/core_oldkey.msi" ScheduleReboot
sh "$make_package" "$out/reboot/force/mivo.msi" "$(guid C1)" "$(guid A1)" 7.1.0 KELD.DLL 7.1.0.3 core
add_action "$out/reboot/force/mivo.msi" ForceReboot
printf 'not a package database\n' >"$out/fake/not_a_package.msi"
touch "$out/packages.stamp"
