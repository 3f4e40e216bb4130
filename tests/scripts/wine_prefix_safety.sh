#!/usr/bin/env bash
# A Wine user's own prefix, named by an exported WINEPREFIX, comes out of the
# test command's prefix step and of the run command exactly as it went in; a
# prefix chosen outside build/, or a folder under build/ that the scripts did
# not make, is refused and left as it was.
#
#   wine_prefix_safety.sh REPO WINE_TEST PREFIX_STEP...
#
# WINE_TEST is a test program with Docking tests, run beside the demo.
# Also the commands' help and refusals: every command in tools/ answers
# --help with its own usage without building, and names a wrong word with
# the choices; beside the running demo, a second run command, a second
# device on its pipe and a misspelt fault are refused, and the device's end
# is said in the run's terminal at once. And a run's output is let go as
# soon as its program ends, though another program of the prefix goes on.
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
  # Refusals beside the running demo: its output, its exit code, a text.
  refused() {
    local expect=$1 out code
    shift
    out=$(timeout 120 "$@" 2>&1) && code=0 || code=$?
    [ "$code" != 0 ] && [ "$code" != 124 ] || { echo "demo: not refused ($code): $*: $out" >> "$log"; ok=no; }
    case "$out" in *"$expect"*) ;; *) echo "demo: $*: no \"$expect\" in: $out" >> "$log"; ok=no ;; esac
    case "$out" in *"Starting setup.exe"*) echo "demo: $* started setup.exe" >> "$log"; ok=no ;; esac
  }
  run_pid=$(sed -n 's/^The device runs as process //p' "$log")
  refused "another tools/run.sh uses this run folder's device and pipe: process $run" "$repo/tools/run.sh"
  refused "is already served by the device of" "$repo/tools/run.sh" device hpc2000 --serve
  refused "(faults: refuse_startup, drop_after_calls" "$repo/tools/run.sh" device --fault capacty=100
  clear=$(sed -n 's/^Clear them, while it runs, with: //p' "$log")
  check eval "(cd '$repo' && $clear)" >/dev/null
  check test ! -s "$TESH_RUN_DIR/device-image/pocketpc/faults.txt"
  # The device ends while setup.exe runs: said at once, with the command
  # that docks it again.
  check test -n "$run_pid"
  [ -z "$run_pid" ] || kill "$run_pid"
  for attempt in $(seq 100); do grep -q '^run: the simulated device has ended' "$log" && break; sleep 0.2; done
  check grep -q "^  TESH_RUN_DIR=$TESH_RUN_DIR tools/run.sh device pocketpc --serve" "$log"
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

# Help and wrong words: the command, its exit code, a text its output must
# hold, and a text it must not hold (if any). --help builds nothing: the
# build's log stays as it was.
ninja_log_before=$(stat -c %Y "$repo/build/.ninja_log" 2>/dev/null)
while IFS='|' read -r words status expect absent; do
  read -ra command <<< "$words"
  out=$(cd "$repo" && timeout 60 "${command[@]}" 2>&1) && code=0 || code=$?
  [ "$code" = "$status" ] || fail "$words: exit code $code, not $status: $out"
  case "$out" in *"$expect"*) ;; *) fail "$words: no \"$expect\" in: $out" ;; esac
  if [ -n "$absent" ]; then
    case "$out" in *"$absent"*) fail "$words: \"$absent\" in: $out" ;; esac
  fi
