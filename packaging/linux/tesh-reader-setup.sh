#!/bin/sh
# Tesh(TM) Reader Setup on Linux: runs setup.exe under Wine, with the
# stand-in rapi.dll as the bridge to a Windows CE handheld docked over its
# network link (the USB cable through the kernel's ipaq driver and pppd, or
# a serial cradle through pppd). Put the reader's variant files and any
# books beside setup.exe, dock the device, and run:
#
#   ./tesh-reader-setup.sh
#
# RAPI_DESKTOP   where to listen for the docking device: [ADDRESS][:PORT];
#                unless set, the PC's end of the link of README.txt,
#                192.168.131.102:5679 (an empty value: this machine only)
# RAPI_PEER      the only address a device may dock from; unless set, the
#                device's end of that link, 192.168.131.201
# RAPI_PASSWORD  the device's password, when it has one
# RAPI_LOG       a file that gets one line per remote API call (send it to
#                us when something goes wrong)
# TESH_WINE_PREFIX  the Wine prefix to use (default:
#                ~/.local/share/tesh-reader-setup/wine). An inherited
#                WINEPREFIX is ignored: the script puts its own rapi.dll
#                and fonts into the prefix's system folders, so it uses only
#                a prefix it made itself (marked by .tesh-reader-setup).
set -eu
here=$(cd "$(dirname "$0")" && pwd)

export WINEPREFIX="${TESH_WINE_PREFIX:-$HOME/.local/share/tesh-reader-setup/wine}"
marker=$WINEPREFIX/.tesh-reader-setup
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer prompts: the program needs neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# The link's two ends, as README.txt's pppd line makes them.
export RAPI_DESKTOP="${RAPI_DESKTOP-192.168.131.102:5679}"
export RAPI_PEER="${RAPI_PEER-192.168.131.201}"

wine=$(command -v wine || command -v wine64 || true)
if [ -z "$wine" ]; then
  echo "tesh-reader-setup: Wine is not installed (Debian: apt-get install wine wine64 fonts-wine)" >&2
  exit 127
fi

if [ ! -f "$marker" ]; then
  if [ -e "$WINEPREFIX" ] && [ -n "$(ls -A "$WINEPREFIX" 2>/dev/null)" ]; then
    echo "tesh-reader-setup: $WINEPREFIX holds files this script did not make; not touching it" \
         "(choose another folder with TESH_WINE_PREFIX)" >&2
    exit 2
  fi
  echo "tesh-reader-setup: making the Wine prefix $WINEPREFIX (once)"
  mkdir -p "$WINEPREFIX"
  : > "$marker"
fi
if [ ! -d "$WINEPREFIX/drive_c/windows/system32" ]; then
  "$wine" wineboot -i >/dev/null 2>&1 || true
  wineserver -w 2>/dev/null || true
fi

# setup.exe loads rapi.dll only from the system folder, as on Windows.
cp -f "$here/rapi.dll" "$WINEPREFIX/drive_c/windows/system32/rapi.dll"

# Wine's own fonts, among them the bitmap "MS Sans Serif" the dialogs are
# laid out in; without them some labels are cut.
for fonts in /usr/share/wine/fonts /usr/local/share/wine/fonts /opt/wine*/share/wine/fonts; do
  if [ -f "$fonts/sserife.fon" ]; then
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp -f "$fonts"/*.fon "$fonts"/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    break
  fi
done

# Nothing listens before setup.exe starts the remote API for an action.
echo "tesh-reader-setup: choose an action in setup.exe; when it shows" \
     "\"Waiting for a Windows CE device to connect...\", dock the device" \
     "(it is awaited on ${RAPI_DESKTOP:-127.0.0.1:5679}${RAPI_PEER:+ from $RAPI_PEER})"
cd "$here"
exec "$wine" setup.exe "$@"
