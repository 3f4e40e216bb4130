#!/usr/bin/env bash
# A real handheld on Linux, from the cable, in a network namespace of this
# test's own (no traffic leaves it). The older road: the Linux launcher with
# --serial on a pseudo-terminal, a stand-in pppd first on PATH that records
# its arguments and brings the link's two addresses up on the namespace's
# loopback once the bridge waits for them; the simulated device docks once
# from the device's end, before any action, and Device Info takes it. The
# link then goes down and comes back, the device docking anew: the next
# Device Info shows it again. When the wizard ends, pppd is ended.
# The Windows Mobile road: a veth pair for the USB link (the device's end
# 169.254.2.1), a stand-in dhclient that records its arguments and sets
# 169.254.2.2, the simulated wm5ppc device started first and docking only on
# the trigger, the launcher with --usb on a pseudo-terminal; Device Info and
# Install Book, a re-plug (the interface down and up), Device Info again,
# and Ctrl+C typed into the terminal, which ends the wizard and the lease.
# Then the launcher's messages and refusals, from a table, with a stand-in
# Wine; and the launcher run by a user on a terminal of its own, ended by
# Ctrl+C, by TERM and by the terminal closing, with a Wine deaf to the
# interrupt and a sudo that would ask for the password again.
#
#   tests/scripts/linux_link.sh REPO BUILD_DIR
#
# Needs root (unshare -n). The whole Wine side runs inside the namespace,
# in a Wine prefix of its own (copied from the suite's prefix of the entry,
# TESH_WINE_PREFIX, else build/wine-headless), so that its wineserver makes
# its sockets there.
set -uo pipefail

if [ "${1:-}" != --in-namespace ]; then
  repo=$(cd "${1:?usage: $0 REPO BUILD_DIR}" && pwd)
  build=$(cd "${2:?usage: $0 REPO BUILD_DIR}" && pwd)
  [ "$(id -u)" = 0 ] || { echo "linux link: needs root, for a network namespace of its own" >&2; exit 1; }
  exec timeout -k 10 380 unshare -n -m "$0" --in-namespace "$repo" "$build"
fi
# The namespace's own network devices in /sys, as `ip netns exec` shows them.
mount -t sysfs sysfs /sys
repo=$2
build=$3
work=$build/linux-link
# As tools/wine-run.sh: code page 1252 for the program's texts, which the
# robot compares.
export LC_ALL=C.UTF-8
unset LANG LANGUAGE
desktop=192.168.131.102
device=192.168.131.201
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

rm -rf "$work"
mkdir -p "$work/link" "$work/bin" "$work/zip"
ip link set lo up
link_dir_windows="Z:${work//\//\\}\\link"

pids=()
groups=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  # The launchers' process groups: pppd and setup.exe with them.
  for pid in "${groups[@]}" $(cat "$work/link/launcher.group" 2>/dev/null); do kill -- "-$pid" 2>/dev/null; done
  [ -d "$work/wine" ] && WINEPREFIX=$work/wine wineserver -k >/dev/null 2>&1
  rm -rf "$work/wine"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# The Linux zip's folder, with a book: the launcher's setup folder.
cp "$build/bin/setup.exe" "$build/bin/rapi.dll" "$build/bin/rapidock.exe" "$repo/packaging/linux/tesh-reader-setup.sh" \
  "$repo/packaging/linux/tesh-reader-setup-usb.sh" "$repo/packaging/linux/tesh-reader-setup-link.sh" \
  "$build/packaging/linux/README.txt" "$build/samples/alice.vbk" "$work/zip/"

# The stand-in pppd: its arguments one a line, its process id, and the
# link's addresses once the script says (or after 60 s); it ends, noting
# so, when it is told to, and survives a hang-up (as pppd with persist
# does). With FAKE_PPPD=no-ppp it fails as pppd does on a kernel without PPP.
cat > "$work/bin/pppd" <<EOF
#!/bin/sh
if [ "\${FAKE_PPPD:-}" = no-ppp ]; then
  echo "Couldn't open the /dev/ppp device: No such file or directory" >&2
  exit 4
