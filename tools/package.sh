#!/usr/bin/env bash
# Makes the release zips and the Debian package and prints where each one
# went:
#   build/packages        the 64-bit setup folder, the simulator kit and the
#                         Linux zip; the Linux kit as a Debian package
#                         (tools/make-deb.sh)
#   build-i686/packages   the 32-bit setup folder
# Builds only what the zips hold (setup.exe, cedevice.exe, cecopy.exe, the
# stand-in rapi.dll and the samples), never the tests.
#
#   tools/package.sh
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
build=${TESH_BUILD_DIR:-$repo/build}
build_i686=${TESH_BUILD_DIR_I686:-$repo/build-i686}
. "$here/command-words.sh"
answer_help "$0" "$@"
[ "$#" -eq 0 ] || refuse_word "$0" word "$1" "it takes none"

"$here/build.sh" "$build" setup cedevice cecopy rapi rapidock samples
# Zips of an earlier version would be listed with the new ones.
rm -f "$build"/packages/*.zip "$build_i686"/packages/*.zip
# CPack packs what is built; the package target would first build the tests.
(cd "$build" && cpack --config CPackConfig.cmake >/dev/null)
rm -f "$build"/packages/*.deb
"$here/make-deb.sh" "$build" "$build/packages" >/dev/null
TESH_BUILD_DIR_I686=$build_i686 "$here/build-i686.sh"
echo "Release zips and the Debian package:"
for package in "$build"/packages/*.zip "$build"/packages/*.deb "$build_i686"/packages/*.zip; do
  echo "  ${package#"$repo"/}"
done
