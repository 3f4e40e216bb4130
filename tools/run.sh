#!/usr/bin/env bash
# Builds everything, docks a simulated handheld and starts setup.exe on your
# display, as a user would start it from a setup folder.
#
#   tools/run.sh [PROFILE]            dock a device and start setup.exe
#   tools/run.sh --no-device          start setup.exe with no device docked;
#                                     it prints the command that docks one
#   tools/run.sh device [PROFILE] OPTION...
#                                     run cedevice.exe on the image of
#                                     PROFILE, e.g. --list, --insert-card NAME,
#                                     --serve (docks it, at the link speed
#                                     and delay below; Ctrl+C undocks it),
#                                     --help; --list also shows the link
#                                     of the device docked now
#   tools/run.sh cecopy HOSTFILE DEVICEPATH
#                                     copy a file onto the docked device
#   tools/run.sh --help               this text
#
# PROFILE: pocketpc (default), hpc2000, hpcpro, teshsize, emulator; the
# Windows Mobile 5 and 6 Pocket PCs wm5ppc, wm6ppc.
#   tools/run.sh --network [PROFILE]
#                                     the same over TCP, as with a real
#                                     handheld: the device serves its remote
#                                     API on 127.0.0.1 port RAPI_DEVICE_PORT
#                                     (9990 unless set) and docks to the
#                                     stand-in rapi.dll listening on
#                                     127.0.0.1 port 5679 (RAPI_DESKTOP).
#                                     A Windows Mobile device (wm5ppc,
#                                     wm6ppc) instead calls the stand-in on
#                                     RAPI_DESKTOP2 (unless set, a free
#                                     loopback port from 9991 up, since its
#                                     own port 990 needs root) and opens its
#                                     sessions there, in the newer protocol.
#                                     As on Linux with a real handheld,
#                                     rapidock.exe listens from setup.exe's
#                                     start; the device docks as a real one
#                                     does: a Windows Mobile one when it
#                                     starts and on the listener's trigger,
#                                     an older one once, when it starts
#                                     (after the listener is up, here)
#
# The device keeps its contents in build/device-image/PROFILE (created from
# the profile on first use, one image per profile; delete the folder to start
# afresh), is docked at about the speed of a USB cable (1 MB per second) and
# prints one line per device operation here; RAPI_LINK_LATENCY_MS=20 makes
# each call wait 20 ms before its answer, as a slow link would. Faults set
# in an earlier run stay in the image; they are listed when it is docked.
# The device is unplugged when setup.exe ends, and both end on Ctrl+C. The
# setup folder is build/setupfolder: files already there are left as they
# are, so their times stay and a second run shows which files the setup
# copies again.
# With no window manager on the display, the windows open inside a Wine
# virtual desktop, which gives them frames and captions. Should the device
# end while setup.exe runs, this terminal says so at once, with the command
# that docks it again. One run at a time uses a run folder's device: a
# second run is refused, and names the run that holds it.
# "device" and "cecopy" use the same Wine prefix as the docked device, so
# they reach it while it runs. The tests run with their own Wine prefixes
# and never touch this one, so tools/test.sh may run at the same time.
#
# TESH_RUN_DIR, a folder under build/, keeps a run apart from the one above:
# its Wine prefix, setup folder and images then lie there, and CEDEVICE_PIPE
# names its pipe.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
build=$repo/build
profiles="pocketpc hpc2000 hpcpro teshsize emulator wm5ppc wm6ppc"
link_speed=1000000   # bytes per second: about a USB cable
# Milliseconds each device call waits before its answer. No public source
# gives a typical round trip of a cradle, so none is added unless set.
link_latency=${RAPI_LINK_LATENCY_MS:-0}

. "$here/command-words.sh"
. "$here/wine-noise.sh"
usage() { print_usage "$0"; }
unknown() {
  echo "run: unknown $1 '$2' (profiles: $profiles); see: tools/run.sh --help" >&2
  exit 2
}
is_profile() { case " $profiles " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }
is_mobile() { case "$1" in wm5ppc | wm6ppc) return 0 ;; *) return 1 ;; esac; }
# The first loopback port from $1 up that nothing listens on.
free_loopback_port() {
  local port=$1
  while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
  echo "$port"
}

# Real windows on this display, in the run's display prefix; every program
# of a run shares it, so they share the device's pipe.
export TESH_WINE_DISPLAY=1
state=$build
if [ -n "${TESH_RUN_DIR:-}" ]; then
  state=$(realpath -m "$TESH_RUN_DIR")
  case "$state" in
    "$(realpath -m "$build")"/?*) ;;
    *) echo "run: TESH_RUN_DIR must lie under $build/" >&2; exit 2 ;;
  esac
  export TESH_WINE_PREFIX=$state/wine-display
