#!/usr/bin/env bash
# Builds everything, docks a simulated handheld and starts setup.exe on your
# display, as a user would start it from a setup folder.
#
#   tools/run.sh [PROFILE]   PROFILE: pocketpc (default), hpc2000, hpcpro,
#                            teshsize, emulator
#
# The device keeps its contents in build/device-image/PROFILE (created from
# the profile on first use, one image per profile; delete the folder to start
# afresh) and prints one line per device operation here. It is unplugged
# when setup.exe ends.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
profile=${1:-pocketpc}

if [ -z "${DISPLAY:-}" ]; then
  echo "No display: set DISPLAY, or try: xvfb-run tools/run.sh $*" >&2
  exit 1
fi

build=$repo/build
"$here/build.sh" "$build" setup cedevice rapi

# The setup folder: the program, the reader variant files, and sample books
# to try Install Book with. No rapi.dll: setup.exe loads the system's, and the
# stand-in is installed as the Wine prefix's system rapi.dll below.
setupfolder=$build/setupfolder
mkdir -p "$setupfolder"
cp "$build/bin/setup.exe" "$setupfolder/"
rm -f "$setupfolder/rapi.dll"   # left there by earlier versions of this script
if [ -x "$here/make-variants.sh" ]; then
  "$here/make-variants.sh" "$setupfolder"
fi
"$here/make-books.sh" "$setupfolder"

# Real windows on this display, in the project's display prefix; both
# programs share it, so they share the device's pipe (the default one).
export TESH_WINE_DISPLAY=1
unset CEDEVICE_PIPE
"$here/wine-run.sh" --system-rapi "$build/bin/rapi.dll"

device_pid=
stop_device() {
  if [ -n "$device_pid" ] && kill -0 "$device_pid" 2>/dev/null; then
    kill "$device_pid" 2>/dev/null || true
    wait "$device_pid" 2>/dev/null || true
  fi
  device_pid=
}
trap stop_device EXIT
trap 'exit 130' INT TERM

image=device-image/$profile
mkdir -p "$build/device-image"
echo "Docking a simulated '$profile' device (image: build/$image)"
(cd "$build" && exec "$here/wine-run.sh" "$build/bin/cedevice.exe" "$image" --profile "$profile") &
device_pid=$!

echo "Starting setup.exe in $setupfolder"
status=0
(cd "$setupfolder" && exec "$here/wine-run.sh" setup.exe) || status=$?
stop_device
echo "setup.exe ended with exit code $status"
exit "$status"
