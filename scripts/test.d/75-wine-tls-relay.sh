#!/usr/bin/env bash
# Ambrel.exe under Wine relaying over STARTTLS and implicit TLS with a login
# to local aiosmtpd servers, each failure (certificate, STARTTLS, login)
# leaving the mail, and one run as a service. Results and the screenshot
# (wine-tls-relay.png) stay in the x86_64 build folder.
set -euo pipefail
ROOT=$1
source "$ROOT/scripts/wine_env.sh"
wine_init
timeout 300 xvfb-run -a -s "-screen 0 1024x768x24" \
  /usr/bin/python3 "$ROOT/tests/wine/tls_relay_test.py" 2>&1 | tee "$BUILD_WIN64/wine-tls-relay-results.txt"
