#!/usr/bin/env bash
# The windowed application under Wine, driven through the probe: window,
# log, status bar, menu commands, boxes, exits, a renamed copy, the syntax
# help. Results and screenshots (wine-ui-*.png) stay in the x86_64 build folder.
set -euo pipefail
ROOT=$1
source "$ROOT/scripts/wine_env.sh"
wine_init
timeout 600 xvfb-run -a -s "-screen 0 1024x768x24" \
  /usr/bin/python3 "$ROOT/tests/wine/ui_test.py" 2>&1 | tee "$BUILD_WIN64/wine-ui-results.txt"