done <<'ROWS'
tools/run.sh --help|0|tools/run.sh [PROFILE]
tools/test.sh --help|0|tools/test.sh -R device
tools/build.sh -h|0|tools/build.sh [BUILD_DIR [TARGET...]]
tools/build-i686.sh --help|0|for 32-bit
tools/package.sh --help|0|Makes the release zips
tools/check-packages.sh --help|0|tools/check-packages.sh PACKAGES_64
tools/install-deps.sh --help|0|Installs the Debian packages
tools/make-books.sh --help|0|tools/make-books.sh --large DIR
tools/make-variants.sh --help|0|tools/make-variants.sh DIR
tools/screenshots.sh --help|0|tools/screenshots.sh [OUTDIR]
tools/wine-run.sh --help|0|tools/wine-run.sh [--system-rapi FILE]
tools/bench-in-debian13.sh --help|0|tools/bench-in-debian13.sh [MEBIBYTES [ROUNDS [compare]]]
tools/check-layers.sh --help|0|tools/check-layers.sh [REPOSITORY]
tools/make-deb.sh --help|0|tools/make-deb.sh BUILD_DIR OUT_DIR
tools/make-icon.sh --help|0|tools/make-icon.sh ICON_FILE
tools/debian-root.sh --help|0|tools/debian-root.sh make SUITE ARCH FOLDER
tools/debian-root.sh build|2|unknown word 'build' (make, run, reachable)
tools/make-deb.sh --fast|2|unknown option '--fast' (options: --help)
tools/check-layers.sh --all|2|unknown option '--all' (options: --help)
tools/package.sh -x|2|unknown word '-x' (it takes none)
tools/build-i686.sh now|2|unknown word 'now'
tools/build.sh --fast|2|unknown option '--fast' (options: --help)
tools/make-books.sh --big books|2|unknown option '--big' (options: --large --help)
tools/wine-run.sh --prefix x|2|unknown option '--prefix'
tools/run.sh --bogus|2|unknown option '--bogus' (profiles: pocketpc hpc2000 hpcpro teshsize emulator wm5ppc wm6ppc)
tools/run.sh hpc200|2|unknown profile 'hpc200' (profiles: pocketpc hpc2000 hpcpro teshsize emulator wm5ppc wm6ppc)
tools/run.sh device hpc200 --list|2|unknown profile 'hpc200' (profiles: pocketpc hpc2000 hpcpro teshsize emulator wm5ppc wm6ppc)
tools/test.sh --bogus|2|unknown option '--bogus' (ctest's options
tools/test.sh -R|2|-R needs a value
tools/command-words.sh|2|holds helpers that other scripts read
tools/x-driver.sh --help|0|play a user on an X screen
tools/wine-noise.sh --help|0|tools/wine-noise.sh [FILE...]
tools/check-layers.sh frobnicate|2|unknown repository 'frobnicate'
tools/bench-in-debian13.sh --bogus|2|unknown option '--bogus' (MEBIBYTES ROUNDS compare)
tools/run.sh cecopy nosuchfile.vbk \My-Documents\nosuchfile.vbk|2|there is no file nosuchfile.vbk on this PC
env TESH_RUN_DIR=build/prefix-safety-demo tools/run.sh device --help|0|runs cedevice.exe on build/prefix-safety-demo/device-image/PROFILE
tools/wine-noise.sh tests/scripts/wine-noise.txt|0|err:winediag: a line that stays|Z:
tools/wine-noise.sh no-such-log.txt|2|unknown file 'no-such-log.txt' (there is no such file)
tools/e2e-32bit.sh --help|0|tools/e2e-32bit.sh          as root
tools/e2e-32bit.sh now|2|unknown word 'now' (it takes none)
ROWS
[ "$(stat -c %Y "$repo/build/.ninja_log" 2>/dev/null)" = "$ninja_log_before" ] || fail "a --help built something"

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

# The Linux zip's launcher, too, uses only a prefix it made itself (run
# from a kit folder with a book, which it would otherwise take).
kit=$(mktemp -d)
cp "$repo/packaging/linux/tesh-reader-setup.sh" "$repo/packaging/linux/tesh-reader-setup-usb.sh" \
  "$repo/packaging/linux/tesh-reader-setup-link.sh" "$kit/"
touch "$kit/setup.exe" "$kit/rapi.dll" "$kit/rapidock.exe" "$kit/alice.vbk"
if out=$(DISPLAY=${DISPLAY:-:0} TESH_WINE_PREFIX=$foreign timeout 60 sh "$kit/tesh-reader-setup.sh" 2>&1) ||
   [[ "$out" != *"holds files this script did not make"* ]]; then
  fail "the Linux launcher used a folder it did not make: $out"
fi
rm -rf "$kit"

# A run's output is free as soon as its program ends, though another
# program of the prefix goes on: the prefix's desktop process, started by
# the first program's first window, holds that program's standard error.
desktop_releases_output() {
  local bin fifo reader short keeper pid holder= attempt
  bin=$(dirname "$wine_test")
  fifo=$home.output
  mkfifo "$fifo"
  cat "$fifo" > "$home.short.log" &
  reader=$!
  CEDEVICE_PIPE='\\.\pipe\cedevice-prefix-safety-short' "$repo/tools/wine-run.sh" "$bin/test_shell.exe" \
    --gtest_filter='Menus.*' --gtest_repeat=3 > "$fifo" 2>&1 &
  short=$!
  for attempt in $(seq 150); do
    for pid in $(pgrep -f 'explorer.exe /desktop'); do
      [ "/proc/$pid/fd/2" -ef "$fifo" ] && holder=$pid
    done
    [ -n "$holder" ] && break
    sleep 0.2
  done
  CEDEVICE_PIPE='\\.\pipe\cedevice-prefix-safety-keeper' "$repo/tools/wine-run.sh" "$bin/setup.exe" \
    >/dev/null 2>&1 &
  keeper=$!
  wait "$short" || fail "the program with windows failed: $(cat "$home.short.log")"
  for attempt in $(seq 100); do
    kill -0 "$reader" 2>/dev/null || break
    sleep 0.2
  done
  [ -n "$holder" ] || fail "no desktop process held the output of the first program with windows"
  kill -0 "$reader" 2>/dev/null && fail "the output of a program that had ended was held 20 s beyond it"
  kill -0 "$keeper" 2>/dev/null || fail "the program that went on did not"
  kill "$keeper" "$reader" 2>/dev/null
  wait "$keeper" "$reader" 2>/dev/null
  rm -f "$fifo" "$home.short.log"
}
desktop_releases_output

timeout 500 xvfb-run -a -s "-screen 0 1024x768x24" "$0" --demo-beside-tests "$repo" "$home.run.log" "$wine_test" "$@" ||
  fail "the demo of the run command did not run beside the tests as it should: $(cat "$home.run.log")"

[ "$(snapshot "$home")" = "$before_home" ] || fail "the user's prefix (WINEPREFIX) changed"
[ "$(snapshot "$foreign")" = "$before_foreign" ] || fail "a folder under build/ that is not a prefix of ours changed"
[ "$failures" -eq 0 ] && echo "wine_prefix_safety: OK"
exit $((failures > 0))
