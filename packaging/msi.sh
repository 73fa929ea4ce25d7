#!/usr/bin/env bash
# Makes the Windows Installer package of one Windows build out of its
# release zip, so that the package installs the very bytes the zip holds:
#
#   packaging/msi.sh x64|x86 <version> <zip> <msi>
#
# wixl (msitools) compiles packaging/scythe.wxs; msibuild then adds what
# wixl has no element for: the Environment row that appends the install
# folder to the system PATH on installation and takes it out again on
# removal, and the two actions that carry it out.
#
# Hard cases:
# - The upgrade codes are Scythe's identity to Windows Installer, one per
#   architecture, and NEVER change: with a new one the next release would
#   install beside the old one instead of replacing it.
# - The product code must change with every version (else a newer package
#   is not an upgrade) and should not with a rebuild of one version (else
#   a rebuilt package installs beside the same version). It is a name-based
#   UUID of the upgrade code and the version.
# - Windows Installer compares three numbers, at most 255.255.65535; a
#   version beyond that would break upgrades silently, so it is refused.
set -euo pipefail
if [ $# -ne 4 ]; then
  echo "usage: packaging/msi.sh x64|x86 <version> <zip> <msi>" >&2
  exit 2
fi
arch=$1 version=$2 zip=$(realpath -- "$3") msi=$(realpath -m -- "$4")
wxs=$(realpath -- "$(dirname "$0")/scythe.wxs")
case $arch in
  x64) upgrade_code=7331EEA8-C957-4735-8B04-EC5520BAE613 ;;
  x86) upgrade_code=A5EB4BE7-6EA5-4742-A583-9431698FA10D ;;
  *) echo "packaging/msi.sh: architecture $arch is neither x64 nor x86" >&2; exit 2 ;;
esac
IFS=. read -r major minor build rest <<<"$version"
if ! [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || ((10#$major > 255 || 10#$minor > 255 || 10#$build > 65535)); then
  echo "packaging/msi.sh: version $version is not one Windows Installer compares (at most 255.255.65535)" >&2
  exit 2
fi
product_code=$(python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' \
               "$upgrade_code" "$version")

# Made apart and moved into place whole: a failure leaves no half-made package.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/files"
unzip -q "$zip" scythe.exe README.txt LICENSE.txt -d "$work/files"
# wixl finds sources only by a relative path.
(cd "$work/files" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" -D UpgradeCode="$upgrade_code" \
                          -D ProductCode="$product_code" -D Files=. -o "$work/scythe.msi" "$wxs")

# Name: * the system's variable, = set on installation, - removed on
# removal; Value: [~]; appends to what is there, and only that part goes.
# The sequence numbers are those Windows Installer's own packages use.
msibuild "$work/scythe.msi" -q 'CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL,
  `Name` CHAR(255) NOT NULL LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE,
  `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)' \
  -q "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`)
      VALUES ('PATH', '=-*PATH', '[~];[INSTALLDIR]', 'Program')" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)"
mv -f "$work/scythe.msi" "$msi"
