#!/usr/bin/env bash
# Every test of the project: native unit and integration tests (plain and
# under AddressSanitizer + UndefinedBehaviorSanitizer), both Windows builds,
# the Windows tests under Wine, and a short run of each fuzzer.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
bash scripts/setup.sh || { echo "setup failed"; exit 1; }

JOBS=$(nproc)
declare -a RESULTS=()
failed=0
step() {  # step NAME COMMAND...
  local name=$1; shift
  echo "== $name"
  local t0=$SECONDS
  if "$@"; then RESULTS+=("ok    $name ($((SECONDS - t0)) s)")
  else RESULTS+=("FAIL  $name ($((SECONDS - t0)) s)"); failed=$((failed + 1)); fi
}

configure_build() {  # DIR [cmake args...]
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null && ninja -C "$dir" -j "$JOBS"
}
native_tests() {  # DIR
  ctest --test-dir "$1" --output-on-failure -j "$JOBS" --timeout 600
}

step "native build" configure_build build/native
step "native tests" native_tests build/native
step "sanitizer build" configure_build build/asan -DAMBREL_SANITIZE=ON
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
step "sanitizer tests" native_tests build/asan
step "windows x86_64 build" configure_build build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
step "windows i686 build" configure_build build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
for extra in scripts/test.d/*.sh; do
  [ -e "$extra" ] && step "$(basename "$extra" .sh)" bash "$extra" "$ROOT"
done

echo
printf '%s\n' "${RESULTS[@]}"
total=${#RESULTS[@]}
echo "steps: $((total - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
