#!/bin/sh
# Tesh(TM) Reader Setup on Linux: runs setup.exe under Wine, with the
# stand-in rapi.dll as the bridge to a Windows CE handheld docked over its
# network link: an older one (CE 3.x/4.x) on its USB cable through the
# kernel's ipaq driver and pppd, or a serial cradle through pppd; a Windows
# Mobile 5/6 one on its USB cable as a network device (rndis_host), its
# address from the device's DHCP server. The docking service rapidock.exe
# listens from the wizard's start and hands the device to the wizard. Run
# it on the folder that holds the reader's variant files and any books (a
# publisher's disc, a download):
#
#   tesh-reader-setup --folder /media/cdrom
#
# which looks for the device's cable itself (or name it: --serial DEVICE,
# --usb [INTERFACE]), brings the link up (through sudo when not run as
# root), and undoes it when the wizard ends. Run `tesh-reader-setup --help` for
# every option and variable. Installed from the Debian package it is
# /usr/bin/tesh-reader-setup with setup.exe, rapi.dll, rapidock.exe,
# tesh-reader-setup-link.sh and tesh-reader-setup-usb.sh in
# /usr/lib/tesh-reader-setup; from the zip, all lie in one folder.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
me=tesh-reader-setup

usage() {
  cat <<'EOF'
usage: tesh-reader-setup [--folder DIR] [--serial DEVICE [--speed BITS] | --usb [INTERFACE]] [--] [SETUP.EXE ARGUMENTS...]

Runs the Tesh Reader Setup wizard (setup.exe) under Wine on a setup folder;
the handheld docks over its network link. Without --serial or --usb it looks
for the cable itself: an ipaq serial port means --serial, an rndis_host
network interface --usb; it says which it chose, or what to plug in.

Options:
  --folder DIR     the setup folder: where the reader's variant files
                   (Tesh Reader.exe.TAG.SUFFIX, tarnlib.dll.TAG.SUFFIX) and
                   the books (*.vbk) are, e.g. a publisher's disc or a
                   download; nothing is written there. Default: the current
                   directory when it holds such files (with the zip, else
                   the zip's own folder)
  --serial DEVICE  bring the link up on this serial port first (the USB cable
                   with the ipaq driver: /dev/ttyUSB0; a serial cradle:
                   /dev/ttyS0): pppd runs in the background (through sudo
                   when not run as root), and ends when the wizard ends
  --speed BITS     the serial port's speed with --serial (default 115200)
  --usb [INTERFACE]  a Windows Mobile 5/6 handheld on its USB cable: waits
                   for the network interface whose driver is rndis_host (or
                   INTERFACE), takes its address from the device's DHCP
                   server (dhclient, dhcpcd, udhcpc or NetworkManager; else
                   169.254.2.2/24, the device being 169.254.2.1), lets the
                   bridge listen on its port 990 (through sudo when not
                   root), and undoes all that when the wizard ends
  --help           this text


Variables:
  RAPI_DESKTOP      where to listen for the docking device: [ADDRESS][:PORT];
                    unless set, the PC's end of the link, 192.168.131.102:5679
                    (with --usb, the address the link got, port 5679; an
                    empty value: this machine only)
  RAPI_DESKTOP2     where a Windows Mobile 5/6 device docks: [ADDRESS][:PORT]
                    (RAPI_DESKTOP's address, port 990), or off
  RAPI_PEER         the only address a device may dock from; unless set, the
                    far end of the link the script made: 192.168.131.201 for
                    the older link, with --usb the device's DHCP server
                    (else 169.254.2.1)
  RAPI_DEVICE       no listening: open the session straight to HOST[:PORT]
  RAPI_DEVICE_PORT  the device's remote API port when found by listening (990)
  RAPI_PASSWORD     the device's password, when it has one
  RAPI_CALL_SECONDS how long one call may take before the device is taken
                    for gone (60)
  RAPI_LOG          a file that gets one line per remote API call and per
                    event of the link (send it to us when something goes wrong)
  TESH_WINE_PREFIX  the Wine prefix to use (default:
                    $XDG_DATA_HOME/tesh-reader-setup/wine, that is
                    ~/.local/share/tesh-reader-setup/wine). An inherited
                    WINEPREFIX is ignored: the script puts its own rapi.dll
                    and fonts into the prefix's system folders, so it uses
                    only a prefix it made itself (marked by .tesh-reader-setup)
  WINEDEBUG, WINEDLLOVERRIDES  passed on to Wine (defaults: -all; no Mono or
                    Gecko installer)
  DISPLAY, WAYLAND_DISPLAY  the screen the wizard's windows open on; with
                    neither, the script stops and says so
  HOME, PATH        where the default Wine prefix is; where Wine, pppd,
                    sudo, ip and the DHCP client are found (and /usr/sbin,
                    /sbin)
EOF
}

say() { echo "$me: $*"; }
refuse() {
  echo "$me: $*" >&2
  exit 2
}

# The folder that holds setup.exe and rapi.dll: the script's own (the zip),
# or ../lib/tesh-reader-setup beside the bin folder it is installed in.
find_program_folder() {
  for candidate in "$here" "$here/../lib/tesh-reader-setup"; do
    if [ -f "$candidate/setup.exe" ] && [ -f "$candidate/rapi.dll" ] && [ -f "$candidate/rapidock.exe" ]; then
      (cd "$candidate" && pwd)
      return 0
    fi
  done
  return 1
}

# True when folder $1 holds a reader variant file or a book (names match
# without regard to case, as setup.exe's search does).
holds_setup_files() {
  for file in "$1"/*.[vV][bB][kK] "$1"/[tT][eE][sS][hH]" "[rR][eE][aA][dD][eE][rR].[eE][xX][eE].* \
              "$1"/[tT][aA][rR][nN][lL][iI][bB].[dD][lL][lL].*; do
    [ -f "$file" ] && return 0
  done
  return 1
}

what_a_setup_folder_holds() {
  cat <<'TEXT'
A setup folder holds the reader's variant files, one pair per device
platform and processor:
    Tesh Reader.exe.TAG.SUFFIX  and  tarnlib.dll.TAG.SUFFIX
    (e.g. Tesh Reader.exe.ppc300.arm and tarnlib.dll.ppc300.arm)
and any books to install (*.vbk, e.g. alice.vbk). Name it with
    tesh-reader-setup --folder DIR
or start tesh-reader-setup in it. Nothing is written into it.
TEXT
}

# The setup folder, printed: --folder's, else the current directory when it
# holds reader files or books, else (the zip) the script's own folder when
# it does. Otherwise the user is told what to name and, at a terminal (the
# menu's entry opens one), asked until a folder is named or Enter quits.
choose_setup_folder() {
  if [ -n "$1" ]; then
    [ -d "$1" ] || refuse "--folder $1: no such folder"
    (cd "$1" && pwd) || refuse "--folder $1: the folder cannot be opened"
    holds_setup_files "$1" ||
      say "$1 holds no reader files and no books; the wizard's Browse finds books elsewhere" >&2
    return 0
  fi
  for candidate in "$PWD" "$here"; do
    if holds_setup_files "$candidate"; then
      echo "$candidate"
      return 0
    fi
  done
  echo "$me: $PWD holds no reader files and no books: name the setup folder." >&2
  what_a_setup_folder_holds >&2
  [ -t 0 ] || exit 2
  while :; do
    printf '%s' "Setup folder (type or drop it here; Enter quits): " >&2
    read -r answer || exit 2
    # A dropped folder comes quoted by some terminals.
    answer=${answer#\'}
    answer=${answer%\'}
    [ -n "$answer" ] || exit 2
    [ -d "$answer" ] && break
    echo "$me: $answer: no such folder" >&2
  done
  choose_setup_folder "$answer"
}

# The user's own Wine prefix: $XDG_DATA_HOME (an absolute path, as the XDG
# rules say; else ~/.local/share)/tesh-reader-setup/wine.
default_wine_prefix() {
  case ${XDG_DATA_HOME:-} in
    /*) echo "$XDG_DATA_HOME/tesh-reader-setup/wine" ;;
    *) echo "$HOME/.local/share/tesh-reader-setup/wine" ;;
  esac
}

folder=
serial=
speed=
usb=
usb_if=
while [ $# -gt 0 ]; do
  case $1 in
    --help | -h) usage; exit 0 ;;
    --folder)
      [ $# -ge 2 ] && [ -n "$2" ] || refuse "--folder needs the setup folder, e.g. --folder /media/cdrom"
      folder=$2
      shift 2 ;;
    --serial)
      [ $# -ge 2 ] && [ -n "$2" ] || refuse "--serial needs the serial port, e.g. --serial /dev/ttyUSB0"
      serial=$2
      shift 2 ;;
    --speed)
      [ $# -ge 2 ] || refuse "--speed needs a speed in bits per second, e.g. --speed 115200"
      case $2 in
        '' | *[!0-9]*) refuse "--speed needs a speed in bits per second, e.g. --speed 115200, not \"$2\"" ;;
      esac
      speed=$2
      shift 2 ;;
    --usb)
      usb=1
      shift
      # An interface's name follows unless the next word is an option.
      case ${1:-} in
        '' | -*) ;;
        */* | .*) refuse "--usb takes a network interface's name (e.g. usb0), not \"$1\"" ;;
        *) usb_if=$1; shift ;;
      esac ;;
    --) shift; break ;;
    -*) refuse "unknown option $1 (see --help)" ;;
    *) break ;;
  esac
