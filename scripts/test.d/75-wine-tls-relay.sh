#!/usr/bin/env bash
# Ambrel.exe under Wine relaying over STARTTLS and implicit TLS with a login
# to local aiosmtpd servers, each failure (certificate, STARTTLS, login)
# leaving the mail, one run as a service, a forwarded message through Postfix,
# and OAuth 2.0 logins through a local identity provider. Results and the screenshot
# (wine-tls-relay.png) stay in the x86_64 build folder.
set -euo pipefail
ROOT=$1
source "$ROOT/scripts/wine_env.sh"
wine_init
timeout 480 xvfb-run -a -s "-screen 0 1024x768x24" \
  /usr/bin/python3 "$ROOT/tests/wine/tls_relay_test.py" 2>&1 | tee "$BUILD_WIN64/wine-tls-relay-results.txt"
