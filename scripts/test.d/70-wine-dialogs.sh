#!/usr/bin/env bash
# The configuration dialogs driven under Wine: lists, editors, refusal boxes,
# Save, Cancel and the worker's reload of the saved file.
set -euo pipefail
ROOT=$1
source "$ROOT/scripts/wine_env.sh"
wine_init
timeout 600 xvfb-run -a -s "-screen 0 1024x768x24" /usr/bin/python3 "$ROOT/tests/wine/dialogs_test.py"
