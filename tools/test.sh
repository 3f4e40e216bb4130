#!/usr/bin/env bash
# Installs what the build needs (Debian), builds everything for Windows with
# MinGW-w64, and runs every test under Wine, headless.
#
#   tools/test.sh            build in ./build and run all tests
#   tools/test.sh -R device  pass further arguments to ctest
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
build=${TESH_BUILD_DIR:-$repo/build}
"$here/build.sh" "$build"
cd "$build"
ctest --output-on-failure "$@"
