#!/usr/bin/env bash
# Shell helpers that play a user on an X screen with real input and read the
# X server's own pixels with xwd. Sourced by tests/pixels/pixel_check.sh and
# tools/screenshots.sh, which run them inside xvfb-run.
#
# Why not just `xwd -root`: Wine gives the X windows of each process a
# colormap of its own. When the windows on the screen do not all share one
# colormap, xwd (with or without -screen) puts the image together region by
# region, and it reads all windows of one colormap from the first of them
# it meets, going up from the bottom of the stack. A message box over its
# dialog can then be read from the dialog's window, where the box covers
# it, and come out black though the screen shows it painted. A window that nothing of another colormap touches is read with
# one GetImage: `xwd -screen -id WINDOW` of Wine's own window for the box
# gives the screen's true pixels, and those are pasted over `xwd -root`.

# Dialog units of the "MS Sans Serif" 8 dialogs at 96 DPI, in pixels.
dlu_x() { echo $(( ($1 * 3 + 1) / 2 )); }
dlu_y() { echo $(( ($1 * 13 + 7) / 8 )); }

# Waits up to 30 s for a visible window named NAME (a regular expression)
# that is not in SKIP (window ids); prints its id.
wait_window() {
  local name=$1 skip=${2:-} id tries
  for ((tries = 0; tries < 150; tries++)); do
    for id in $(xdotool search --onlyvisible --name "$name" 2>/dev/null); do
      case " $skip " in *" $id "*) ;; *) echo "$id"; return 0 ;; esac
    done
    sleep 0.2
  done
  return 1
}

# Where a window lies on the screen and its size: "X Y WIDTH HEIGHT".
window_area() {
  xwininfo -id "$1" | awk '/Absolute upper-left X:/ { x = $NF } /Absolute upper-left Y:/ { y = $NF }
                           /Width:/ { w = $NF } /Height:/ { h = $NF } END { print x, y, w, h }'
}

# The window that the window manager put around a client window (its
# frame, with the caption), or the window itself when it has none.
frame_of() {
  local parent
  parent=$(xwininfo -children -id "$1" | awk '/Parent window id:/ { print $4 }')
  if [ -n "$parent" ] && ! xwininfo -id "$parent" | grep -q '(the root window)'; then
    echo "$parent"
  else
    echo "$1"
  fi
}

# Clicks, for real, the middle of a control at dialog units X Y W H of a
# dialog's client area (the X window Wine made for it).
click_control() {
  local window=$1 x=$2 y=$3 w=$4 h=$5 X Y
  read -r X Y _ _ < <(window_area "$window")
  xdotool mousemove $((X + $(dlu_x $((x + w / 2))))) $((Y + $(dlu_y $((y + h / 2))))) click 1
}

# Clicks row ROW (from 0) of a list box at dialog units X Y of a dialog,
# whose rows are ROW_PIXELS high.
click_list_row() {
  local window=$1 x=$2 y=$3 row=$4 row_pixels=$5 X Y
  read -r X Y _ _ < <(window_area "$window")
  xdotool mousemove $((X + $(dlu_x "$x") + 20)) $((Y + $(dlu_y "$y") + 2 + row * row_pixels + row_pixels / 2)) click 1
}

# Saves the screen's pixels of a window that Wine made (a dialog's or a
# box's client area) as a PNG: one GetImage of the root window over the
# window's area.
snap() {
  local window=$1 out=$2
  xdotool mousemove 1023 767
  sleep 0.3
  xwd -silent -screen -id "$window" | convert xwd:- "$out"
}

# Saves the screen's pixels of a Wine window together with the frame and
# caption that the window manager drew around it (frame_of) as a PNG: the
# frame from `xwd -root`, the window itself from snap, pasted at its place.
snap_framed() {
  local window=$1 out=$2 frame X Y W H x y
  frame=$(frame_of "$window")
  snap "$window" "$out.inner.png"
  read -r X Y W H < <(window_area "$frame")
  read -r x y _ _ < <(window_area "$window")
  xwd -silent -root | convert xwd:- -crop "${W}x${H}+${X}+${Y}" +repage \
    "$out.inner.png" -geometry "+$((x - X))+$((y - Y))" -composite "$out"
  rm -f "$out.inner.png"
}

# Starts openbox on this display and a display prefix of the driver's own,
# build/wine-NAME (with the stand-in as its system rapi.dll), and a device
# pipe of its own. Needs `repo` and `build`; what the caller starts goes in
# device_pid and setup_pid, and everything is ended when the script exits.
begin_driven_run() {
  openbox >/dev/null 2>&1 &
  openbox_pid=$!
  device_pid=
  setup_pid=
  driven_prefix=$build/wine-$1
  trap end_driven_run EXIT
  export TESH_WINE_DISPLAY=1 TESH_WINE_PREFIX=$driven_prefix WINEPREFIX=$driven_prefix
  export CEDEVICE_PIPE="\\\\.\\pipe\\cedevice-$1-$$"
  "$repo/tools/wine-run.sh" --system-rapi "$build/bin/rapi.dll"
}

end_driven_run() {
  [ -n "$setup_pid" ] && kill "$setup_pid" 2>/dev/null || true
  [ -n "$device_pid" ] && kill "$device_pid" 2>/dev/null || true
  WINEPREFIX=$driven_prefix wineserver -k >/dev/null 2>&1 || true
  kill "$openbox_pid" 2>/dev/null || true
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  . "$(dirname "$0")/command-words.sh"
  not_a_command "$0" "$@"
fi
