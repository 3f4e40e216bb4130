#!/usr/bin/env bash
# Takes one picture of each window of setup.exe and keeps them as PNG files
# (default: docs/screenshots/). Rerun it whenever a window changes.
#
#   tools/screenshots.sh [OUTDIR]
#
# It runs the real setup.exe from a setup folder with the sample books
# under a virtual X server (Xvfb), inside a Wine virtual desktop, so that
# Wine draws every window with its caption and frame; the driver program
# (build/bin/screenshots.exe) docks a simulated Pocket PC, plays the user
# with the test robot and copies each window off the screen. It also lays
# out every dialog template and names any label its control cuts. The Wine
# prefix is build/wine-screenshots, set up as the display prefix is.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")

# The driver runs under a virtual X server: this script calls itself there.
if [ "${1:-}" = "--in-display" ]; then
  "$here/wine-run.sh" --system-rapi "$repo/build/bin/rapi.dll"
  # Wine's own tools below, in the prefix wine-run.sh has just prepared.
  export WINEPREFIX=$TESH_WINE_PREFIX
  # Every top-level window inside one Wine virtual desktop of 800x600.
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f >/dev/null 2>&1
  # A program that crashes prints its backtrace instead of asking on screen.
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /d 1 /f >/dev/null 2>&1
  # A desktop started before these settings goes on without them.
  wineserver -k 2>/dev/null || true
  status=0
  timeout 600 "$here/wine-run.sh" "$repo/build/bin/screenshots.exe" || status=$?
  wineserver -k 2>/dev/null || true
  exit "$status"
fi

out=$(mkdir -p "${1:-$repo/docs/screenshots}" && cd "${1:-$repo/docs/screenshots}" && pwd)

"$here/install-deps.sh"
build=$repo/build
"$here/build.sh" "$build" setup rapi cedevice screenshots

# A setup folder as a user has it (no rapi.dll: the stand-in is installed as
# the Wine prefix's system rapi.dll), plus one large book, so that the
# picture of the progress window catches a copy half done.
work=$build/screenshots
rm -rf "$work"
mkdir -p "$work/setupfolder" "$work/pictures"
cp "$build/bin/setup.exe" "$work/setupfolder/"
"$here/make-variants.sh" "$work/setupfolder" >/dev/null
"$here/make-books.sh" "$work/setupfolder" >/dev/null
"$here/make-books.sh" --large "$work/setupfolder" >/dev/null

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

export TESH_WINE_DISPLAY=1
export TESH_WINE_PREFIX=$build/wine-screenshots
export TESH_SHOTS_SETUP TESH_SHOTS_OUT CEDEVICE_PIPE='\\.\pipe\cedevice-screenshots'
TESH_SHOTS_SETUP=$(windows_path "$work/setupfolder")
TESH_SHOTS_OUT=$(windows_path "$work/pictures")

status=0
xvfb-run -a -s "-screen 0 1024x768x24" "$here/screenshots.sh" --in-display || status=$?

count=0
for picture in "$work/pictures"/*.png; do
  [ -e "$picture" ] || continue
  cp "$picture" "$out/"
  count=$((count + 1))
done
echo "screenshots: $count pictures in $out"
exit "$status"
