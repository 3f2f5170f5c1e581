#!/usr/bin/env bash
# Builds the download for Windows users: build/Ambrel-<version>-win64.zip
# with the x86_64 program (Ambrel.exe), the 32-bit one (Ambrel-x86.exe), the
# commented sample Ambrel.ini (samples/Ambrel.ini) and README.txt, and the
# installer build/Ambrel-<version>-win64.msi. The version is the CMake
# project's. The text files get CR LF line ends, as Notepad expects.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
bash scripts/setup.sh
VERSION=$(bash scripts/version.sh)
NAME=Ambrel-$VERSION-win64
for arch in x86_64:win64 i686:win32; do
  dir=build/${arch#*:}
  # The toolchain is named only when the tree is made (CMake warns otherwise).
  toolchain=()
  [ -f "$dir/CMakeCache.txt" ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE="cmake/mingw-${arch%%:*}.cmake")
  cmake -S . -B "$dir" -G Ninja "${toolchain[@]}" >/dev/null
  ninja -C "$dir" Ambrel >/dev/null
done

STAGE=$ROOT/build/package/$NAME
rm -rf "$STAGE" "build/$NAME.zip"
mkdir -p "$STAGE"
# Only the shipped program (never the test build), without its debug data.
x86_64-w64-mingw32-strip -o "$STAGE/Ambrel.exe" build/win64/Ambrel.exe
i686-w64-mingw32-strip -o "$STAGE/Ambrel-x86.exe" build/win32/Ambrel.exe

crlf() { sed 's/\r$//; s/$/\r/'; }

# The one commented sample, with the version Save would write; README.txt
# made from the documents, so what ships says what the program does.
sed "s/^Version=.*/Version=$VERSION/" samples/Ambrel.ini | crlf > "$STAGE/Ambrel.ini"
/usr/bin/python3 scripts/readme_txt.py "$VERSION" README.md docs/admin-guide.md docs/settings.md \
  docs/oauth.md docs/troubleshooting.md | crlf > "$STAGE/README.txt"

(cd "$STAGE" && /usr/bin/python3 -m zipfile -c "$ROOT/build/$NAME.zip" Ambrel.exe Ambrel-x86.exe Ambrel.ini README.txt)
echo "build/$NAME.zip"

# The Windows Installer package of the 64-bit program (scripts/ambrel.wxs).
# AMBREL_MSI_VERSION gives another product version (a later one is a major
# upgrade of this one); the file is then named after it.
MSI_VERSION=${AMBREL_MSI_VERSION:-$VERSION.0}
MSI=build/Ambrel-${AMBREL_MSI_VERSION:-$VERSION}-win64.msi
(cd "$STAGE" && wixl -a x64 -D Version="$MSI_VERSION" -o "$ROOT/$MSI" "$ROOT/scripts/ambrel.wxs")
# What wixl does not write: the conditions that choose between the plain
# program and the service, and the sample INI's attributes (64-bit 256,
# permanent 16, never overwrite 128).
msibuild "$MSI" -q "UPDATE \`Component\` SET \`Attributes\` = 400 WHERE \`Component\` = 'SampleIni'"
msibuild "$MSI" -q "UPDATE \`Component\` SET \`Condition\` = 'NOT SERVICE=\"1\"' WHERE \`Component\` = 'Program'"
msibuild "$MSI" -q "UPDATE \`Component\` SET \`Condition\` = 'SERVICE=\"1\"' WHERE \`Component\` = 'ServiceProgram'"
# SERVICE=1 also gets what "Ambrel.exe -i" sets beside the registration:
# the delayed automatic start (config type 3, argument 1) and the recovery
# actions (restart, 1, after 60000 ms, for the first, second and later
# failures; the count starts again after 86400 s without one), at install
# and reinstall (events 1 + 4). wixl writes neither table nor the action
# that carries them out (MsiConfigureServices, after InstallServices).
msibuild "$MSI" -q "CREATE TABLE \`MsiServiceConfig\` (\`MsiServiceConfig\` CHAR(72) NOT NULL, \`Name\` CHAR(255) NOT NULL LOCALIZABLE, \`Event\` SHORT NOT NULL, \`ConfigType\` LONG NOT NULL, \`Argument\` CHAR(0) LOCALIZABLE, \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`MsiServiceConfig\`)"
msibuild "$MSI" -q "INSERT INTO \`MsiServiceConfig\` (\`MsiServiceConfig\`, \`Name\`, \`Event\`, \`ConfigType\`, \`Argument\`, \`Component_\`) VALUES ('AmbrelDelayedStart', 'Ambrel', 5, 3, '1', 'ServiceProgram')"
msibuild "$MSI" -q "CREATE TABLE \`MsiServiceConfigFailureActions\` (\`MsiServiceConfigFailureActions\` CHAR(72) NOT NULL, \`Name\` CHAR(255) NOT NULL LOCALIZABLE, \`Event\` SHORT NOT NULL, \`ResetPeriod\` LONG, \`RebootMessage\` CHAR(0) LOCALIZABLE, \`Command\` CHAR(0) LOCALIZABLE, \`Actions\` CHAR(0), \`DelayActions\` CHAR(0), \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`MsiServiceConfigFailureActions\`)"
msibuild "$MSI" -q "INSERT INTO \`MsiServiceConfigFailureActions\` (\`MsiServiceConfigFailureActions\`, \`Name\`, \`Event\`, \`ResetPeriod\`, \`Actions\`, \`DelayActions\`, \`Component_\`) VALUES ('AmbrelRecovery', 'Ambrel', 5, 86400, '1[~]1[~]1', '60000[~]60000[~]60000', 'ServiceProgram')"
msibuild "$MSI" -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('MsiConfigureServices', 'VersionNT >= 600', 5850)"
echo "$MSI"
