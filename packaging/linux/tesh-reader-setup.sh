#!/bin/sh
# Tesh(TM) Reader Setup on Linux: runs setup.exe under Wine, with the
# stand-in rapi.dll as the bridge to a Windows CE handheld docked over its
# network link (the USB cable through the kernel's ipaq driver and pppd, or
# a serial cradle through pppd). Put the reader's variant files and any
# books beside setup.exe, and run, from the USB cable:
#
#   sudo modprobe ipaq
#   ./tesh-reader-setup.sh --serial /dev/ttyUSB0
#
# which brings the link up with pppd (through sudo when not run as root),
# and ends it when the wizard ends. Run `./tesh-reader-setup.sh --help` for
# every option and variable.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
me=tesh-reader-setup

usage() {
  cat <<'EOF'
usage: tesh-reader-setup.sh [--serial DEVICE [--speed BITS]] [--] [SETUP.EXE ARGUMENTS...]

Runs the Tesh Reader Setup wizard (setup.exe) under Wine; the handheld docks
over its network link.

Options:
  --serial DEVICE  bring the link up on this serial port first (the USB cable
                   with the ipaq driver: /dev/ttyUSB0; a serial cradle:
                   /dev/ttyS0): pppd runs in the background (through sudo
                   when not run as root), and ends when the wizard ends
  --speed BITS     the serial port's speed with --serial (default 115200)
  --help           this text

Variables:
  RAPI_DESKTOP      where to listen for the docking device: [ADDRESS][:PORT];
                    unless set, the PC's end of the link, 192.168.131.102:5679
                    (an empty value: this machine only)
  RAPI_PEER         the only address a device may dock from; unless set, the
                    device's end of the link, 192.168.131.201
  RAPI_DEVICE       no listening: open the session straight to HOST[:PORT]
  RAPI_DEVICE_PORT  the device's remote API port when found by listening (990)
  RAPI_PASSWORD     the device's password, when it has one
  RAPI_CALL_SECONDS how long one call may take before the device is taken
                    for gone (60)
  RAPI_LOG          a file that gets one line per remote API call and per
                    event of the link (send it to us when something goes wrong)
  TESH_WINE_PREFIX  the Wine prefix to use (default:
                    ~/.local/share/tesh-reader-setup/wine). An inherited
                    WINEPREFIX is ignored: the script puts its own rapi.dll
                    and fonts into the prefix's system folders, so it uses
                    only a prefix it made itself (marked by .tesh-reader-setup)
  WINEDEBUG, WINEDLLOVERRIDES  passed on to Wine (defaults: -all; no Mono or
                    Gecko installer)
EOF
}

say() { echo "$me: $*"; }
refuse() {
  echo "$me: $*" >&2
  exit 2
}

serial=
speed=
while [ $# -gt 0 ]; do
  case $1 in
    --help | -h) usage; exit 0 ;;
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
    --) shift; break ;;
    -*) refuse "unknown option $1 (see --help)" ;;
    *) break ;;
  esac
done
[ -z "$speed" ] || [ -n "$serial" ] || refuse "--speed goes with --serial"

export WINEPREFIX="${TESH_WINE_PREFIX:-$HOME/.local/share/tesh-reader-setup/wine}"
marker=$WINEPREFIX/.tesh-reader-setup
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer prompts: the program needs neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# The link's two ends, as pppd makes them (README.txt).
export RAPI_DESKTOP="${RAPI_DESKTOP-192.168.131.102:5679}"
export RAPI_PEER="${RAPI_PEER-192.168.131.201}"
desktop_address=${RAPI_DESKTOP%:*}

wine=$(command -v wine || command -v wine64 || true)
[ -n "$wine" ] || {
  echo "$me: Wine is not installed (Debian: apt-get install wine wine64 fonts-wine)" >&2
  exit 127
}

# pppd lives in /usr/sbin, which a user's PATH may not name.
find_pppd() { command -v pppd || { [ -x /usr/sbin/pppd ] && echo /usr/sbin/pppd; } || true; }

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