done
[ -z "$speed" ] || [ -n "$serial" ] || refuse "--speed goes with --serial"
[ -z "$serial" ] || [ -z "$usb" ] || refuse "--serial and --usb are two different cables: name one"
program=$(find_program_folder) ||
  refuse "setup.exe, rapi.dll and rapidock.exe are neither beside $0 nor in $here/../lib/tesh-reader-setup"
# shellcheck source=tesh-reader-setup-link.sh
. "$program/tesh-reader-setup-link.sh"
# shellcheck source=tesh-reader-setup-usb.sh
. "$program/tesh-reader-setup-usb.sh"
folder=$(choose_setup_folder "$folder")
# The kit's README.txt, which the messages below name: beside this script
# in the zip, with the package's documents when installed.
kit_readme=README.txt
[ -f "$program/README.txt" ] || kit_readme=/usr/share/doc/tesh-reader-setup/README.txt.gz

export WINEPREFIX="${TESH_WINE_PREFIX:-$(default_wine_prefix)}"
marker=$WINEPREFIX/.tesh-reader-setup
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer prompts: the program needs neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

wine=$(command -v wine || command -v wine64 || true)
[ -n "$wine" ] || {
  echo "$me: Wine is not installed (Debian: apt-get install wine wine64 fonts-wine)" >&2
  exit 127
}

