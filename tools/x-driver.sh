# Shell helpers that play a user on an X screen with real input and read the
# X server's own pixels. Sourced by tests/pixels/pixel_check.sh and
# tools/screenshots.sh; they run inside `xvfb-run -s "... -fbdir DIR"` and
# set SCREEN to DIR/Xvfb_screen0, Xvfb's screen memory as an XWD file.
#
# The pixels come from that file, not from `xwd -root`: Wine gives its
# windows a colormap of their own, so xwd reads each window on its own and
# puts the image together itself, and shows a message box that is on the
# screen over another window of the program as a black rectangle.

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

# Saves the screen's pixels of a window as a PNG, the pointer (which Xvfb
# draws into its screen memory) moved out of the way first.
snap() {
  local window=$1 out=$2 X Y W H
  xdotool mousemove 1023 767
  sleep 0.3
  read -r X Y W H < <(window_area "$window")
  convert "xwd:$SCREEN" -crop "${W}x${H}+${X}+${Y}" +repage "$out"
}
