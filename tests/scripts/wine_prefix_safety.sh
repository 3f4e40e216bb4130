#!/usr/bin/env bash
# A Wine user's own prefix, named by an exported WINEPREFIX, comes out of the
# test command's prefix step and of the run command exactly as it went in; a
# prefix chosen outside build/, or a folder under build/ that the scripts did
# not make, is refused and left as it was.
#
#   wine_prefix_safety.sh REPO WINE_TEST PREFIX_STEP...
#
# WINE_TEST is a test program with Docking tests, run beside the demo.
set -uo pipefail

# The run command as a demo under a virtual display (this script calls itself
# there), in a run folder of its own, with a fault left in its image by an
# earlier run. Beside it run the test suite's prefix step and one wine test;
# the demo's main menu and device must outlive them, and the run command
# must then end setup.exe and its device when it is stopped.
if [ "$1" = --demo-beside-tests ]; then
  repo=$2 log=$3 wine_test=$4
  shift 4
  # shellcheck source=../../tools/x-driver.sh
  . "$repo/tools/x-driver.sh"
  export TESH_RUN_DIR=$repo/build/prefix-safety-demo CEDEVICE_PIPE="\\\\.\\pipe\\cedevice-prefix-safety-$$"
  rm -rf "$TESH_RUN_DIR/device-image"
  openbox >/dev/null 2>&1 &
  openbox=$!
  for attempt in $(seq 50); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break; sleep 0.2; done
  "$repo/tools/run.sh" device --fault close_delay_ms=700 >/dev/null
  "$repo/tools/run.sh" > "$log" 2>&1 &
  run=$!
  trap 'kill "$run" "$openbox" 2>/dev/null' EXIT
  ok=yes
  check() { "$@" || { echo "demo: failed: $*" >> "$log"; ok=no; }; }
  for attempt in 1 2 3 4; do wait_window "Reader Setup" >/dev/null && break; done
  check wait_window "Reader Setup" >/dev/null
  check grep -q "^  close_delay_ms=700" "$log"
  check "$@"
  check env CEDEVICE_PIPE='\\.\pipe\cedevice-prefix-safety-test' TESH_WINE_DISPLAY=0 \
    "$repo/tools/wine-run.sh" "$wine_test" --gtest_filter='Docking.PluggedDevice*' >/dev/null
  check xdotool search --onlyvisible --name "Reader Setup" >/dev/null
  echo "a file to copy" > "$TESH_RUN_DIR/copied.txt"
  check "$repo/tools/run.sh" cecopy "$TESH_RUN_DIR/copied.txt" '\My Documents\copied.txt' >/dev/null
  clear=$(sed -n 's/^Clear them, while it runs, with: //p' "$log")
  check eval "(cd '$repo' && $clear)" >/dev/null
  check test ! -s "$TESH_RUN_DIR/device-image/pocketpc/faults.txt"
  group=$(sed -n 's/^setup.exe runs in process group //p' "$log")
  kill "$run"
  wait "$run"
  running() { kill -0 -- "-$group" 2>/dev/null || xdotool search --onlyvisible --name "Reader Setup" >/dev/null; }
  for attempt in $(seq 50); do running || break; sleep 0.2; done
  [ -n "$group" ] && ! running || { echo "demo: setup.exe outlived the run command" >> "$log"; ok=no; }
  [ "$ok" = yes ]
  exit
fi

repo=$1
wine_test=$2
shift 2
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

home=$(mktemp -d)
foreign=$(mktemp -d -p "$repo/build" foreign-prefix.XXXXXX)
trap 'rm -rf "$home" "$home.run.log" "$foreign" "$foreign.lock"' EXIT
mkdir -p "$home/.wine/drive_c/Program Files/Editor"
echo "a program of the user's" > "$home/.wine/drive_c/Program Files/Editor/editor.exe"
echo "WINE REGISTRY Version 2" > "$home/.wine/system.reg"
echo "a file of the user's" > "$foreign/notes.txt"

# Names, sizes, times, modes and contents of everything in a folder.
snapshot() {
  (cd "$1" && find . -printf '%p %y %s %T@ %m\n' | sort && find . -type f -exec sha256sum {} + | sort)
}
before_home=$(snapshot "$home")
before_foreign=$(snapshot "$foreign")
export WINEPREFIX=$home/.wine

"$@" || fail "the prefix step failed with WINEPREFIX set"

for refused in "$home/.wine" "$foreign" "$repo/build/../tools"; do
  if TESH_WINE_PREFIX=$refused "$repo/tools/wine-run.sh" cmd /c exit 0 2>/dev/null; then
    fail "TESH_WINE_PREFIX=$refused was used"
  fi
done

# The Linux zip's launcher, too, uses only a prefix it made itself.
if TESH_WINE_PREFIX=$foreign timeout 60 sh "$repo/packaging/linux/tesh-reader-setup.sh" >/dev/null 2>&1; then
  fail "the Linux launcher used a folder it did not make"
fi

timeout 500 xvfb-run -a -s "-screen 0 1024x768x24" "$0" --demo-beside-tests "$repo" "$home.run.log" "$wine_test" "$@" ||
  fail "the demo of the run command did not run beside the tests as it should: $(cat "$home.run.log")"

[ "$(snapshot "$home")" = "$before_home" ] || fail "the user's prefix (WINEPREFIX) changed"
[ "$(snapshot "$foreign")" = "$before_foreign" ] || fail "a folder under build/ that is not a prefix of ours changed"
[ "$failures" -eq 0 ] && echo "wine_prefix_safety: OK"
exit $((failures > 0))