fi
adder=
trap 'kill \$adder 2>/dev/null; echo ended > "$work/link/pppd.ended"; exit 0' TERM INT
trap '' HUP
printf '%s\n' "\$@" > "$work/link/pppd.args"
echo \$\$ > "$work/link/pppd.pid"
(
  for i in \$(seq 600); do [ -e "$work/link/bring-up" ] && break; sleep 0.1; done
  ip addr add $desktop/32 dev lo && ip addr add $device/32 dev lo && : > "$work/link/link-up"
) &
adder=\$!
while :; do sleep 0.1; done
EOF
chmod +x "$work/bin/pppd"

# Runs a command on a pseudo-terminal of its own, in a session of its own,
# its output into a file: run_on_pty LOG COMMAND...; prints nothing, and
# ends with the command's status. Once the file CTRL_C_FILE exists, Ctrl+C
# is typed into the terminal, once.
run_on_pty() {
  python3 - "$@" <<'EOF'
import os, select, subprocess, sys, termios, tty
log, command = sys.argv[1], sys.argv[2:]
master, slave = os.openpty()
command = [os.ttyname(slave) if word == "@PTY@" else word for word in command]
def controlling_terminal():
    os.setsid()
    import fcntl
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)
child = subprocess.Popen(command, stdin=slave, stdout=slave, stderr=slave, preexec_fn=controlling_terminal)
with open(os.environ["LAUNCHER_GROUP_FILE"], "w") as group:
    group.write("%d\n" % child.pid)
os.close(slave)
ctrl_c = os.environ.get("CTRL_C_FILE", "")
typed = False
with open(log, "wb") as out:
    while True:
        if ctrl_c and not typed and os.path.exists(ctrl_c):
            os.write(master, b"\x03")
            typed = True
        if not select.select([master], [], [], 0.2)[0]:
            continue
        try:
            data = os.read(master, 4096)
        except OSError:
            break
        if not data:
            break
        out.write(data)
        out.flush()
sys.exit(child.wait())
EOF
}

wait_file() {
  local file=$1 tenths=$2 i
  for ((i = 0; i < tenths; i++)); do [ -e "$file" ] && return 0; sleep 0.1; done
  return 1
}

# Until the file holds the line COUNT times (once unless given).
wait_log() {
  local file=$1 line=$2 tenths=$3 count=${4:-1} i
  for ((i = 0; i < tenths; i++)); do
    [ "$(grep -cF -- "$line" "$file" 2>/dev/null)" -ge "$count" ] && return 0
    sleep 0.1
  done
  return 1
}

start_device() {
  (cd "$build/bin" && WINEPREFIX=$work/wine WINEDEBUG=-all CEDEVICE_PIPE="\\\\.\\pipe\\cedevice-linux-link-$$" \
    exec wine cedevice.exe "$work/image" --network $device --desktop $desktop) >>"$work/device.log" 2>&1 &
  device_pid=$!
  pids+=("$device_pid")
}

# ---- The whole road, with Wine

# The suite's prefix of this entry, which no other entry uses meanwhile.
cp -a "${TESH_WINE_PREFIX:-$build/wine-headless}" "$work/wine"
: > "$work/wine/.tesh-reader-setup"
export RAPI_LOG=$work/rapi.log

(cd "$build/bin" && WINEPREFIX=$work/wine WINEDEBUG=-all TESH_LINK_DIR=$link_dir_windows \
  exec wine test_e2e.exe --gtest_filter='LinuxLink.DeviceInfoDockedBeforeAnyAction*') >"$work/robot.log" 2>&1 &
robot=$!
pids+=("$robot")

PATH=$work/bin:$PATH TESH_WINE_PREFIX=$work/wine LAUNCHER_GROUP_FILE=$work/link/launcher.group \
  run_on_pty "$work/launcher.log" "$work/zip/tesh-reader-setup.sh" --serial @PTY@ &
launcher=$!
pids+=("$launcher")

# The bridge waits for the link's address; then the link comes up, the
# device docks once, before any action, and the robot's first action takes it.
if wait_log "$RAPI_LOG" "is not an address of this PC yet: waiting for the link to the device" 900 &&
   : > "$work/link/bring-up" && wait_file "$work/link/link-up" 100; then
  wait_log "$RAPI_LOG" "listening for devices on $desktop:5679" 100 || fail "the bridge did not listen once the link was up"
  start_device
  wait_log "$RAPI_LOG" "device docked: held" 600 && : > "$work/link/device-docked" ||
    fail "the device did not dock before the first action"
  # The re-seat: the link goes with the device, and both come back.
  if wait_file "$work/link/first-done" 900; then
    ip addr del $desktop/32 dev lo
    ip addr del $device/32 dev lo
    kill "$device_pid"
    wait "$device_pid" 2>/dev/null
    sleep 2
    ip addr add $desktop/32 dev lo
    ip addr add $device/32 dev lo
    start_device
    : > "$work/link/link-back"
  else
    fail "the first Device Info did not end"
  fi
