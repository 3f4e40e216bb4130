#!/usr/bin/env bash
# Runs one Windows program under Wine, in the project's own Wine prefix.
#
#   tools/wine-run.sh PROGRAM.exe [ARGS...]
#
# WINEPREFIX names the prefix (default: build/wine-headless beside this
# script's repository). A headless prefix uses Wine's null graphics driver,
# so dialogs, message boxes, focus and keyboard input work without an X
# server. TESH_WINE_DISPLAY=1 makes a prefix that shows real windows.
# The prefix is created on first use, under a lock, so parallel callers
# never race to create it.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")

if [ "${TESH_WINE_DISPLAY:-0}" = 1 ]; then
  export WINEPREFIX=${WINEPREFIX:-$repo/build/wine-display}
else
  export WINEPREFIX=${WINEPREFIX:-$repo/build/wine-headless}
fi
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer prompts: the program needs neither.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Code page 1252 for ANSI text, and UTF-8 host file names, so that device
# file names such as "Tesh(TM) Reader.lnk" can be stored in an image folder.
export LC_ALL=C.UTF-8
unset LANG LANGUAGE

wine_bin=$(command -v wine || command -v wine64 || true)
if [ -z "$wine_bin" ]; then
  echo "wine-run: Wine is not installed (apt-get install wine wine64)" >&2
  exit 127
fi

# What the project sets up in a prefix; raise it when set_up_prefix changes,
# and every existing prefix is set up again on its next use (not made anew).
prefix_setup_version=2

# Wine's own fonts, among them the bitmap "MS Sans Serif" (sserife.fon) the
# dialogs are laid out in, and Marlett for the caption buttons. This Wine
# does not put them into a new prefix, and without them GDI picks a wider
# host font for "MS Sans Serif" that cuts some labels.
wine_font_folder() {
  local folder
  for folder in /usr/share/wine/fonts /usr/local/share/wine/fonts \
                /opt/wine*/share/wine/fonts; do
    if [ -f "$folder/sserife.fon" ]; then
      printf '%s' "$folder"
      return 0
    fi
  done
  return 1
}

set_up_prefix() {
  local fonts
  if fonts=$(wine_font_folder); then
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp -f "$fonts"/*.fon "$fonts"/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  else
    echo "wine-run: Wine's fonts (package fonts-wine) not found; labels may be cut" >&2
  fi
}

prefix_ready() {
  [ "$(cat "$WINEPREFIX/.tesh-ready" 2>/dev/null)" = "$prefix_setup_version" ]
}

create_prefix() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.tesh-ready" ]; then
      rm -rf "$WINEPREFIX"
      "$wine_bin" wineboot -i >/dev/null 2>&1 || true
      if [ "${TESH_WINE_DISPLAY:-0}" != 1 ]; then
        "$wine_bin" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
      fi
      wineserver -w || true
    fi
    if ! prefix_ready; then
      set_up_prefix
      echo "$prefix_setup_version" > "$WINEPREFIX/.tesh-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
}

prefix_ready || create_prefix
# One server per prefix, started with its output closed, and Wine's own
# background processes started through it: whatever they inherit outlives
# the program, and a test runner waits for every holder of its output pipe.
wineserver -p 60 </dev/null >/dev/null 2>&1 || true
"$wine_bin" wineboot </dev/null >/dev/null 2>&1 || true

if [ "$#" -eq 0 ]; then
  exit 0   # only prepare the prefix
fi
exec "$wine_bin" "$@"
