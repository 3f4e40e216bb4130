#!/usr/bin/env bash
# Installs what the build needs (Debian), builds everything for Windows with
# MinGW-w64, and runs every test under Wine, headless, two at a time
# (TESH_TEST_JOBS=1: one at a time).
#
#   tools/test.sh            build in ./build and run all tests
#   tools/test.sh -R device  pass further arguments to ctest
#
# Any other word goes to ctest, which names a word it does not know.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
. "$here/command-words.sh"
answer_help "$0" "$@"
build=${TESH_BUILD_DIR:-$repo/build}
"$here/build.sh" "$build"
cd "$build"
# Two entries at a time, each Wine entry in a prefix of its own for its
# whole run (tests/wine_prefixes.json; see tests/CMakeLists.txt).
ctest --output-on-failure -j "${TESH_TEST_JOBS:-2}" --resource-spec-file "$repo/tests/wine_prefixes.json" "$@"
