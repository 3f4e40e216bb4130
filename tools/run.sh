#!/usr/bin/env bash
# Builds everything, docks a simulated handheld and starts setup.exe on your
# display, as a user would start it from a setup folder.
#
#   tools/run.sh [PROFILE]   PROFILE: pocketpc (default), hpc2000, hpcpro,
#                            teshsize, emulator
#   tools/run.sh --network [PROFILE]
#                            the same over TCP, as with a real handheld: the
#                            device serves its remote API on 127.0.0.1 port
#                            RAPI_DEVICE_PORT (9990 unless set) and docks to
#                            the stand-in rapi.dll listening on 127.0.0.1
#                            port 5679 (RAPI_DESKTOP)
#
# The device keeps its contents in build/device-image/PROFILE (created from
# the profile on first use, one image per profile; delete the folder to start
# afresh) and prints one line per device operation here. It is unplugged
# when setup.exe ends.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
network=
if [ "${1:-}" = --network ]; then network=1; shift; fi
profile=${1:-pocketpc}

if [ -z "${DISPLAY:-}" ]; then
  echo "No display: set DISPLAY, or try: xvfb-run tools/run.sh $*" >&2
  exit 1
fi

build=$repo/build
"$here/build.sh" "$build" setup cedevice rapi

# The setup folder: the program, the stand-in remote API beside it (which
# Windows loads before the system's own), the reader variant files, and
# sample books to try Install Book with.
setupfolder=$build/setupfolder
mkdir -p "$setupfolder"
cp "$build/bin/setup.exe" "$build/bin/rapi.dll" "$setupfolder/"
if [ -x "$here/make-variants.sh" ]; then
  "$here/make-variants.sh" "$setupfolder"
fi
"$here/make-books.sh" "$setupfolder"

# Real windows on this display, in the project's display prefix; both
# programs share it, so they share the device's pipe (the default one).
export TESH_WINE_DISPLAY=1
unset CEDEVICE_PIPE

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
device_network=()
if [ -n "$network" ]; then
  export RAPI_DEVICE_PORT=${RAPI_DEVICE_PORT:-9990} RAPI_DESKTOP=127.0.0.1:5679
  device_network=(--network "127.0.0.1:$RAPI_DEVICE_PORT" --desktop "$RAPI_DESKTOP")
  echo "Over TCP: the device serves 127.0.0.1:$RAPI_DEVICE_PORT and docks to $RAPI_DESKTOP"
fi
(cd "$build" && exec "$here/wine-run.sh" "$build/bin/cedevice.exe" "$image" --profile "$profile" "${device_network[@]}") &
device_pid=$!

echo "Starting setup.exe in $setupfolder"
status=0
(cd "$setupfolder" && exec "$here/wine-run.sh" setup.exe) || status=$?
stop_device
echo "setup.exe ended with exit code $status"
exit "$status"
