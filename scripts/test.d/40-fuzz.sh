#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehavior-
# Sanitizer) in build/fuzz and runs each for a short, bounded time from the
# checked-in seeds. Any crash or sanitizer report fails the step.
set -euo pipefail
ROOT=$1
cd "$ROOT"
SECONDS_EACH=${FUZZ_SECONDS:-20}
cmake -S fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
ninja -C build/fuzz >/dev/null
failed=0
for t in reply envelope profile message pickup; do
  work=build/fuzz/runs/$t
  mkdir -p "$work"
  # The run may take a little longer than its budget to finish its last input.
  if timeout $((SECONDS_EACH + 60)) build/fuzz/fuzz_$t -max_total_time="$SECONDS_EACH" -max_len=8192 \
       -timeout=10 -rss_limit_mb=1024 -artifact_prefix=build/fuzz/ "$work" fuzz/corpus/$t \
       > build/fuzz/$t.log 2>&1; then
    echo "fuzz_$t: $(grep -o 'Done [0-9]* runs' build/fuzz/$t.log)"
  else
    echo "fuzz_$t FAILED:"; tail -40 build/fuzz/$t.log; failed=1
  fi
done
exit $failed
