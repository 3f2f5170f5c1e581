#!/usr/bin/env bash
# The Windows service under Wine's service manager: install and remove with
# their boxes, start, relay, stop, status reports and event-log texts.
set -euo pipefail
ROOT=$1
source "$ROOT/scripts/wine_env.sh"
wine_init
timeout 600 xvfb-run -a -s "-screen 0 1024x768x24" /usr/bin/python3 "$ROOT/tests/wine/service_test.py"
