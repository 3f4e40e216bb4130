#!/usr/bin/env bash
# Runs the 32-bit build where it is meant to run: setup.exe, the stand-in
# rapi.dll, cedevice.exe and cecopy.exe built for 32-bit Windows, under a
# 32-bit Wine, in an i386 Debian 12 system of their own (this machine's
# Wine may have no 32-bit side, and Debian's 32-bit packages do not always
# install beside the 64-bit ones). Through the main roads of the
# end-to-end runs: Device Info, Install Reader, Install Book to main memory
# and to a card, a device pulled in a book and docked again, and the same
# over TCP for an older and a Windows Mobile device; then cedevice.exe
# serves an image and cecopy.exe copies a file onto it.
#
#   tools/e2e-32bit.sh          as root
#
# The system is made once, with tools/debian-root.sh, in
# build/debian12-i386 (about 600 MB, a few minutes) and reused after; the
# 32-bit programs and the end-to-end runs are built in build-i686. The roads
# run in a network namespace, a process namespace and a Wine prefix
# (build/wine-i386) of their own: nothing they start outlives them. The
# setup.exe that runs is the one in the 32-bit zip. Where Debian's archive
# cannot be reached to make the system, this says so in one line and ends
# with 0; a road that fails ends it with 1. It says how long each part took.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
. "$here/command-words.sh"
answer_help "$0" "$@"
[ "$#" -eq 0 ] || refuse_word "$0" "$([ "${1#-}" = "$1" ] && echo word || echo option)" "$1" "it takes none"
[ "$(id -u)" -eq 0 ] || { echo "e2e-32bit: needs root (debootstrap, chroot, namespaces)" >&2; exit 2; }

root=$repo/build/debian12-i386
# Under the repository, which is what the system sees of this machine.
build=$repo/build-i686
# The Wine prefix must lie under build/ (tools/wine-run.sh); only this
# script's 32-bit Wine uses it.
prefix=$repo/build/wine-i386
# The roads, as the end-to-end program names them.
roads=(
  SetupExeReader.DeviceInfoInstallUpdateAndRemove
  SetupExeBooks.FromOtherOptionsTheMenuAlwaysComesBack
  SetupExeBooks.FromTheMainMenuToACard
  SetupExeBooks.PulledInTheFirstBookThenDockedAgain
  'Roads/SetupExeOverTcp.*/pocketpc'
  'Roads/SetupExeOverTcp.*/wm5ppc'
)
road_minutes=10
started=$(date +%s)
mark=$started
# took WHAT: says how long the part since the last mark took.
took() {
  local now
  now=$(date +%s)
  echo "e2e-32bit: $1: $((now - mark)) s"
  mark=$now
}

status=0
made=$("$here/debian-root.sh" make bookworm i386 "$root" wine wine32 fonts-wine util-linux procps) || status=$?
if [ "$status" = 3 ]; then
  echo "e2e-32bit: not run: ${made#debian-root: }"
  exit 0
fi
[ -z "$made" ] || echo "$made"
[ "$status" = 0 ] || exit "$status"
took "the i386 Debian system"

TESH_BUILD_DIR_I686=$build "$here/build-i686.sh" >/dev/null
cmake --build "$build" --target test_e2e planted_rapi >/dev/null
zip=$(ls "$build"/packages/TeshReaderSetup-*-win32.zip)
unzip -p "$zip" setup.exe | cmp -s - "$build/bin/setup.exe" ||
  { echo "e2e-32bit: the setup.exe in $zip is not the one built" >&2; exit 1; }
took "the 32-bit build"

# Inside the system: the roads, then the device program and the copy
# program; the prefix's server is ended whatever happened.
inside='
  set -u
  cd "$1/bin"
  export TESH_WINE_PREFIX=$2 CEDEVICE_PIPE="\\\\.\\pipe\\cedevice-e2e32"
  filter=$3
  failed=0
  wine --version
  "$4/tools/wine-run.sh" --system-rapi rapi.dll test_e2e.exe --gtest_filter="$filter" > "$1/e2e32-roads.log" 2>&1 ||
    failed=1
  cat "$1/e2e32-roads.log"
  # Every road ran: a road renamed in the tests would otherwise be left out.
  grep -q "^\[  PASSED  \] $5 tests\." "$1/e2e32-roads.log" || { echo "not every one of the $5 roads passed"; failed=1; }
  image=$1/e2e32-image
  rm -rf "$image"
  echo "a file copied by the 32-bit cecopy.exe" > "$1/e2e32-copied.txt"
  "$4/tools/wine-run.sh" cedevice.exe "$image" --profile pocketpc --serve > "$1/e2e32-device.log" 2>&1 &
  for i in $(seq 300); do grep -q "^docked: " "$1/e2e32-device.log" && break; sleep 0.1; done
  "$4/tools/wine-run.sh" cecopy.exe "$1/e2e32-copied.txt" "\\My Documents\\copied.txt" || failed=1
  "$4/tools/wine-run.sh" cedevice.exe "$image" --list | grep -q "copied.txt" ||
    { echo "the 32-bit cecopy.exe did not copy onto the 32-bit cedevice.exe:"; cat "$1/e2e32-device.log"; failed=1; }
  WINEPREFIX=$2 wineserver -k 2>/dev/null
  exit $failed
'
filter=$(IFS=:; echo "${roads[*]}")
status=0
timeout -k 10 $((road_minutes * 60)) unshare --net --pid --fork --kill-child -- bash -c '
  ip link set lo up
  exec "$1/tools/debian-root.sh" run "$2" "$1" bash -c "$3" roads "$4" "$5" "$6" "$1" "$7"
' e2e32 "$repo" "$root" "$inside" "$build" "$prefix" "$filter" "${#roads[@]}" || status=$?
took "the roads"
echo "e2e-32bit: in all $(($(date +%s) - started)) s"
if [ "$status" != 0 ]; then
  echo "e2e-32bit: the 32-bit build failed a road (exit code $status)" >&2
  exit 1
fi
echo "e2e-32bit: the 32-bit build ran every road"