else
  fail "the bridge did not say that it waits for its address, or the stand-in pppd never brought the link up"
fi

wait "$robot" || fail "the robot failed (robot.log below)"
for i in $(seq 300); do kill -0 "$launcher" 2>/dev/null || break; sleep 0.1; done
kill -0 "$launcher" 2>/dev/null && fail "the launcher did not end with the wizard"
[ -e "$work/link/pppd.ended" ] || fail "the stand-in pppd was not ended when the wizard ended"
expected_args=$(printf '%s\n' 115200 connect 'chat -v -t3 CLIENT CLIENTSERVER\c' "$desktop:$device" \
  noauth local nodefaultroute persist nodetach)
while IFS= read -r word; do
  grep -qxF -- "$word" "$work/link/pppd.args" || fail "pppd was not given \"$word\""
done <<< "$expected_args"
grep -q "^/dev/pts/" "$work/link/pppd.args" || fail "pppd was not given the serial port first"
grep -q "dock the device now" "$work/launcher.log" || fail "the launcher did not say to dock the device now"

# ---- The Windows Mobile road: the USB cable, with Wine

usb=tesh-usb0
ip link add "$usb" type veth peer name tesh-dev0
ip addr add 169.254.2.1/24 dev tesh-dev0
ip link set tesh-dev0 up
ip link set "$usb" up
rm -f "$work/link/"*-done "$work/link/link-back" "$work/link/device-docked"
# The stand-in dhclient: its arguments one call a line; it sets the
# address and writes the lease the device's DHCP server would give; with
# -r it only notes the release (the launcher takes the address off).
cat > "$work/bin/dhclient" <<EOF
#!/bin/sh
echo "\$*" >> "$work/link/dhclient.args"
for word; do interface=\$word; done
lease=\$(echo "\$*" | sed -n 's/.*-lf \([^ ]*\).*/\1/p')
case " \$* " in
  *" -r "*) echo released >> "$work/link/dhclient.released" ;;
  *) ip addr add 169.254.2.2/24 dev "\$interface" &&
       printf 'lease {\n  option dhcp-server-identifier 169.254.2.1;\n}\n' > "\$lease" ;;
esac
EOF
chmod +x "$work/bin/dhclient"
# The reader's files and a book beside setup.exe, for Install Book.
printf 'CEAPP\tWINDOW\tREADER\tTesh Reader\r\nreader\r\n' > "$work/zip/Tesh Reader.exe.ppc300.arm"
printf 'CELIB\tEXPORTS\tCloseApp\r\nhelper\r\n' > "$work/zip/tarnlib.dll.ppc300.arm"
python3 -c 'import sys; open(sys.argv[1], "wb").write(b"Alpha".ljust(78, b"\0") + b"alpha page\n" * 3000)' "$work/zip/alpha.vbk"
export RAPI_LOG=$work/rapi-usb.log
(cd "$build/bin" && WINEPREFIX=$work/wine WINEDEBUG=-all CEDEVICE_PIPE="\\\\.\\pipe\\cedevice-linux-usb-$$" \
  exec wine cedevice.exe "$work/image-wm5" --profile wm5ppc --network 169.254.2.1 --desktop 169.254.2.2 --serve) \
  >>"$work/device-usb.log" 2>&1 &
device_pid=$!
pids+=("$device_pid")
wait_log "$work/device-usb.log" "hears the desktop's trigger" 600 || fail "the Windows Mobile device did not start"
(cd "$build/bin" && WINEPREFIX=$work/wine WINEDEBUG=-all TESH_LINK_DIR=$link_dir_windows \
  exec wine test_e2e.exe --gtest_filter='LinuxLink.Usb*') >"$work/robot-usb.log" 2>&1 &
robot=$!
pids+=("$robot")
PATH=$work/bin:$PATH TESH_WINE_PREFIX=$work/wine LAUNCHER_GROUP_FILE=$work/link/launcher.group \
  CTRL_C_FILE=$work/link/ctrl-c run_on_pty "$work/usb-launcher.log" "$work/zip/tesh-reader-setup.sh" --usb "$usb" &
