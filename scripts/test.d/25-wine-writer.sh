#!/usr/bin/env bash
# The configuration writer's round trips with the system's profile functions, under Wine.
set -euo pipefail
ROOT=$1
source "$ROOT/scripts/wine_env.sh"
wine_init
scratch=$BUILD_WIN64/writer_scratch
rm -rf "$scratch" && mkdir -p "$scratch"
cd "$BUILD_WIN64"
timeout 120 wine ./writer_check.exe writer_scratch
