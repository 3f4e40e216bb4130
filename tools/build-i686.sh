#!/usr/bin/env bash
# Compiles setup.exe, cedevice.exe, cecopy.exe and the stand-in rapi.dll
# for 32-bit Windows: the program must build for both. Also makes the 32-bit
# setup-folder zip (build-i686/packages/TeshReaderSetup-VERSION-win32.zip).
# The tests are configured but not built here: tools/e2e-32bit.sh builds the
# end-to-end runs it needs in the same folder.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
. "$here/command-words.sh"
answer_help "$0" "$@"
[ "$#" -eq 0 ] || refuse_word "$0" word "$1" "it takes none"
"$here/install-deps.sh"
build=${TESH_BUILD_DIR_I686:-$repo/build-i686}
cmake -S "$repo" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-i686.cmake" -DCMAKE_BUILD_TYPE=Release -DTESH_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --target setup cedevice cecopy rapi
# CPack packs what is built; the package target would first build the tests.
(cd "$build" && cpack --config CPackConfig.cmake >/dev/null)
echo "i686 build: OK"
