#!/bin/sh
# Builds one per-user Windows Installer package with wixl, for tests and the
# sample run. Its key file goes to %LOCALAPPDATA%\Mivo\<name> and a registry
# value under HKCU\Software\Mivo marks the product.
#
#   make_package.sh OUT.msi PRODUCT_CODE UPGRADE_CODE VERSION KEY_FILE [KEY_VERSION] [NAME]
#
# PRODUCT_CODE and UPGRADE_CODE are GUIDs in braces; KEY_FILE is the key file's
# name (KELD.DLL or KELDINTL.DLL); KEY_VERSION, when given and not empty, is
# written to the key file's Version column with msibuild; NAME (default: the
# output's base name) names the product and its install folder.
set -eu
out=$1 product=$2 upgrade=$3 version=$4 keyfile=$5
keyversion=${6:-}
name=${7:-$(basename "$out" .msi)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A component GUID derived from the product code keeps packages of different
# products apart and one product's builds alike.
component=$(printf '%s' "$product" | md5sum | sed -E 's/^(.{8})(.{4})(.{4})(.{4})(.{12}).*/{\1-\2-\3-\4-\5}/' | tr a-f A-F)
printf 'key file of %s %s\n' "$name" "$version" >"$work/key.bin"
cat >"$work/p.wxs" <<WXS
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="$product" Name="Mivo $name" Language="1033" Version="$version"
           Manufacturer="Mivo" UpgradeCode="$upgrade">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perUser" />
    <Media Id="1" Cabinet="p.cab" EmbedCab="yes" />
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="LocalAppDataFolder">
        <Directory Id="MivoDir" Name="Mivo">
          <Directory Id="INSTALLDIR" Name="$name">
            <Component Id="Main" Guid="$component">
              <File Id="KeyFile" Name="$keyfile" Source="key.bin" KeyPath="yes" />
              <RegistryValue Root="HKCU" Key="Software\\Mivo\\$name" Name="Version"
                             Type="string" Value="$version" />
              <RemoveFolder Id="RemoveInstallDir" On="uninstall" />
            </Component>
          </Directory>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Complete" Level="1"><ComponentRef Id="Main" /></Feature>
  </Product>
</Wix>
WXS
(cd "$work" && wixl -o p.msi p.wxs)
if [ -n "$keyversion" ]; then
  msibuild "$work/p.msi" -q "UPDATE \`File\` SET \`Version\`='$keyversion' WHERE \`File\`='KeyFile'"
fi
mv "$work/p.msi" "$out"