# The wizard's windows need a screen, unless the prefix is a headless one
# made with Wine's null graphics driver.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] &&
   ! grep -qs '^"Graphics"="null"' "$WINEPREFIX/user.reg"; then
  echo "$me: no display: the wizard's windows need a graphical session (DISPLAY is not set)." \
       "Run the script in a desktop's terminal, or over ssh with -X." >&2
  exit 3
fi

# The link's two ends: as pppd makes them (README.txt), unless a road
# below finds them otherwise.
older_desktop=192.168.131.102:5679
older_peer=192.168.131.201
if [ -z "$serial" ] && [ -z "$usb" ] && [ -z "${RAPI_DESKTOP+set}" ] && [ -z "${RAPI_DEVICE:-}" ]; then
  choose_road
fi
if [ -z "$usb" ]; then
  export RAPI_DESKTOP="${RAPI_DESKTOP-$older_desktop}"
  export RAPI_PEER="${RAPI_PEER-$older_peer}"
fi
desktop_address=${RAPI_DESKTOP:-}
desktop_address=${desktop_address%:*}

if [ -n "$serial" ]; then
  [ -c "$serial" ] || refuse "$serial is no serial port here: connect the cradle or cable, and for USB load" \
    "the driver (sudo modprobe ipaq), or name the port with --serial (/dev/ttyUSB0, /dev/ttyS0)"
  pppd=$(find_pppd)
  [ -n "$pppd" ] || {
    echo "$me: pppd is not installed; it makes the link to the device (Debian: apt-get install ppp)" >&2
    exit 127
  }
  case $desktop_address in
    '' | 127.* | 0.0.0.0) refuse "--serial needs RAPI_DESKTOP to name the PC's end of the link" \
      "(unset, it is 192.168.131.102:5679), not \"$RAPI_DESKTOP\"" ;;
  esac
  [ -n "$RAPI_PEER" ] || refuse "--serial needs RAPI_PEER, the device's end of the link (unset, it is 192.168.131.201)"
