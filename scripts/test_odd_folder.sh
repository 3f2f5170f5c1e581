#!/usr/bin/env bash
# The test command's steps run from a fresh clone in a folder whose path has
# a blank and names that start with n, r, t and x: a path such as
# "Z:\...\new r t x\..." must survive every quoting and every escape decoder
# on its way, and every server a step starts (aiosmtpd, smtp-sink, the
# Postfix instance, the TLS and identity-provider servers, Wine's) must start
# from there. Builds its own trees there, so it runs on its own rather than
# inside scripts/test.sh (all steps: about 45 minutes on 2 cores).
#   bash scripts/test_odd_folder.sh [PARENT] [STEP...]
# PARENT defaults to $TMPDIR or /tmp; STEP names a step of scripts/test.d
# ("30-integration") or "native" (build and unit tests); no STEP: all of them.
set -uo pipefail
cd "$(dirname "$0")/.."
SOURCE=$PWD
bash scripts/setup.sh || { echo "setup failed"; exit 1; }
PARENT=${1:-${TMPDIR:-/tmp}}
shift || true
STEPS=("$@")
if [ ${#STEPS[@]} -eq 0 ]; then
  STEPS=(native)
  for f in scripts/test.d/*.sh; do STEPS+=("$(basename "$f" .sh)"); done
fi
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
build() {  # build DIR [cmake args...]
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null && ninja -C "$dir" -j "$(nproc)" >/dev/null
}
# The Windows steps take the x86_64 tree (and the package the i686 one) as
# scripts/test.sh leaves them.
case " ${STEPS[*]} " in *wine*|*package*)
  run "windows x86_64 build" build build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake ;;
esac
case " ${STEPS[*]} " in *package*)
  run "windows i686 build" build build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake ;;
esac
for step in "${STEPS[@]}"; do
  if [ "$step" = native ]; then
    run "native build and tests" bash -c 'cmake -S . -B build/native -G Ninja >/dev/null &&
      ninja -C build/native -j "$(nproc)" >/dev/null && ctest --test-dir build/native -j "$(nproc)" --timeout 600 >/dev/null'
  else
    run "$step" bash "scripts/test.d/$step.sh" "$CLONE"
  fi
done
# The clone's Wine prefixes hold services registered with its paths: stop
# only those prefixes' servers.
for prefix in "$CLONE/build/win64/wineprefix" "$CLONE/build/win64/package_test/prefix"; do
  [ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k 2>/dev/null
done
echo "steps from \"$CLONE\": $failed failed"
[ "$failed" -eq 0 ] && rm -rf "$BASE"
[ "$failed" -eq 0 ]
