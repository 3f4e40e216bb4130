#!/usr/bin/env bash
# Builds everything, docks a simulated handheld and starts setup.exe on your
# display, as a user would start it from a setup folder.
#
#   tools/run.sh [PROFILE]            dock a device and start setup.exe
#   tools/run.sh --no-device          start setup.exe with no device docked
#   tools/run.sh device [PROFILE] OPTION...
#                                     run cedevice.exe on the image of
#                                     PROFILE, e.g. --list, --insert-card NAME
#   tools/run.sh cecopy HOSTFILE DEVICEPATH
#                                     copy a file onto the docked device
#
# PROFILE: pocketpc (default), hpc2000, hpcpro, teshsize, emulator.
#   tools/run.sh --network [PROFILE]
#                                     the same over TCP, as with a real
#                                     handheld: the device serves its remote
#                                     API on 127.0.0.1 port RAPI_DEVICE_PORT
#                                     (9990 unless set) and docks to the
#                                     stand-in rapi.dll listening on
#                                     127.0.0.1 port 5679 (RAPI_DESKTOP)
#
# The device keeps its contents in build/device-image/PROFILE (created from
# the profile on first use, one image per profile; delete the folder to start
# afresh), is docked at about the speed of a USB cable (1 MB per second) and
# prints one line per device operation here. It is unplugged when setup.exe
# ends. The setup folder is build/setupfolder: files already there are left
# as they are, so their times stay and a second run shows which files the
# setup copies again. With no window manager on the display, the windows
# open inside a Wine virtual desktop, which gives them frames and captions.
# "device" and "cecopy" use the same Wine prefix as the docked device, so
# they reach it while it runs.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
build=$repo/build
profiles="pocketpc hpc2000 hpcpro teshsize emulator"
link_speed=1000000   # bytes per second: about a USB cable

# Real windows on this display, in the project's display prefix; every
# program of a run shares it, so they share the device's pipe (the default).
export TESH_WINE_DISPLAY=1
unset CEDEVICE_PIPE

is_profile() { case " $profiles " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }

# Device and copy commands for a second terminal, while a run is going on.
case "${1:-}" in
  device)
    shift
    profile=pocketpc
    if [ "$#" -gt 0 ] && is_profile "$1"; then profile=$1; shift; fi
    cd "$build" && exec "$here/wine-run.sh" "$build/bin/cedevice.exe" "device-image/$profile" "$@" ;;
  cecopy)
    shift
    exec "$here/wine-run.sh" "$build/bin/cecopy.exe" "$@" ;;
esac

dock=1
profile=pocketpc
network=
if [ "${1:-}" = --network ]; then network=1; shift; fi
if [ "${1:-}" = "--no-device" ]; then
  dock=0
elif [ "$#" -gt 0 ]; then
  is_profile "$1" || { echo "run: unknown profile '$1' (one of: $profiles)" >&2; exit 2; }
  profile=$1
fi

if [ -z "${DISPLAY:-}" ]; then
  echo "No display: set DISPLAY, or try: xvfb-run tools/run.sh $*" >&2
  exit 1
fi

"$here/build.sh" "$build" setup cedevice cecopy rapi

# The setup folder: the program, the reader variant files, and sample books
# to try Install Book with. No rapi.dll: setup.exe loads the system's, and the
# stand-in is installed as the Wine prefix's system rapi.dll below. The
# program is refreshed when the build is newer; generated files are added
# only where missing.
setupfolder=$build/setupfolder
mkdir -p "$setupfolder"
cp -u "$build/bin/setup.exe" "$setupfolder/"
rm -f "$setupfolder/rapi.dll"   # left there by earlier versions of this script
samples=$(mktemp -d)
trap 'rm -rf "$samples"' EXIT
"$here/make-variants.sh" "$samples" >/dev/null
"$here/make-books.sh" "$samples" >/dev/null
cp -rn "$samples/." "$setupfolder/"
rm -rf "$samples"
trap - EXIT
"$here/wine-run.sh" --system-rapi "$build/bin/rapi.dll"

# A window manager draws the frames and captions of Wine's windows; without
# one, they open inside a Wine virtual desktop that has its own.
window_manager_running() {
  command -v xprop >/dev/null 2>&1 &&
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'
}
desktop_size() {
  local size
  size=$(xdpyinfo 2>/dev/null | awk '/dimensions:/ { print $2; exit }')
  if [ -n "$size" ] && [ "${size%x*}" -lt 1024 ]; then echo "$size"; else echo 1024x768; fi
}
setup_command=(setup.exe)
if ! window_manager_running; then
  setup_command=(explorer "/desktop=TeshReaderSetup,$(desktop_size)" setup.exe)
  echo "No window manager: the windows open in a Wine virtual desktop"
fi

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

if [ "$dock" = 1 ]; then
  image=device-image/$profile
  mkdir -p "$build/device-image"
  echo "Docking a simulated '$profile' device (image: build/$image, link $link_speed bytes per second)"
  device_network=()
  if [ -n "$network" ]; then
    export RAPI_DEVICE_PORT=${RAPI_DEVICE_PORT:-9990} RAPI_DESKTOP=127.0.0.1:5679
    device_network=(--network "127.0.0.1:$RAPI_DEVICE_PORT" --desktop "$RAPI_DESKTOP")
    echo "Over TCP: the device serves 127.0.0.1:$RAPI_DEVICE_PORT and docks to $RAPI_DESKTOP"
  fi
  (cd "$build" && exec "$here/wine-run.sh" "$build/bin/cedevice.exe" "$image" --profile "$profile" \
      --link-speed "$link_speed" "${device_network[@]}") &
  device_pid=$!
else
  echo "No device docked: setup.exe waits for one, as it would with no handheld in its cradle"
fi

echo "Starting setup.exe in $setupfolder"
status=0
(cd "$setupfolder" && exec "$here/wine-run.sh" "${setup_command[@]}") || status=$?
stop_device
echo "setup.exe ended with exit code $status"
exit "$status"
