#!/usr/bin/env bash
# The steps that build Windows paths (the Wine profile, service and package
# steps), run from a fresh clone in a folder whose path has a blank and
# names that start with n, r, t and x: a path such as "Z:\...\new r t x\..."
# must survive every quoting and every escape decoder on its way. Builds its
# own x86_64 and i686 trees there (about 15 minutes on 2 cores), so it runs
# on its own rather than inside scripts/test.sh.
#   bash scripts/test_odd_folder.sh [PARENT]   (default: $TMPDIR or /tmp)
set -uo pipefail
cd "$(dirname "$0")/.."
SOURCE=$PWD
bash scripts/setup.sh || { echo "setup failed"; exit 1; }
PARENT=${1:-${TMPDIR:-/tmp}}
BASE="$PARENT/new r t x"
CLONE="$BASE/ambrel"
rm -rf "$BASE"
mkdir -p "$BASE"
# The committed state, as a newcomer's clone would have it.
git clone -q "$SOURCE" "$CLONE" || { echo "clone failed"; exit 1; }
cd "$CLONE"
failed=0
run() {  # run NAME COMMAND...
  local name=$1; shift
  echo "== $name"
  if "$@"; then echo "ok    $name"; else echo "FAIL  $name"; failed=$((failed + 1)); fi
}
run "windows x86_64 build" bash -c 'cmake -S . -B build/win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >/dev/null && ninja -C build/win64 -j "$(nproc)" >/dev/null'
for step in 20-wine-profile 60-wine-service 80-package; do
  run "$step" bash "scripts/test.d/$step.sh" "$CLONE"
done
# The clone's Wine prefixes hold services registered with its paths: stop
# only those prefixes' servers.
for prefix in "$CLONE/build/win64/wineprefix" "$CLONE/build/win64/package_test/prefix"; do
  [ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k 2>/dev/null
done
echo "steps from \"$CLONE\": $failed failed"
[ "$failed" -eq 0 ] && rm -rf "$BASE"
[ "$failed" -eq 0 ]
