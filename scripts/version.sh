#!/usr/bin/env bash
# Prints the program's version: the CMake project's, the one place it is kept.
sed -n 's/^project(Ambrel VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt"
