#!/usr/bin/env bash
# Relay throughput of the console host against smtp-sink and aiosmtpd on
# 127.0.0.1. Not part of the test command: it prints figures, it judges none.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tests/integration/fetch_smtp_sink.sh build/postfix
# The peer client of the comparison; the bench alone needs it.
if ! command -v msmtp >/dev/null; then
    if [ "$(id -u)" = 0 ]; then DEBIAN_FRONTEND=noninteractive apt-get install -y msmtp >/dev/null; else sudo DEBIAN_FRONTEND=noninteractive apt-get install -y msmtp >/dev/null; fi
fi
cmake -S . -B build/native -G Ninja >/dev/null
ninja -C build/native ambrel >/dev/null
/usr/bin/python3 bench/relay_bench.py build/native/ambrel build/postfix/tree "$@"
