#!/usr/bin/env bash
# Builds the download for Windows users: build/Ambrel-0.28-win64.zip with the
# x86_64 program (Ambrel.exe), the 32-bit one (Ambrel-x86.exe), a commented
# sample Ambrel.ini (the README's example) and a short README.txt, and the
# installer build/Ambrel-0.28-win64.msi. The text files get CR LF line ends,
# as Notepad expects.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
bash scripts/setup.sh
VERSION=0.28
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

# The sample configuration is the README's example, so the two never differ.
awk '/^```ini$/ {on = 1; next} on && /^```$/ {exit} on' README.md > "$STAGE/Ambrel.ini.lf"
grep -q '^\[Ambrel\]' "$STAGE/Ambrel.ini.lf" || { echo "no INI example found in README.md" >&2; exit 1; }
{
  echo "; Sample configuration of Ambrel $VERSION. Rename the program and this file"
  echo "; together (Relay.exe reads Relay.ini). Change the folders, domains and"
  echo "; servers below to yours; lines starting with ; are comments."
  echo
  cat "$STAGE/Ambrel.ini.lf"
} | crlf > "$STAGE/Ambrel.ini"
rm "$STAGE/Ambrel.ini.lf"

crlf > "$STAGE/README.txt" <<TXT
Ambrel $VERSION for Windows
======================

Ambrel forwards the new-message files (*.CNM) of per-user mailbox folders
over SMTP to the relay server of each mailbox's mail domain. A message the
server accepts is deleted; one refused for good (5xx) moves to the bad-mail
folder; anything else stays and is tried again in the next cycle.

Files
  Ambrel.exe       the program for 64-bit Windows
  Ambrel-x86.exe   the same for 32-bit Windows (rename it to Ambrel.exe)
  Ambrel.ini       a commented sample configuration

Install
  Copy Ambrel.exe and Ambrel.ini into a folder of their own, for example
  C:\\Ambrel, and edit Ambrel.ini (see below). Start Ambrel.exe: it shows a
  log window, a status bar and an icon in the notification area.

Run as a Windows service (in a command prompt run as administrator, in the
program's folder)
  Ambrel.exe -i        install the service (named after the program)
  net start Ambrel     start it; it also starts by itself at every boot
  net stop Ambrel      stop it
  Ambrel.exe -u        remove the service (stop it first)
  The service runs as Local System: that account must be able to write the
  log file and to read and delete in the mailbox folders. Start-up problems
  and stops are reported in the Application event log (source: Ambrel).

The INI file (section [Ambrel], next to the program, named after it)
  LoopDelay    seconds between two relay cycles
  UserFolder   relative mailbox folders are appended to this (ends in \\)
  Badmails     where refused (5xx) messages are moved
  LogName      the log file
  MaxMailSent  messages per SMTP session, 0 to 6
  FlushLog     1: write every log line to disk at once
  Debug        1: log the whole SMTP conversation
  SMTPHelo     the name sent with HELO
  XToHeader    the header line that names the recipient
  HideWin      1: start hidden in the notification area
  [Domains]    DomainN=mail domain, SMTPServerN=host:port of its relay server
  [MailBoxes]  MailboxN=user;folder;domain number (a folder starting with @
               is absolute; a user starting with dm: is a domain mailbox)
  Changes are picked up at the next cycle; no restart is needed. The
  Options menu edits the same settings.

The log
  Ambrel.log beside the program, unless LogName names another file: a
  header line for every cycle that had something to do, then what was
  routed and how each SMTP session ended.
TXT

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
echo "$MSI"
