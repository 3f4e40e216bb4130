#!/usr/bin/env bash
# A real handheld on Linux, from the cable, in a network namespace of this
# test's own (no traffic leaves it): the Linux launcher with --serial on a
# pseudo-terminal, a stand-in pppd first on PATH that records its arguments
# and brings the link's two addresses up on the namespace's loopback once
# the wizard's connection window waits; the simulated device docks from the
# device's end; Device Info shows it. The link then goes down and comes
# back, the device docking anew: the next Device Info shows it again. When
# the wizard ends, pppd is ended. Then the launcher's messages and option
# errors, from a table, with a stand-in Wine; and the launcher run by a user
# on a terminal of its own, ended by Ctrl+C, by TERM and by the terminal
# closing, with a Wine deaf to the interrupt and a sudo that would ask for
# the password again.
#
#   tests/scripts/linux_link.sh REPO BUILD_DIR
#
# Needs root (unshare -n). The whole Wine side runs inside the namespace,
# in a Wine prefix of its own (copied from the suite's build/wine-headless),
# so that its wineserver makes its sockets there.
set -uo pipefail

if [ "${1:-}" != --in-namespace ]; then
  repo=$(cd "${1:?usage: $0 REPO BUILD_DIR}" && pwd)
  build=$(cd "${2:?usage: $0 REPO BUILD_DIR}" && pwd)
  [ "$(id -u)" = 0 ] || { echo "linux link: needs root, for a network namespace of its own" >&2; exit 1; }
  exec timeout -k 10 170 unshare -n "$0" --in-namespace "$repo" "$build"
fi
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
cp "$build/bin/setup.exe" "$build/bin/rapi.dll" "$repo/packaging/linux/tesh-reader-setup.sh" \
  "$build/samples/alice.vbk" "$work/zip/"

# The stand-in pppd: its arguments one a line, its process id, and the
# link's addresses 2 s after the connection window waits (or after 60 s);
# it ends, noting so, when it is told to, and survives a hang-up (as pppd
# with persist does).
cat > "$work/bin/pppd" <<EOF
#!/bin/sh
adder=
trap 'kill \$adder 2>/dev/null; echo ended > "$work/link/pppd.ended"; exit 0' TERM INT
trap '' HUP
printf '%s\n' "\$@" > "$work/link/pppd.args"
echo \$\$ > "$work/link/pppd.pid"
(
  for i in \$(seq 600); do [ -e "$work/link/connection-waiting" ] && break; sleep 0.1; done
  sleep 2
  ip addr add $desktop/32 dev lo && ip addr add $device/32 dev lo && : > "$work/link/link-up"
) &
adder=\$!
while :; do sleep 0.1; done
EOF
chmod +x "$work/bin/pppd"

