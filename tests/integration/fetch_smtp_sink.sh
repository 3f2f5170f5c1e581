#!/usr/bin/env bash
# Unpacks Postfix's smtp-sink into DIR/tree (once): `apt-get download` and
# `dpkg -x`, no installation, no mail system started.
set -euo pipefail
DIR=$1
[ -x "$DIR/tree/usr/sbin/smtp-sink" ] && exit 0
mkdir -p "$DIR"
DIR=$(cd "$DIR" && pwd)
rm -rf "$DIR/tree" "$DIR"/postfix_*.deb
# apt fetches as its own user when it can write the folder; otherwise as us.
(cd "$DIR" && apt-get download -q postfix 2>&1 | grep -v "^W: Download is performed unsandboxed" || true)
deb=$(ls "$DIR"/postfix_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { echo "unable to download the postfix package"; exit 1; }
dpkg -x "$deb" "$DIR/tree"
[ -x "$DIR/tree/usr/sbin/smtp-sink" ]
