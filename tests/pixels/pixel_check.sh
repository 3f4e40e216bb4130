#!/usr/bin/env bash
# Reads the X server's own pixels after real input: setup.exe runs on a
# virtual X server (Xvfb) under a small window manager (openbox), is driven
# with real mouse clicks (xdotool), and each message box it opens must show
# its text on the screen:
#   - the abort question, reached by clicking Exit on the main menu;
#   - the "Error" box over the book page (Next with every selected book's
#     file gone), with a simulated device docked.
#
#   tests/pixels/pixel_check.sh BUILD_DIR
#
# The pixels are read with `xwd -screen -id` of the box's own window, one
# GetImage of the screen over the box (tools/x-driver.sh says why not
# `xwd -root`). The pictures are kept in BUILD_DIR/pixel-check/.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)

if [ "${1:-}" != --in-display ]; then
  build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
  for tool in xvfb-run Xvfb openbox xdotool xwininfo xwd convert; do
    command -v "$tool" >/dev/null || { echo "pixel check: $tool is missing (tools/install-deps.sh)" >&2; exit 1; }
  done
  work=$build/pixel-check
  rm -rf "$work"
  mkdir -p "$work"
  # -a: a free display number, so parallel runs keep apart.
  exec timeout 280 xvfb-run -a -s "-screen 0 1024x768x24" \
    "$0" --in-display "$build" "$work"
fi
build=$2
work=$3
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# shellcheck source=../../tools/x-driver.sh
. "$repo/tools/x-driver.sh"

# A painted box: mostly its light face, and some dark text on it. A box
# that stayed black, or one with its face but no text, fails.
check_painted() {
  local what=$1 picture=$2 light dark
  light=$(convert "$picture" -colorspace Gray -threshold 70% -format '%[fx:mean]' info:)
  dark=$(convert "$picture" -colorspace Gray -threshold 30% -negate -format '%[fx:mean]' info:)
  if awk -v l="$light" -v d="$dark" 'BEGIN { exit !(l >= 0.6 && d >= 0.004) }'; then
    echo "ok: $what shows its text (light $light, text $dark)"
  else
    fail "$what is not painted (light share $light, dark share $dark); picture: $picture"
  fi
}

# A display prefix of its own, under build/, and openbox.
begin_driven_run pixels

# A setup folder with two books, and a device docked on a pipe of its own.
folder=$work/setupfolder
mkdir -p "$folder"
cp "$build/bin/setup.exe" "$folder/"
"$repo/tools/make-books.sh" "$work/books" >/dev/null
cp "$work/books/moby-dick.vbk" "$work/books/time-machine.vbk" "$folder/"
"$repo/tools/wine-run.sh" "$build/bin/cedevice.exe" "$work/image" >"$work/device.log" 2>&1 &
device_pid=$!

(cd "$folder" && exec "$repo/tools/wine-run.sh" setup.exe) >"$work/setup.log" 2>&1 &
setup_pid=$!

# 1. Exit on the main menu, clicked: the abort question.
menu=$(wait_window "Reader Setup") || { fail "the main menu did not appear"; exit 1; }
sleep 1
click_control "$menu" 220 128 50 14   # Exit
if box=$(wait_window "Reader Setup" "$menu"); then
  sleep 1.5
  snap "$box" "$work/abort-question.png"
  check_painted "the abort question" "$work/abort-question.png"
  xdotool key n                       # No (the box has the focus): back to the main menu
else
  fail "clicking Exit opened no abort question"
fi

# 2. Install Book, clicked: the book page; the books' files removed, then
# Select All and Next: the "Error" box over the page.
sleep 1
click_control "$menu" 7 23 59 21      # Install Book
if page=$(wait_window "Select Books to Install"); then
  sleep 1
  rm -f "$folder"/*.vbk
  click_control "$page" 7 105 50 14   # Select All
  sleep 0.5
  click_control "$page" 143 141 50 14 # Next
  if box=$(wait_window "^Error$"); then
    sleep 1.5
    snap "$box" "$work/error-over-book-page.png"
    check_painted "the error box over the book page" "$work/error-over-book-page.png"
  else
    fail "Next with the books gone opened no error box"
  fi
else
  fail "Install Book did not reach the book page"
fi

if [ "$failures" -gt 0 ]; then
  echo "pixel check: $failures failures (pictures in $work)" >&2
  exit 1
fi
echo "pixel check: every message box shows its text"