launcher=$!
pids+=("$launcher")
if wait_log "$RAPI_LOG" "device docked: held" 900; then
  : > "$work/link/device-docked"
  grep -q "trigger sent" "$RAPI_LOG" || fail "the bridge did not send the trigger"
  grep -q "Windows Mobile link: connected" "$work/device-usb.log" || fail "the device did not dock"
  # The re-plug: the link goes down and comes back; the bridge, listening
  # again, sends the trigger again and the device docks anew.
  if wait_file "$work/link/first-done" 1200; then
    ip link set "$usb" down
    wait_file "$work/link/dhclient.released" 100 || fail "the launcher did not give the lease back when unplugged"
    wait_log "$RAPI_LOG" "169.254.2.2 is no longer an address of this PC" 100 ||
      fail "the bridge did not notice that the link went down"
    ip link set "$usb" up
    wait_log "$RAPI_LOG" "device docked: held" 600 2 || fail "the device did not dock again after the re-plug"
    [ "$(grep -c "trigger sent" "$RAPI_LOG")" -ge 2 ] || fail "the bridge did not send the trigger again"
    : > "$work/link/link-back"
    if wait_file "$work/link/second-done" 900; then
      : > "$work/link/ctrl-c"
      for i in $(seq 300); do kill -0 "$launcher" 2>/dev/null || break; sleep 0.1; done
      kill -0 "$launcher" 2>/dev/null && fail "Ctrl+C did not end the launcher"
      # The wizard (rapidock.exe and setup.exe) ran in the launcher's
      # process group.
      for i in $(seq 100); do pgrep -g "$(cat "$work/link/launcher.group")" >/dev/null || break; sleep 0.1; done
      pgrep -g "$(cat "$work/link/launcher.group")" >/dev/null && fail "Ctrl+C did not end the wizard"
    else
      fail "the Device Info after the re-plug did not end"
    fi
  else
    fail "the first Device Info and Install Book did not end"
  fi
else
  fail "the Windows Mobile device did not dock on the trigger"
fi
wait "$robot" || fail "the USB road's robot failed (robot-usb.log below)"
[ "$(grep -c . "$work/link/dhclient.released" 2>/dev/null)" -ge 2 ] || fail "Ctrl+C did not give the lease back"
ip -o -4 addr show dev "$usb" | grep -q 169.254.2.2 && fail "the link's address stayed after Ctrl+C"
grep -q -- "-lf " "$work/link/dhclient.args" || fail "dhclient was not given a lease file"
grep -q "CeCreateFile.*alpha.vbk" "$work/device-usb.log" || fail "Install Book did not write the book"
grep -q "this PC 169.254.2.2, the device 169.254.2.1" "$work/usb-launcher.log" ||
  fail "the launcher did not take the device's address from its DHCP server"
kill "$device_pid" 2>/dev/null
WINEPREFIX=$work/wine wineserver -k >/dev/null 2>&1

# ---- The launcher's messages and option errors, with a stand-in Wine

# The stand-in Wine notes that the wizard started and its process id, and
# runs for FAKE_WINE_SECONDS, deaf to Ctrl+C and TERM with FAKE_WINE_DEAF (as
# a window program under Wine may be); a stand-in sudo (for a user who is
# not root) notes itself and runs what it is given (with -v, nothing) the
# first time only: asked again, its credentials have expired, and it would
# ask for the password again.
cat > "$work/bin/wine" <<EOF
#!/bin/sh
printf "%s\\n" "wine \$*" >> "$work/link/wine.ran"
echo \$\$ > "$work/link/wine.pid"
[ -z "\${FAKE_WINE_DEAF:-}" ] || trap '' INT TERM
exec sleep "\${FAKE_WINE_SECONDS:-0}"
EOF
cat > "$work/bin/sudo" <<EOF
#!/bin/sh
if [ -e "$work/link/sudo.ran" ]; then
  echo "sudo \$*" >> "$work/link/sudo.again"
  exit 1