else
  unset CEDEVICE_PIPE   # the default pipe, which "device" and "cecopy" reach
fi
# How this run is named in the commands it suggests for a second terminal.
run_command=tools/run.sh
[ -z "${TESH_RUN_DIR:-}" ] || run_command="TESH_RUN_DIR=$TESH_RUN_DIR $run_command"

# Device and copy commands for a second terminal, while a run is going on.
case "${1:-}" in
  -h|--help)
    usage
    exit 0 ;;
  device)
    shift
    profile=pocketpc
    if [ "$#" -gt 0 ] && is_profile "$1"; then
      profile=$1
      shift
    elif [ "$#" -gt 0 ] && [ "${1#-}" = "$1" ]; then
      unknown profile "$1"
    fi
    case " $* " in
      *" -h "*|*" --help "*)
        echo "tools/run.sh device [PROFILE] OPTION... runs cedevice.exe on ${state#"$repo"/}/device-image/PROFILE:"
        set -- --help ;;
      *" --serve "*)
        # Docked as the run command docks it, unless told otherwise.
        case " $* " in *" --link-speed "*) ;; *) set -- "$@" --link-speed "$link_speed" ;; esac
        case " $* " in *" --link-latency "*) ;; *) set -- "$@" --link-latency "$link_latency" ;; esac ;;
    esac
    mkdir -p "$state/device-image"
    cd "$state" && exec "$here/wine-run.sh" "$build/bin/cedevice.exe" "device-image/$profile" --profile "$profile" "$@" ;;
  cecopy)
    shift
    # A file of this PC that is not there is said at once, before a device
    # is looked for (a Windows path, Z:\... or \\..., is left to cecopy.exe).
    if [ "$#" -ge 2 ] && [[ $1 != *\\* && $1 != [A-Za-z]:* && $1 != -* ]] && [ ! -f "$1" ]; then
      echo "run: there is no file $1 on this PC to copy onto the device; see: tools/run.sh --help" >&2
      exit 2
    fi
    exec "$here/wine-run.sh" "$build/bin/cecopy.exe" "$@" ;;
esac

dock=1
profile=
network=
if [ "${1:-}" = --network ]; then network=1; shift; fi
if [ "${1:-}" = --no-device ]; then
  dock=0
  shift
elif [ "$#" -gt 0 ] && is_profile "$1"; then
  profile=$1
  shift
fi
if [ "$#" -gt 0 ]; then
  case "$1" in
    -*) unknown option "$1" ;;
    *) [ "$dock" = 0 ] || [ -n "$profile" ] || unknown profile "$1"; unknown word "$1" ;;
  esac
fi
profile=${profile:-pocketpc}

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
setupfolder=$state/setupfolder
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

# This run ends only what it started, by process id: its device, and
# setup.exe's process group (setup.exe, and the virtual desktop that starts
# it as a process of its own).
device_pid=
setup_group=
stop() {
  if [ -n "$1" ] && kill -0 -- "$1" 2>/dev/null; then
    kill -- "$1" 2>/dev/null || true
    wait "${1#-}" 2>/dev/null || true
  fi
}
trap 'stop "$setup_group"; stop "$device_pid"' EXIT
trap 'echo "run: stopped: ending setup.exe and the device"; exit 130' INT TERM

# Faults are kept in the image across runs; a device that still carries some
# says so before it fails calls for reasons the user no longer remembers.
report_faults() {
  local faults=$state/$1/faults.txt clear=
  [ -s "$faults" ] || return 0
  echo "The device still carries faults set earlier (${faults#"$repo"/}):"
  sed 's/^/  /' "$faults"
  while IFS='=' read -r name _; do
    [ -n "$name" ] && clear="$clear --fault $name="
  done < "$faults"
  echo "Clear them, while it runs, with: $run_command device $profile$clear"
}

# One run per run folder: its Wine prefix and pipe are the device's. The
# lock lives as long as this script; its file names the run that holds it.
mkdir -p "$state"
exec 8>>"$state/.run.lock"
if ! flock -n 8; then
  echo "run: another tools/run.sh uses this run folder's device and pipe: $(cat "$state/.run.lock.owner" 2>/dev/null || echo "a run")." >&2
  echo "run: setup.exe was not started. End that run first (Ctrl+C in its terminal), or keep this one apart:" >&2
  echo "  TESH_RUN_DIR=build/run2 tools/run.sh${profile:+ $profile}" >&2
  exit 1
fi
echo "process $$, profile ${profile}$([ "$dock" = 1 ] || echo " (no device)"), started $(date '+%H:%M:%S') in $(tty 2>/dev/null || echo "a terminal")" \
  > "$state/.run.lock.owner"

