# Part of tests/scripts/linux_link.sh, read by it once its stand-ins are
# made (pppd, a Wine deaf to the interrupt with FAKE_WINE_DEAF, a sudo that
# would ask again after its first use) and with its variables and fail().
# shellcheck shell=bash
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
# The USB road's root commands need real root here (the stand-in dhclient
# sets the address, the sysctl is the namespace's): its launcher runs as
# root but is told by a stand-in id that it is a user, so it takes the
# road through the stand-in sudo. While the wizard runs the device is
# unplugged and plugged in again (noted in link/replugged, with port 990's
# sysctl as it was meanwhile).
mkdir -p "$work/user"
printf '#!/bin/sh\necho 65534\n' > "$work/user/id"
chmod +x "$work/user/id"
replug() {
  wait_file "$work/link/wine.pid" 150 && ip link set "$usb" down &&
    wait_file "$work/link/dhclient.released" 100 && ip link set "$usb" up &&
    wait_log "$work/link/dhclient.args" "-1 -pf" 100 2 &&
    cat /proc/sys/net/ipv4/ip_unprivileged_port_start > "$work/link/replugged"
}
# HOW | the launcher's arguments | the files that say it is ready
ending_rows=(
  "int|--serial /dev/null|pppd.pid"
  "term|--serial /dev/null|pppd.pid"
  "hup|--serial /dev/null|pppd.pid"
  "hup|--usb $usb|replugged"
)
for row in "${ending_rows[@]}"; do
  IFS='|' read -r how arguments ready <<< "$row"
  rm -f "$work/link/wine.ran" "$work/link/wine.pid" "$work/link/pppd.pid" "$work/link/pppd.ended" \
    "$work/link/sudo.ran" "$work/link/sudo.again" "$work/link/dhclient."* "$work/link/replugged"
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$work")
  path=$work/bin:$PATH
  if [ "$ready" = replugged ]; then
    as_user=(env HOME="$work")
    path=$work/user:$path
    sysctl -qw net.ipv4.ip_unprivileged_port_start=1024
    replug &
  fi
  # shellcheck disable=SC2086 # the row's arguments are words
  took=$(FAKE_WINE_SECONDS=60 FAKE_WINE_DEAF=1 PATH=$path TESH_WINE_PREFIX=$fake_prefix \
    LAUNCHER_LOG=$work/ended-$how-$ready.log end_launcher "$how" "$work/link/wine.pid,$work/link/$ready" \
    "${as_user[@]}" "$work/zip/tesh-reader-setup.sh" $arguments)
  log=$work/ended-$how-$ready.log
  how="$how $arguments"
  case $took in
    '' | *[!0-9]*) fail "$how: the launcher did not end ($took)" ;;
    *) [ "$took" -le 5000 ] || fail "$how: the launcher took $took ms to end, more than 5 s" ;;
  esac
  if [ "$ready" = replugged ]; then
    [ "$(cat "$work/link/replugged")" = 990 ] || fail "$how: port 990 was not let to users while the wizard ran"
    released=$(grep -cs . "$work/link/dhclient.released")
    [ "${released:-0}" -ge 2 ] || fail "$how: the lease was not given back at the end"
    ip -o -4 addr show dev "$usb" | grep -q 169.254.2.2 && fail "$how: the link's address stayed"
    [ "$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start)" = 1024 ] || fail "$how: port 990 stayed let to users"
  else
    wait_file "$work/link/pppd.ended" 50 || fail "$how: pppd was not ended"
  fi
  wine_pid=$(cat "$work/link/wine.pid" 2>/dev/null)
  [ -n "$wine_pid" ] && kill -0 "$wine_pid" 2>/dev/null && fail "$how: the wizard (deaf to the interrupt) still runs"
  [ -n "$wine_pid" ] && kill -KILL "$wine_pid" 2>/dev/null
  [ -e "$work/link/sudo.again" ] && fail "$how: sudo was asked a second time: $(cat "$work/link/sudo.again")"
  grep -q "through sudo" "$log" || fail "$how: a user was not told that the link starts through sudo"
done
