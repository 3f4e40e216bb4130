#!/usr/bin/env bash
# A Wine user's own prefix, named by an exported WINEPREFIX, comes out of the
# test command's prefix step and of the run command exactly as it went in; a
# prefix chosen outside build/, or a folder under build/ that the scripts did
# not make, is refused and left as it was.
#
#   wine_prefix_safety.sh REPO PREFIX_STEP...
set -uo pipefail

# The run command under a virtual display (this script calls itself there),
# setup.exe ended once it runs.
if [ "$1" = --run-and-end-setup ]; then
  repo=$2
  "$repo/tools/run.sh" > "$3" 2>&1 &
  run=$!
  ended=no
  for attempt in $(seq 120); do
    TESH_WINE_DISPLAY=1 "$repo/tools/wine-run.sh" taskkill /f /im setup.exe >/dev/null 2>&1 && ended=yes && break
    sleep 1
  done
  wait "$run"
  [ "$ended" = yes ] && grep -q "setup.exe ended" "$3"
  exit
fi

repo=$1
shift
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

timeout 500 xvfb-run -a "$0" --run-and-end-setup "$repo" "$home.run.log" || fail "the run command did not run setup.exe: $(cat "$home.run.log")"

[ "$(snapshot "$home")" = "$before_home" ] || fail "the user's prefix (WINEPREFIX) changed"
[ "$(snapshot "$foreign")" = "$before_foreign" ] || fail "a folder under build/ that is not a prefix of ours changed"
[ "$failures" -eq 0 ] && echo "wine_prefix_safety: OK"
exit $((failures > 0))