# Runs a command on a pseudo-terminal of its own, in a session of its own,
# its output into a file: run_on_pty LOG COMMAND...; prints nothing, and
# ends with the command's status.
run_on_pty() {
  python3 - "$@" <<'EOF'
import os, subprocess, sys
log, command = sys.argv[1], sys.argv[2:]
master, slave = os.openpty()
command = [os.ttyname(slave) if word == "@PTY@" else word for word in command]
child = subprocess.Popen(command, stdin=slave, stdout=slave, stderr=slave, start_new_session=True)
with open(os.environ["LAUNCHER_GROUP_FILE"], "w") as group:
    group.write("%d\n" % child.pid)
os.close(slave)
with open(log, "wb") as out:
    while True:
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

start_device() {
  (cd "$build/bin" && WINEPREFIX=$work/wine WINEDEBUG=-all CEDEVICE_PIPE="\\\\.\\pipe\\cedevice-linux-link-$$" \
    exec wine cedevice.exe "$work/image" --network $device --desktop $desktop) >>"$work/device.log" 2>&1 &
  device_pid=$!
  pids+=("$device_pid")
}

# ---- The whole road, with Wine

cp -a "$build/wine-headless" "$work/wine"
: > "$work/wine/.tesh-reader-setup"
export RAPI_LOG=$work/rapi.log

(cd "$build/bin" && WINEPREFIX=$work/wine WINEDEBUG=-all TESH_LINK_DIR=$link_dir_windows \
  exec wine test_e2e.exe --gtest_filter='LinuxLink.*') >"$work/robot.log" 2>&1 &
robot=$!
pids+=("$robot")

PATH=$work/bin:$PATH TESH_WINE_PREFIX=$work/wine LAUNCHER_GROUP_FILE=$work/link/launcher.group \
  run_on_pty "$work/launcher.log" "$work/zip/tesh-reader-setup.sh" --serial @PTY@ &
launcher=$!
pids+=("$launcher")

if wait_file "$work/link/link-up" 900; then
  grep -q "is not an address of this PC yet: waiting for the link to the device" "$RAPI_LOG" ||
    fail "the bridge did not say that it waits for its address"
  start_device
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
  fail "the wizard's connection window never waited, or the stand-in pppd never brought the link up"
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

# ---- The launcher's messages and option errors, with a stand-in Wine

# The stand-in Wine notes that the wizard started and its process id, and
# runs for FAKE_WINE_SECONDS, deaf to Ctrl+C and TERM with FAKE_WINE_DEAF (as
# a window program under Wine may be); a stand-in sudo (for a user who is
# not root) notes itself and runs what it is given the first time only:
# asked again, its credentials have expired, and it would ask for the
# password again.
cat > "$work/bin/wine" <<EOF
#!/bin/sh
echo "wine \$*" >> "$work/link/wine.ran"
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
exec "\$@"
EOF
chmod +x "$work/bin/wine" "$work/bin/sudo"
fake_prefix=$work/fake-prefix
mkdir -p "$fake_prefix/drive_c/windows/system32"
: > "$fake_prefix/.tesh-reader-setup"
chmod -R a+rwX "$work/link" "$fake_prefix"
ip addr del $desktop/32 dev lo
rm -f "$work/link/pppd.ended" "$work/link/pppd.pid"

# ARGUMENTS | exit status | a line the output must hold
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
)
for row in "${rows[@]}"; do
  IFS='|' read -r arguments status line <<< "$row"
  rm -f "$work/link/wine.ran"
  # shellcheck disable=SC2086 # the row's arguments are words
  output=$(PATH=$work/bin:$PATH TESH_WINE_PREFIX=$fake_prefix "$work/zip/tesh-reader-setup.sh" $arguments 2>&1)
  got=$?
  [ "$got" = "$status" ] || fail "tesh-reader-setup.sh $arguments: exit status $got, not $status"
  grep -qF -- "$line" <<< "$output" || fail "tesh-reader-setup.sh $arguments: no \"$line\" in: $output"
  if [ "$status" = 0 ] && [ "$arguments" != --help ]; then
    grep -q "^wine $work/zip/setup.exe" "$work/link/wine.ran" 2>/dev/null || fail "tesh-reader-setup.sh $arguments: the wizard did not start"
  fi
done

# The setup folder: --folder's, else the current directory when it holds
# reader files or books, else the zip's own folder when it does; otherwise
# the user is told. The installed layout (bin/ and lib/tesh-reader-setup/)
# finds its setup.exe as the zip does.
mkdir -p "$work/usr/bin" "$work/usr/lib/tesh-reader-setup" "$work/empty" "$work/disc" "$work/lone"
cp "$repo/packaging/linux/tesh-reader-setup.sh" "$work/usr/bin/tesh-reader-setup"
cp "$repo/packaging/linux/tesh-reader-setup.sh" "$work/lone/"
cp "$build/bin/setup.exe" "$build/bin/rapi.dll" "$work/usr/lib/tesh-reader-setup/"
cp "$build/samples/tarnlib.dll.ppc300.arm" "$work/disc/"
# LAUNCHER | CURRENT DIRECTORY | ARGUMENTS | exit status | a line the output must hold | setup.exe run
folder_rows=(
  "usr/bin/tesh-reader-setup|empty||2|$work/empty holds no reader files and no books: name the setup folder|"
  "usr/bin/tesh-reader-setup|empty||2|Tesh Reader.exe.TAG.SUFFIX  and  tarnlib.dll.TAG.SUFFIX|"
  "usr/bin/tesh-reader-setup|empty|--folder $work/disc|0|setup folder: $work/disc|$work/usr/lib/tesh-reader-setup/setup.exe"
  "usr/bin/tesh-reader-setup|disc||0|setup folder: $work/disc|$work/usr/lib/tesh-reader-setup/setup.exe"
  "usr/bin/tesh-reader-setup|empty|--folder ../disc|0|setup folder: $work/disc|$work/usr/lib/tesh-reader-setup/setup.exe"
  "usr/bin/tesh-reader-setup|empty|--folder $work/no-such|2|--folder $work/no-such: no such folder|"
  "usr/bin/tesh-reader-setup|disc|--folder $work/empty|0|$work/empty holds no reader files and no books; the wizard's Browse|$work/usr/lib/tesh-reader-setup/setup.exe"
  "usr/bin/tesh-reader-setup|empty|--folder|2|--folder needs the setup folder|"
  "zip/tesh-reader-setup.sh|empty||0|setup folder: $work/zip|$work/zip/setup.exe"
  "zip/tesh-reader-setup.sh|disc||0|setup folder: $work/disc|$work/zip/setup.exe"
  "lone/tesh-reader-setup.sh|disc||2|setup.exe and rapi.dll are neither beside|"
)
for row in "${folder_rows[@]}"; do
  IFS='|' read -r launcher directory arguments status line ran <<< "$row"
  rm -f "$work/link/wine.ran"
  # shellcheck disable=SC2086 # the row's arguments are words
  output=$(cd "$work/$directory" && PATH=$work/bin:$PATH TESH_WINE_PREFIX=$fake_prefix "$work/$launcher" $arguments 2>&1 </dev/null)
  got=$?
  [ "$got" = "$status" ] || fail "$launcher $arguments in $directory: exit status $got, not $status: $output"
  grep -qF -- "$line" <<< "$output" || fail "$launcher $arguments in $directory: no \"$line\" in: $output"
  if [ -n "$ran" ]; then
    grep -qxF "wine $ran" "$work/link/wine.ran" 2>/dev/null || fail "$launcher $arguments in $directory: $ran did not start"
  fi