# Waits until the device says it is docked; false when it ended first (the
# image or the pipe was refused, and it said why).
device_docked() {
  local log=$1 attempt
  for attempt in $(seq 600); do
    grep -q '^docked: ' "$log" 2>/dev/null && return 0
    kill -0 "$device_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 0   # still starting after a minute: setup.exe waits for it as for a cradle
}

# Until something listens on the loopback port (the run's listener), at
# most 30 s.
await_listener() {
  local attempt
  for attempt in $(seq 300); do
    ss -Hltn "sport = :$1" 2>/dev/null | grep -q . && return 0
    command -v ss >/dev/null 2>&1 || { sleep 3; return 0; }
    sleep 0.1
  done
}

if [ -n "$network" ]; then
  # The listener from setup.exe's start, as the Linux launcher runs it.
  setup_command=("${setup_command[@]:0:${#setup_command[@]}-1}" "Z:${build//\//\\}\\bin\\rapidock.exe" setup.exe)
fi

# The device's lines go to this terminal and to a log, in which the run
# sees that it docked.
start_device() {
  device_log=$state/.device.log
  : > "$device_log"
  (cd "$state" && exec "$here/wine-run.sh" "$build/bin/cedevice.exe" "$image" --profile "$profile" \
      --link-speed "$link_speed" --link-latency "$link_latency" "${device_network[@]}") > >(exec 8>&-; tee -a "$device_log") 2>&1 8>&- &
  device_pid=$!
  echo "The device runs as process $device_pid"
  if ! device_docked "$device_log"; then
    wait "$device_pid" 2>/dev/null || true
    device_pid=
    echo "run: the device was not docked (see its line above), so setup.exe was not started." >&2
    return 1
  fi
}

if [ "$dock" = 1 ]; then
  image=device-image/$profile
  mkdir -p "$state/device-image"
  echo "Docking a simulated '$profile' device (image: ${state#"$repo"/}/$image, link $link_speed bytes per second," \
    "$link_latency ms delay per call)"
  report_faults "$image"
  device_network=()
  if [ -n "$network" ] && is_mobile "$profile"; then
    export RAPI_DESKTOP=127.0.0.1:5679 RAPI_DESKTOP2=${RAPI_DESKTOP2:-127.0.0.1:$(free_loopback_port 9991)}
    device_network=(--network 127.0.0.1 --desktop "$RAPI_DESKTOP2")
    echo "Over TCP, as a Windows Mobile device: it calls $RAPI_DESKTOP2 (RAPI_DESKTOP2) and opens its sessions there"
  elif [ -n "$network" ]; then
    export RAPI_DEVICE_PORT=${RAPI_DEVICE_PORT:-9990} RAPI_DESKTOP=127.0.0.1:5679
    device_network=(--network "127.0.0.1:$RAPI_DEVICE_PORT" --desktop "$RAPI_DESKTOP")
    echo "Over TCP: the device serves 127.0.0.1:$RAPI_DEVICE_PORT and docks to $RAPI_DESKTOP"
  fi
  # An older device docks once, when it starts: over TCP it starts once
  # setup.exe listens (below).
  if [ -z "$network" ] || is_mobile "$profile"; then start_device || exit 1; fi
else
  echo "No device docked: setup.exe waits for one, as it would with no handheld in its cradle."
  echo "To dock one, run in a second terminal (Ctrl+C there undocks it):"
  echo "  $run_command device [PROFILE] --serve"
fi

echo "Starting setup.exe in $setupfolder"
# Wine's noise about drive Z: on every Browse is left out of setup.exe's
# output (tools/wine-noise.sh).
(cd "$setupfolder" && exec setsid "$here/wine-run.sh" "${setup_command[@]}") \
  2> >(exec 8>&-; wine_noise_filter >&2) 8>&- &
setup_group=-$!
echo "setup.exe runs in process group ${setup_group#-}"
if [ "$dock" = 1 ] && [ -n "$network" ] && ! is_mobile "$profile"; then
  await_listener 5679
  start_device || echo "run: setup.exe finds no device." >&2
fi
# Waits for setup.exe; a device that ends before it is said at once.
status=0
ended=
if [ -n "$device_pid" ]; then wait -n -p ended "${setup_group#-}" "$device_pid" || status=$?; fi
if [ -n "$device_pid" ] && [ "$ended" = "$device_pid" ]; then
  device_pid=
  echo "run: the simulated device has ended; setup.exe now finds no device. Dock it again, in a second terminal:"
  echo "  $run_command device $profile --serve${device_network[*]:+ ${device_network[*]}}"
fi
if [ "$ended" != "${setup_group#-}" ]; then
  status=0
  wait "${setup_group#-}" || status=$?
fi
stop "$setup_group"   # what the virtual desktop left
setup_group=
stop "$device_pid"
device_pid=
echo "setup.exe ended with exit code $status"
exit "$status"