# The link, in the background for as long as the wizard runs: the device
# sends "CLIENT" and waits for "CLIENTSERVER" before PPP starts; persist
# brings the link back when the device is taken out of its cradle and put
# back, and keeps pppd through a hang-up too. So pppd is started by a small
# keeper (as root, through the one sudo that may ask for a password) that
# ends it as soon as the launcher is gone: it reads a pipe that only the
# launcher holds open, and the launcher's end, however it comes (the wizard
# closed, Ctrl+C, TERM, the terminal closed, an error here, even a KILL),
# closes that pipe. Nothing is asked of sudo at the end.
keeper='
link=
end() {
  trap "" HUP INT TERM
  [ -z "$link" ] || kill "$link" 2>/dev/null
  [ -z "$link" ] || wait "$link" 2>/dev/null
  exit 0
}
trap end HUP INT TERM
exec 3<&0
"$@" </dev/null >&2 &
link=$!
echo "$link"
exec >&2
cat <&3 >/dev/null &
wait $!
end'
link_pid=
link_dir=
wizard_pid=
# Messages to a terminal that is gone fail; the cleanup goes on regardless.
note() { say "$@" 2>/dev/null || true; }
end_wizard() {
  [ -n "$wizard_pid" ] || return 0
  kill "$wizard_pid" 2>/dev/null || true
  # A Wine that ignores TERM is killed after 3 s: the wizard ends within 5.
  tenths=0
  while kill -0 "$wizard_pid" 2>/dev/null && [ "$tenths" -lt 30 ]; do
    sleep 0.1
    tenths=$((tenths + 1))
  done
  kill -KILL "$wizard_pid" 2>/dev/null || true
  wizard_pid=
}
end_link() {
  set +e
  trap '' HUP INT TERM
  end_wizard
  [ -n "$link_dir" ] && rm -rf "$link_dir"
  [ -n "$link_pid" ] || return 0
  note "ending the link (pppd)"
  exec 9>&-
  wait "$link_pid" 2>/dev/null
  link_pid=
}
if [ -n "$serial" ]; then
  as_root=
  if [ "$(id -u)" != 0 ]; then
    say "pppd needs root: starting it through sudo, which may ask for your password"
    as_root=sudo
  fi
  trap end_link EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
  link_dir=$(mktemp -d "${TMPDIR:-/tmp}/$me.XXXXXX")
  mkfifo "$link_dir/keep" "$link_dir/started"
  $as_root sh -c "$keeper" keeper "$pppd" "$serial" "${speed:-115200}" connect "chat -v -t3 CLIENT CLIENTSERVER\\c" \
    "$desktop_address:$RAPI_PEER" noauth local nodefaultroute crtscts lock persist maxfail 0 holdoff 1 nodetach \
    <"$link_dir/keep" >"$link_dir/started" &
  link_pid=$!
  exec 9>"$link_dir/keep"
  started=
  read -r started <"$link_dir/started" || true
  rm -rf "$link_dir"
  link_dir=
  [ -n "$started" ] || refuse "pppd did not start (sudo refused it?); run as root, or bring the link up yourself (README.txt, step 2)"
  say "pppd makes the link on $serial at ${speed:-115200} bit/s: dock the device now" \
      "(put it in its cradle, or plug in its cable)"
elif command -v ip >/dev/null 2>&1; then
  case $desktop_address in
    '' | 127.* | 0.0.0.0) ;;
    *)
      if ! ip -o -4 addr show 2>/dev/null | grep -q "inet $desktop_address/"; then
        say "$desktop_address is not on this PC yet: bring the link up (README.txt, step 2) or start with --serial /dev/ttyUSB0"
      fi ;;
  esac
fi

if [ ! -d "$WINEPREFIX/drive_c/windows/system32" ]; then
  "$wine" wineboot -i >/dev/null 2>&1 9>&- || true
  wineserver -w 2>/dev/null 9>&- || true
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

# The bridge listens from the wizard's start for as long as it runs, and
# waits for its address when the link is not up yet.
say "the device is awaited on ${RAPI_DESKTOP:-127.0.0.1:5679}${RAPI_PEER:+ from $RAPI_PEER}; it may dock at any time"
cd "$here"
if [ -z "$serial" ]; then
  exec "$wine" setup.exe "$@"
fi
# The wizard runs in the background, so that Ctrl+C, TERM and a hang-up are
# acted on at once (a shell runs its traps only between commands), and
# without the keeper's pipe.
status=0
"$wine" setup.exe "$@" 9>&- &
wizard_pid=$!
wait "$wizard_pid" || status=$?
wizard_pid=
exit "$status"
