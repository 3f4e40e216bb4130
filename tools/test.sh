#!/usr/bin/env bash
# Installs what the build needs (Debian), builds everything for Windows with
# MinGW-w64, and runs every test under Wine, headless.
#
#   tools/test.sh            build in ./build and run all tests
#   tools/test.sh -R device  pass further arguments to ctest
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
"$here/install-deps.sh"

build=${TESH_BUILD_DIR:-$repo/build}
cmake -S "$repo" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build"
cd "$build"
ctest --output-on-failure "$@"