done

# The launcher run by a user (through the stand-in sudo) on a terminal of
# its own, ended while the wizard runs: pppd ends, the wizard ends within 5 s
# even when deaf to the interrupt, and sudo is asked only once.
# HOW: int (Ctrl+C to the terminal's processes), term (TERM to the
# launcher), hup (the terminal closed under it).
end_launcher() {
  python3 - "$@" <<'EOF'
import fcntl, os, select, signal, sys, termios, threading, time
how, ready, command = sys.argv[1], sys.argv[2].split(","), sys.argv[3:]
master, slave = os.openpty()
child = os.fork()
if child == 0:
    os.setsid()
    fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
    for fd in (0, 1, 2):
        os.dup2(slave, fd)
    os.close(master)
    os.close(slave)
    os.execvp(command[0], command)
os.close(slave)
out = open(os.environ["LAUNCHER_LOG"], "wb")
draining = True
# Reads with a timeout: a read in progress would keep the terminal from
# closing.
def drain():
    while draining:
        try:
            if select.select([master], [], [], 0.1)[0]:
                data = os.read(master, 4096)
                if not data:
                    break
                out.write(data)
                out.flush()
        except OSError:
            break
drainer = threading.Thread(target=drain, daemon=True)
drainer.start()
for _ in range(150):
    if all(os.path.exists(name) for name in ready):
        break
    time.sleep(0.1)
else:
    print("never ready")
    sys.exit(1)
start = time.time()
if how == "int":
    os.killpg(child, signal.SIGINT)
elif how == "term":
    os.kill(child, signal.SIGTERM)
else:
    draining = False
    drainer.join()
    os.close(master)
for _ in range(100):
    if os.waitpid(child, os.WNOHANG)[0] == child:
        print(int((time.time() - start) * 1000))
        break
    time.sleep(0.1)
else:
    print("alive")
    os.system("ps -o pid,ppid,stat,wchan:20,cmd -s %d >&2" % child)
draining = False
drainer.join()
EOF
}
chmod a+w "$work/link"
for how in int term hup; do
  rm -f "$work/link/wine.ran" "$work/link/wine.pid" "$work/link/pppd.pid" "$work/link/pppd.ended" \
    "$work/link/sudo.ran" "$work/link/sudo.again"
  took=$(FAKE_WINE_SECONDS=60 FAKE_WINE_DEAF=1 PATH=$work/bin:$PATH TESH_WINE_PREFIX=$fake_prefix \
    LAUNCHER_LOG=$work/ended-$how.log end_launcher "$how" "$work/link/wine.pid,$work/link/pppd.pid" \
    setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$work" "$work/zip/tesh-reader-setup.sh" --serial /dev/null)
  case $took in
    '' | *[!0-9]*) fail "$how: the launcher did not end ($took)" ;;
    *) [ "$took" -le 5000 ] || fail "$how: the launcher took $took ms to end, more than 5 s" ;;
  esac
  wait_file "$work/link/pppd.ended" 50 || fail "$how: pppd was not ended"
  wine_pid=$(cat "$work/link/wine.pid" 2>/dev/null)
  [ -n "$wine_pid" ] && kill -0 "$wine_pid" 2>/dev/null && fail "$how: the wizard (deaf to the interrupt) still runs"
  [ -n "$wine_pid" ] && kill -KILL "$wine_pid" 2>/dev/null
  [ -e "$work/link/sudo.again" ] && fail "$how: sudo was asked a second time: $(cat "$work/link/sudo.again")"
  grep -q "through sudo" "$work/ended-$how.log" || fail "$how: a user was not told that pppd starts through sudo"
done

if [ "$failures" -gt 0 ]; then
  for log in launcher robot device rapi; do
    echo "---- $log.log"
    tail -n 40 "$work/$log.log" 2>/dev/null
  done
  echo "linux link: $failures failures (logs in $work)" >&2
  exit 1
fi
echo "linux link: the launcher brought the link up, the device docked, came back after a re-seat, and pppd ended"
