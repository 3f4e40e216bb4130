# shellcheck shell=sh
# Part of tesh-reader-setup.sh (sourced by it): the link's keeper, which
# does as root whatever the link needs (pppd on the serial road, the
# address and port 990 on the USB road) and undoes it when the launcher is
# gone; and the ending of the wizard and the link, however the launcher ends.

# pppd, ip, sysctl and the DHCP clients live in /usr/sbin or /sbin, which a
# user's PATH may not name.
find_tool() {
  command -v "$1" 2>/dev/null && return 0
  for dir in /usr/sbin /sbin; do
    [ -x "$dir/$1" ] && { echo "$dir/$1"; return 0; }
  done
  return 0
}
find_pppd() { find_tool pppd; }

# The keeper, as root (through the one sudo that may ask for a password):
# it runs its command and ends it as soon as the launcher is gone. It reads
# a pipe that only the launcher holds open, and the launcher's end, however
# it comes (the wizard closed, Ctrl+C, TERM, the terminal closed, an error
# here, even a KILL), closes that pipe; the command is then sent TERM and
# waited for, so that it undoes what it did. Nothing is asked of sudo
# afterwards. The launcher learns the first line the keeper writes: with
# "tells", the command's own (it writes its news there, then no more);
# otherwise the command's process id once it has run for a second, or
# "ended STATUS" when it could not.
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
if [ "$1" = tells ]; then
  shift
  "$@" </dev/null &
  link=$!
else
  "$@" </dev/null >&2 &
  link=$!
  sleep 1
  if ! kill -0 "$link" 2>/dev/null; then
    status=0
    wait "$link" || status=$?
    echo "ended $status"
    exit 0
  fi
  echo "$link"
fi
exec >&2
cat <&3 >/dev/null &
watch=$!
while kill -0 "$link" 2>/dev/null && kill -0 "$watch" 2>/dev/null; do
  sleep 1 &
  wait $!
done
end'
link_pid=
link_dir=
link_log=
as_root=
wizard_pid=
watcher_pid=
started=

# Starts the keeper with a command, its messages into file LOG (empty: to
# the terminal): start_keeper LOG [tells] COMMAND...; the keeper's first
# line in $started. The launcher holds the keeper's pipe on descriptor 9.
start_keeper() {
  log=$1
  shift
  link_dir=$(mktemp -d "${TMPDIR:-/tmp}/$me.XXXXXX")
  mkfifo "$link_dir/keep" "$link_dir/started"
  (
    [ -z "$log" ] || exec 2>"$log"
    exec $as_root sh -c "$keeper" keeper "$@" <"$link_dir/keep" >"$link_dir/started"
  ) &
  link_pid=$!
  exec 9>"$link_dir/keep"
  started=
  read -r started <"$link_dir/started" || true
  rm -rf "$link_dir"
  link_dir=
}

# Messages to a terminal that is gone fail; the cleanup goes on regardless.
note() { say "$@" 2>/dev/null || true; }
# The wizard, when the script ends before it (Ctrl+C, TERM, the terminal
# closed): the prefix is the script's own, so every Wine process in it is
# the wizard's. A Wine that ignores that is killed after 3 s: the wizard
# ends within 5.
end_wizard() {
  [ -n "$wizard_pid" ] && kill -0 "$wizard_pid" 2>/dev/null || return 0
  note "ending the wizard"
  wineserver -k 2>/dev/null 9>&- || kill "$wizard_pid" 2>/dev/null || true
  tenths=0
  while kill -0 "$wizard_pid" 2>/dev/null && [ "$tenths" -lt 30 ]; do
    sleep 0.1
    tenths=$((tenths + 1))
  done
  kill -KILL "$wizard_pid" 2>/dev/null || true
  wizard_pid=
}
# The keeper sees its pipe closed and undoes the link; it is waited for,
# so that the link is undone when the launcher has ended.
end_link() {
  [ -z "$link_dir" ] || rm -rf "$link_dir"
  [ -n "$link_pid" ] || return 0
  [ -z "$serial" ] || note "ending the link (pppd)"
  exec 9>&-
  wait "$link_pid" 2>/dev/null
  link_pid=
}
# Why pppd ended, in its own words when it said why.
pppd_ended() {
  if grep -qs "/dev/ppp" "$link_log" || [ "$1" = 4 ]; then
    echo "$me: pppd ended: this kernel has no PPP support loaded (no /dev/ppp). Load it: sudo modprobe ppp_generic" >&2
  else
    echo "$me: pppd ended${1:+ (status $1)}: $(tail -n 3 "$link_log" 2>/dev/null | tr '\n' ' ')" >&2
  fi
}
# Whatever ends the script: the wizard, then the link's keeper.
end_all() {
  set +e
  trap '' HUP INT TERM
  end_wizard
  [ -z "$watcher_pid" ] || kill "$watcher_pid" 2>/dev/null
  end_link
}
# A link needs root: as a user, the keeper is started through sudo.
link_needs_root() {
  if [ "$(id -u)" != 0 ]; then
    say "$1 needs root: its keeper starts through sudo, which may ask for your password (this once only)"
    as_root=sudo
  fi
  trap end_all EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
}

# The older link, in the background for as long as the wizard runs: the
# device sends "CLIENT" and waits for "CLIENTSERVER" before PPP starts;
# persist brings the link back when the device is taken out of its cradle
# and put back, and keeps pppd through a hang-up too.
serial_link_up() {
  link_needs_root pppd
  link_log=$(mktemp "${TMPDIR:-/tmp}/tesh-pppd.XXXXXX")
  start_keeper "$link_log" "$pppd" "$serial" "${speed:-115200}" connect "chat -v -t3 CLIENT CLIENTSERVER\\c" \
    "$desktop_address:$RAPI_PEER" noauth local nodefaultroute crtscts lock persist maxfail 0 holdoff 1 nodetach
  case $started in
    '') refuse "pppd did not start (sudo refused it?); run as root, or bring the link up yourself ($kit_readme, step 2)" ;;
    ended*)
      # A pppd that cannot start at all ends within a moment: no wizard then.
      pppd_ended "${started#ended }"
      exit 1 ;;
  esac
  say "pppd makes the link on $serial at ${speed:-115200} bit/s: dock the device now" \
      "(put it in its cradle, or plug in its cable)"
}

# While the wizard runs: a pppd that ends says why, and the wizard goes on.
# (The USB link's keeper watches its link itself.)
watch_link() {
  trap - EXIT INT TERM HUP
  [ -n "$serial" ] || return 0
  while kill -0 "$link_pid" 2>/dev/null; do sleep 1; done
  pppd_ended ""
  say "the wizard goes on; the device can dock again once the link is back (start the script anew)"
}