fi

if [ ! -f "$marker" ]; then
  if [ -e "$WINEPREFIX" ] && [ -n "$(ls -A "$WINEPREFIX" 2>/dev/null)" ]; then
    echo "$me: $WINEPREFIX holds files this script did not make; not touching it" \
         "(choose another folder with TESH_WINE_PREFIX)" >&2
    exit 2
  fi
  say "making the Wine prefix $WINEPREFIX (once)"
  mkdir -p "$WINEPREFIX"
  : > "$marker"
fi

# The prefix is made ready before the link comes up, so that the docking
# service listens within a moment of "dock the device now": a device calls
# once when its link comes up.
if [ ! -d "$WINEPREFIX/drive_c/windows/system32" ]; then
  "$wine" wineboot -i >/dev/null 2>&1 || true
  wineserver -w 2>/dev/null || true
fi

# setup.exe loads rapi.dll only from the system folder, as on Windows.
cp -f "$program/rapi.dll" "$WINEPREFIX/drive_c/windows/system32/rapi.dll"

# Wine's own fonts, among them the bitmap "MS Sans Serif" the dialogs are
# laid out in; without them some labels are cut.
for fonts in /usr/share/wine/fonts /usr/local/share/wine/fonts /opt/wine*/share/wine/fonts; do
  if [ -f "$fonts/sserife.fon" ]; then
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp -f "$fonts"/*.fon "$fonts"/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    break
  fi
done

if [ -n "$serial" ]; then
  serial_link_up
elif [ -n "$usb" ]; then
  usb_link_up
elif command -v ip >/dev/null 2>&1; then
  case $desktop_address in
    '' | 127.* | 0.0.0.0) ;;
    *)
      if ! ip -o -4 addr show 2>/dev/null | grep -q "inet $desktop_address/"; then
        say "$desktop_address is not on this PC yet: bring the link up ($kit_readme, step 2) or start with --serial /dev/ttyUSB0"
      fi ;;
  esac
fi

# rapidock.exe listens from now on, for as long as the wizard runs, and
# waits for its address when the link is not up yet; it starts the wizard
# (by its Windows path: Wine's Z: drive is the root folder) and ends with it.
say "the device is awaited on ${RAPI_DESKTOP:-127.0.0.1:5679}${RAPI_PEER:+ from $RAPI_PEER}; it may dock at any time"
# The setup folder is setup.exe's start directory, where it looks for the
# reader's files and the books.
say "setup folder: $folder"
cd "$folder"
setup_exe="Z:$(printf '%s' "$program/setup.exe" | tr / '\\')"
if [ -z "$serial" ] && [ -z "$usb" ]; then
  exec "$wine" "$program/rapidock.exe" "$setup_exe" "$@"
fi
# The wizard runs in the background, so that Ctrl+C, TERM and a hang-up are
# acted on at once (a shell runs its traps only between commands), and
# without the keeper's pipe.
status=0
"$wine" "$program/rapidock.exe" "$setup_exe" "$@" 9>&- &
wizard_pid=$!
# (A function keeps a copy of a descriptor it is run without: the
# subshell closes the keeper's pipe itself.)
(exec 9>&-; watch_link) &
watcher_pid=$!
wait "$wizard_pid" || status=$?
wizard_pid=
kill "$watcher_pid" 2>/dev/null || true
exit "$status"
