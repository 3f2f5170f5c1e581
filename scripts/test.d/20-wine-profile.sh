#!/usr/bin/env bash
# The INI cases and the writer's round trips with the system's profile
# functions, under Wine: both builds must read and write files alike.
set -euo pipefail
ROOT=$1
source "$ROOT/scripts/wine_env.sh"
wine_init
scratch=$BUILD_WIN64/profile_scratch
rm -rf "$scratch" && mkdir -p "$scratch"
cd "$BUILD_WIN64"
timeout 120 wine ./profile_check.exe profile_scratch
