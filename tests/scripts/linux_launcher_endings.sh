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

