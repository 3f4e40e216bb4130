#!/usr/bin/env bash
# Takes one picture of each window of setup.exe and keeps them as PNG files
# (default: docs/screenshots/). Rerun it whenever a window changes.
#
#   tools/screenshots.sh [OUTDIR]
#
# It runs the real setup.exe from a setup folder with the sample books on a
# virtual X server (Xvfb) under a small window manager (openbox), which
# draws the frames and captions, plays the user with real mouse clicks and
# keys (xdotool), and reads each window, frame included, from the X
# server's own pixels with xwd (see tools/x-driver.sh). The simulated Pocket
# PC is docked at 1 MB per second, so the progress window is caught during
# the copy of the large sample book. Afterwards the driver program
# (build/bin/screenshots.exe) lays out every dialog template with the
# prefix's fonts and names any label its control cuts. The Wine prefix is
# build/wine-screenshots.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
build=$repo/build
work=$build/screenshots
. "$here/command-words.sh"
answer_help "$0" "$@"
[ "${1:-}" = --in-display ] || refuse_options "$0" "" "$@"

if [ "${1:-}" != --in-display ]; then
  out=$(mkdir -p "${1:-$repo/docs/screenshots}" && cd "${1:-$repo/docs/screenshots}" && pwd)
  "$here/install-deps.sh"
  "$here/build.sh" "$build" setup rapi cedevice screenshots
  rm -rf "$work"
  mkdir -p "$work/setupfolder" "$work/pictures"
  status=0
  timeout 600 xvfb-run -a -s "-screen 0 1024x768x24" "$0" --in-display || status=$?
  count=0
  for picture in "$work/pictures"/*.png; do
    [ -e "$picture" ] || continue
    cp "$picture" "$out/"
    count=$((count + 1))
  done
  echo "screenshots: $count pictures in $out"
  exit "$status"
fi

# shellcheck source=x-driver.sh
. "$here/x-driver.sh"
pictures=$work/pictures
failures=0
fail() {
  echo "screenshots: $*" >&2
  failures=$((failures + 1))
}

# A display prefix of its own, under build/, and openbox.
begin_driven_run screenshots

# A setup folder as a user has it.
folder=$work/setupfolder
cp "$build/bin/setup.exe" "$folder/"
"$here/make-variants.sh" "$folder" >/dev/null
"$here/make-books.sh" "$folder" >/dev/null

# shoot WINDOW NAME: the window with its frame, once it has settled.
shoot() {
  sleep 1
  snap_framed "$1" "$pictures/$2"
  echo "screenshots: $2"
}

(cd "$folder" && exec "$here/wine-run.sh" setup.exe) >"$work/setup.log" 2>&1 &
setup_pid=$!

menu=$(wait_window "Reader Setup") || { fail "no main menu"; exit 1; }
shoot "$menu" main-menu.png

click_control "$menu" 7 73 59 21                      # Other Options
if options=$(wait_window "^Other Options$"); then
  shoot "$options" other-options.png
  click_control "$options" 167 160 50 14              # < Back
fi

menu=$(wait_window "Reader Setup") || { fail "no main menu after Other Options"; exit 1; }
sleep 1
click_control "$menu" 220 128 50 14                   # Exit
if question=$(wait_window "Reader Setup" "$menu"); then
  shoot "$question" message-box.png
  xdotool key n                                       # No (the box has the focus)
else
  fail "Exit asked nothing"
fi

# Install Book with no device docked yet: the connection dialog; then the
# device is docked and the wizard goes on.
sleep 1
click_control "$menu" 7 23 59 21                      # Install Book
if connecting=$(wait_window "^Establishing Connection$"); then
  shoot "$connecting" connection.png
fi
"$here/wine-run.sh" "$build/bin/cedevice.exe" "$work/image" --link-speed 1000000 >"$work/device.log" 2>&1 &
device_pid=$!

if books=$(wait_window "^Select Books to Install$"); then
  sleep 1
  # Rows (sorted by title, 13 pixels each): 0 A Tale of Two Cities,
  # 2 Complete Works of Shakespeare, 8 the newspaper's second issue.
  for row in 0 2 8; do click_list_row "$books" 7 23 "$row" 13; done
  shoot "$books" book-page.png
  click_control "$books" 143 141 50 14                # Next >
else
  fail "no book page"
fi

if storage=$(wait_window "^Select Storage Location$"); then
  click_list_row "$storage" 7 20 0 13                 # Main Memory
  shoot "$storage" storage-page.png
  click_control "$storage" 143 120 50 14              # Next >
else
  fail "no storage page"
fi

# The progress window during the copy of the 4 MiB book.
if progress=$(wait_window "Reader Setup" "$menu"); then
  sleep 2
  snap_framed "$progress" "$pictures/progress.png" && echo "screenshots: progress.png"
else
  fail "no progress window"
fi

if complete=$(wait_window "^Book Install Complete!$"); then
  shoot "$complete" install-complete.png
  click_control "$complete" 135 80 50 14              # Finish
else
  fail "no completion dialog"
fi
wait "$setup_pid" 2>/dev/null || true
setup_pid=

# Every label of every dialog template fits its control.
(cd "$build/bin" && timeout 120 "$here/wine-run.sh" screenshots.exe --gtest_filter='*Labels*') ||
  fail "a label is cut (see above)"

[ "$failures" -eq 0 ]
