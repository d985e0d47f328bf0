#!/bin/sh
# Builds the package databases that the msiutil tests read:
#
#   make_test_packages.sh MAKE_PACKAGE OUT_DIR
#
# real.msi   a per-user package as the product ships it (key file KELD.DLL with
#            version 7.1.0.3), plus the properties Long1023 and Long1024 whose
#            values have exactly 1023 and 1024 characters.
# tables.msi a database made with msibuild alone, with table definitions that a
#            package build tool would not produce: a `Property` table whose
#            `Value` may be null, a `Settings` table in which one property name
#            occurs twice, and a `File` table whose `Sequence` may be null.
set -eu
make_package=$1 out=$2
q() { printf '%s' "$1" | sed 's/"/`/g'; }
long() { head -c "$1" /dev/zero | tr '\0' "$2"; }

sh "$make_package" "$out/real.msi.tmp" "{6D1C6B0A-3E1F-4C61-9A53-5A0C2B1E7F01}" \
  "{0B4E8C55-7D2A-4F3E-8E61-2C9A3D5B6E02}" 2.5.1 KELD.DLL 7.1.0.3 real
msibuild "$out/real.msi.tmp" \
  -q "$(q "INSERT INTO \"Property\" (\"Property\",\"Value\") VALUES ('Long1023','$(long 1023 a)')")" \
  -q "$(q "INSERT INTO \"Property\" (\"Property\",\"Value\") VALUES ('Long1024','$(long 1024 b)')")"
mv "$out/real.msi.tmp" "$out/real.msi"

t=$out/tables.msi.tmp
rm -f "$t"
file_row() {
  # File, Component_, FileName, FileSize, Version, Language, Attributes, Sequence
  printf "INSERT INTO \"File\" (\"File\",\"Component_\",\"FileName\",\"FileSize\"%s) VALUES ('%s','Main','%s',%s%s)" "$1" "$2" "$3" "$4" "$5"
}
msibuild "$t" \
  -q "$(q 'CREATE TABLE "Property" ("Property" CHAR(72) NOT NULL, "Value" LONGCHAR LOCALIZABLE PRIMARY KEY "Property")')" \
  -q "$(q "INSERT INTO \"Property\" (\"Property\",\"Value\") VALUES ('ProductCode','{TABLES}')")" \
  -q "$(q "INSERT INTO \"Property\" (\"Property\") VALUES ('EmptyValue')")" \
  -q "$(q 'CREATE TABLE "Settings" ("Order" SHORT NOT NULL, "Property" CHAR(72) NOT NULL, "Value" CHAR(0) PRIMARY KEY "Order")')" \
  -q "$(q "INSERT INTO \"Settings\" (\"Order\",\"Property\",\"Value\") VALUES (1,'Twice','first')")" \
  -q "$(q "INSERT INTO \"Settings\" (\"Order\",\"Property\",\"Value\") VALUES (2,'Twice','second')")" \
  -q "$(q 'CREATE TABLE "File" ("File" CHAR(72) NOT NULL, "Component_" CHAR(72) NOT NULL, "FileName" CHAR(255) NOT NULL LOCALIZABLE, "FileSize" LONG NOT NULL, "Version" CHAR(72), "Language" CHAR(20), "Attributes" SHORT, "Sequence" LONG PRIMARY KEY "File")')" \
  -q "$(q "$(file_row ',"Version","Language","Attributes","Sequence"' full FULL.DLL 1024 ",'1.2.3','1033',512,5")")" \
  -q "$(q "$(file_row ',"Attributes","Sequence"' nover NOVER.DLL 10 ',0,1')")" \
  -q "$(q "$(file_row ',"Version","Sequence"' noattr NOATTR.DLL 20 ",'1.0',2")")" \
  -q "$(q "$(file_row ',"Version","Attributes"' noseq NOSEQ.DLL 30 ",'2.0',0")")" \
  -q "$(q "$(file_row ',"Version","Sequence"' twice1 TWICE.DLL 40 ",'3.0',3")")" \
  -q "$(q "$(file_row ',"Version","Sequence"' twice2 TWICE.DLL 41 ",'3.1',4")")" \
  -q "$(q "$(file_row ',"Version","Sequence"' big BIG.DLL 123456 ",'4.0',6")")"
mv "$t" "$out/tables.msi"
