#!/usr/bin/env bash
# Installs what the build needs (Debian) and builds everything for 64-bit
# Windows with MinGW-w64: setup.exe, cedevice.exe, the stand-in rapi.dll
# and the tests.
#
#   tools/build.sh [BUILD_DIR [TARGET...]]
#
# BUILD_DIR defaults to TESH_BUILD_DIR, else ./build; TARGETs limit the
# build to those programs (e.g. setup cedevice rapi).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
. "$here/command-words.sh"
answer_help "$0" "$@"
refuse_options "$0" "" "$@"
"$here/install-deps.sh"

build=${1:-${TESH_BUILD_DIR:-$repo/build}}
shift $(( $# > 0 ? 1 : 0 ))
# One build at a time in a build folder: the run and test commands may be
# started together, and two builds would write the same files.
mkdir -p "$build"
exec 9>"$build/.build.lock"
if ! flock -n 9; then
  echo "build: waiting for another build in ${build#"$repo"/} to end" >&2
  flock 9
fi
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake -S "$repo" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" "${targets[@]}"