fi
echo "sudo \$*" >> "$work/link/sudo.ran"
[ "\$1" != -v ] || exit 0
exec "\$@"
EOF
chmod +x "$work/bin/wine" "$work/bin/sudo"
fake_prefix=$work/fake-prefix
mkdir -p "$fake_prefix/drive_c/windows/system32"
: > "$fake_prefix/.tesh-reader-setup"
# A headless prefix (Wine's null graphics driver): no display is needed.
printf '"Graphics"="null"\n' > "$fake_prefix/user.reg"
no_display=$work/no-display-prefix
mkdir -p "$no_display/drive_c/windows/system32"
: > "$no_display/.tesh-reader-setup"
chmod -R a+rwX "$work/link" "$fake_prefix" "$no_display"
ip addr del $desktop/32 dev lo
# The stand-in pppd brings no link up from here on.
rm -f "$work/link/pppd.ended" "$work/link/pppd.pid" "$work/link/bring-up"

# ARGUMENTS | exit status | a line the output must hold | VARIABLE=VALUE...
rows=(
  "--help|0|--serial DEVICE"
  "--help|0|--speed BITS"
  "--help|0|RAPI_DEVICE_PORT"
  "--help|0|RAPI_CALL_SECONDS"
  "--help|0|TESH_WINE_PREFIX"
  "--serial|2|--serial needs the serial port, e.g. --serial /dev/ttyUSB0"
  "--serial /dev/null --speed fast|2|--speed needs a speed in bits per second"
  "--speed 9600|2|--speed goes with --serial"
  "--sereal /dev/ttyUSB0|2|unknown option --sereal (see --help)"
  "--serial $work/no-such-port|2|is no serial port here"
  "|0|$desktop is not on this PC yet: bring the link up (README.txt, step 2) or start with --serial /dev/ttyUSB0"
  "--serial /dev/null --speed 9600|0|pppd makes the link on /dev/null at 9600 bit/s: dock the device now"
  "--help|0|--usb [INTERFACE]"
  "--help|0|RAPI_DESKTOP2"
  "--help|0|DISPLAY, WAYLAND_DISPLAY"
  "--usb ./usb0|2|--usb takes a network interface's name (e.g. usb0), not \"./usb0\""
  "--serial /dev/null --usb usb0|2|--serial and --usb are two different cables: name one"
  "|0|found no handheld: no serial port of the ipaq driver and no network interface of the rndis_host driver"
  "|0|the device is awaited on $desktop:5679 from $device"
  "|0|the device is awaited on $desktop:5679 from 10.1.2.3|RAPI_PEER=10.1.2.3"
  "--serial /dev/null|1|no PPP support loaded (no /dev/ppp). Load it: sudo modprobe ppp_generic|FAKE_PPPD=no-ppp"
  "|3|no display: the wizard's windows need a graphical session|TESH_WINE_PREFIX=$no_display"
)
for row in "${rows[@]}"; do
  IFS='|' read -r arguments status line environment <<< "$row"
  rm -f "$work/link/wine.ran"
  # shellcheck disable=SC2086 # the row's arguments and variables are words
  output=$(env -u DISPLAY -u WAYLAND_DISPLAY PATH="$work/bin:$PATH" TESH_WINE_PREFIX="$fake_prefix" $environment \
    "$work/zip/tesh-reader-setup.sh" $arguments 2>&1)
  got=$?
  [ "$got" = "$status" ] || fail "tesh-reader-setup.sh $arguments: exit status $got, not $status"
  grep -qF -- "$line" <<< "$output" || fail "tesh-reader-setup.sh $arguments: no \"$line\" in: $output"
  if [ "$status" = 0 ] && [ "$arguments" != --help ]; then
    grep -qF "wine $work/zip/rapidock.exe Z:${work//\//\\}\\zip\\setup.exe" "$work/link/wine.ran" 2>/dev/null ||
      fail "tesh-reader-setup.sh $arguments: the wizard did not start through rapidock.exe"
  elif [ "$status" != 0 ] && [ -e "$work/link/wine.ran" ]; then
    fail "tesh-reader-setup.sh $arguments: the wizard started after all"
  fi
done

