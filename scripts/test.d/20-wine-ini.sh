#!/usr/bin/env bash
# The shared INI case table against the system's profile functions, under Wine.
set -euo pipefail
ROOT=$1
source "$ROOT/scripts/wine_env.sh"
wine_init
scratch=$BUILD_WIN64/ini_scratch
rm -rf "$scratch" && mkdir -p "$scratch"
cd "$BUILD_WIN64"
timeout 120 wine ./ini_check.exe ini_scratch
