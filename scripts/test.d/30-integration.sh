#!/usr/bin/env bash
# The console host against real SMTP servers on 127.0.0.1: aiosmtpd,
# Postfix's smtp-sink (taken from the Debian package without installing or
# starting a mail system), and a Postfix instance of the tests' own
# (tests/integration/postfix_peer.py, as root, from the package setup.sh
# installs unconfigured; its log stays in build/native/postfix-peer).
set -euo pipefail
ROOT=$1
cd "$ROOT"
bash tests/integration/fetch_smtp_sink.sh build/postfix
cmake -S . -B build/native -G Ninja >/dev/null
ninja -C build/native ambrel >/dev/null
timeout 600 /usr/bin/python3 tests/integration/relay_peers_test.py build/native/ambrel build/postfix/tree