# The setup folder: --folder's, else the current directory when it holds
# reader files or books, else the zip's own folder when it does; otherwise
# the user is told. The installed layout (bin/ and lib/tesh-reader-setup/)
# finds its setup.exe as the zip does.
mkdir -p "$work/usr/bin" "$work/usr/lib/tesh-reader-setup" "$work/empty" "$work/disc" "$work/lone"
cp "$repo/packaging/linux/tesh-reader-setup.sh" "$work/usr/bin/tesh-reader-setup"
cp "$repo/packaging/linux/tesh-reader-setup.sh" "$work/lone/"
cp "$build/bin/setup.exe" "$build/bin/rapi.dll" "$build/bin/rapidock.exe" "$repo/packaging/linux/tesh-reader-setup-usb.sh" \
  "$repo/packaging/linux/tesh-reader-setup-link.sh" \
  "$work/usr/lib/tesh-reader-setup/"
cp "$build/samples/tarnlib.dll.ppc300.arm" "$work/disc/"
# LAUNCHER | CURRENT DIRECTORY | ARGUMENTS | exit status | a line the output must hold | setup.exe run
folder_rows=(
  "usr/bin/tesh-reader-setup|empty||2|$work/empty holds no reader files and no books: name the setup folder|"
  "usr/bin/tesh-reader-setup|empty||2|Tesh Reader.exe.TAG.SUFFIX  and  tarnlib.dll.TAG.SUFFIX|"
  "usr/bin/tesh-reader-setup|empty|--folder $work/disc|0|setup folder: $work/disc|$work/usr/lib/tesh-reader-setup/setup.exe"
  "usr/bin/tesh-reader-setup|disc||0|setup folder: $work/disc|$work/usr/lib/tesh-reader-setup/setup.exe"
  "usr/bin/tesh-reader-setup|disc||0|bring the link up (/usr/share/doc/tesh-reader-setup/README.txt.gz, step 2)|$work/usr/lib/tesh-reader-setup/setup.exe"
  "usr/bin/tesh-reader-setup|empty|--folder ../disc|0|setup folder: $work/disc|$work/usr/lib/tesh-reader-setup/setup.exe"
  "usr/bin/tesh-reader-setup|empty|--folder $work/no-such|2|--folder $work/no-such: no such folder|"
  "usr/bin/tesh-reader-setup|disc|--folder $work/empty|0|$work/empty holds no reader files and no books; the wizard's Browse|$work/usr/lib/tesh-reader-setup/setup.exe"
  "usr/bin/tesh-reader-setup|empty|--folder|2|--folder needs the setup folder|"
  "zip/tesh-reader-setup.sh|empty||0|setup folder: $work/zip|$work/zip/setup.exe"
  "zip/tesh-reader-setup.sh|disc||0|setup folder: $work/disc|$work/zip/setup.exe"
  "lone/tesh-reader-setup.sh|disc||2|setup.exe, rapi.dll and rapidock.exe are neither beside|"
)
for row in "${folder_rows[@]}"; do
  IFS='|' read -r launcher directory arguments status line ran <<< "$row"
  rm -f "$work/link/wine.ran"
  # shellcheck disable=SC2086 # the row's arguments are words
  output=$(cd "$work/$directory" && env -u DISPLAY PATH="$work/bin:$PATH" TESH_WINE_PREFIX="$fake_prefix" \
    "$work/$launcher" $arguments 2>&1 </dev/null)
  got=$?
  [ "$got" = "$status" ] || fail "$launcher $arguments in $directory: exit status $got, not $status: $output"
  grep -qF -- "$line" <<< "$output" || fail "$launcher $arguments in $directory: no \"$line\" in: $output"
  if [ -n "$ran" ]; then
    # setup.exe by its Windows path, started by rapidock.exe beside it.
    ran_windows="Z:${ran//\//\\}"
    grep -qxF "wine ${ran%/*}/rapidock.exe $ran_windows" "$work/link/wine.ran" 2>/dev/null ||
      fail "$launcher $arguments in $directory: $ran did not start"
  fi
done

# The launcher run by a user on a terminal of its own, ended while the
# wizard runs (tests/scripts/linux_launcher_endings.sh).
. "$(dirname "${BASH_SOURCE[0]}")/linux_launcher_endings.sh"

if [ "$failures" -gt 0 ]; then
  for log in launcher robot device rapi usb-launcher robot-usb device-usb rapi-usb; do
    echo "---- $log.log"
    tail -n 40 "$work/$log.log" 2>/dev/null
  done
  echo "linux link: $failures failures (logs in $work)" >&2
  exit 1
fi
echo "linux link: both roads: the launcher brought the link up, the device docked before any action and again after a re-seat or re-plug; pppd, the wizard and the lease ended"
