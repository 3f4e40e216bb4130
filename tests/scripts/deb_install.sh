#!/usr/bin/env bash
# The Debian package as a new user meets it, on a fresh Debian 12 of its own
# (build/debian12, made once with tools/debian-root.sh and reused; with
# TESH_DEB_SUITE=trixie Debian 13 in build/debian13, the benchmark's): apt-get
# installs the package and what it needs, tesh-reader-setup is on the PATH
# and answers --help; a user runs it with --folder on a read-only folder of
# books, as from a disc; the launcher makes the user's Wine prefix under
# XDG_DATA_HOME, saying so; the simulated device docks over the network and
# test_e2e's LinuxLink robot sees Device Info and the folder's books on the
# book page; the folder is left as it was. Then apt-get purge (and
# autoremove) leaves no file of the package behind.
#
#   tests/scripts/deb_install.sh BUILD_DIR DEB
#
# Needs root and a build with the tests (cedevice.exe, test_e2e.exe). When
# Debian's archive cannot be reached it says so in one line and ends with 0.
# Everything runs in network and mount namespaces of its own, X on an Xvfb
# there; it prints how long the Debian system took and the whole run.
set -uo pipefail
desktop=192.168.131.102
suite=${TESH_DEB_SUITE:-bookworm}
case $suite in
  bookworm) system=debian12 ;;
  trixie) system=debian13 ;;
  *) echo "deb install: TESH_DEB_SUITE is bookworm or trixie, not $suite" >&2; exit 2 ;;
esac
device=192.168.131.201
books="Alice's Adventures in Wonderland|The Time Machine"

# ---- Inside the Debian system, as its root: install, run (in the test's
# namespaces), purge.
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

as_user() {
  runuser -u reader -- env -i HOME=/home/reader USER=reader PATH=/usr/bin:/bin DISPLAY=:7 LC_ALL=C.UTF-8 \
    XDG_DATA_HOME=/home/reader/.data "$@"
}

install_package() {
  apt-get update -qq >"$work/apt.log" 2>&1 && apt-get install -y -qq "$deb" >>"$work/apt.log" 2>&1 ||
    { echo "FAIL: apt-get install $deb (apt.log below)" >&2; tail -n 20 "$work/apt.log" >&2; exit 1; }
  dpkg-query -W -f='${Status}\n' ppp | grep -q "install ok installed" || fail "apt did not bring ppp"
  [ "$(command -v tesh-reader-setup)" = /usr/bin/tesh-reader-setup ] || fail "tesh-reader-setup is not on the PATH"
  dpkg -L tesh-reader-setup | grep tesh-reader-setup > "$work/files.txt"
  id reader >/dev/null 2>&1 || useradd -m reader
  rm -rf /home/reader/.data /media/disc
  # The disc: the user may only read it.
  mkdir -p /media/disc/books /media/disc/other
  cp "$build/samples/alice.vbk" "$build/samples/time-machine.vbk" "$build/samples/Tesh Reader.exe.ppc300.arm" \
    "$build/samples/tarnlib.dll.ppc300.arm" /media/disc/books/
  touch /media/disc/other/neighbour
  chmod -R a-w /media/disc
  find /media/disc -printf '%p %s %T@ %m\n' | sort > "$work/disc.txt"
  as_user tesh-reader-setup --help > "$work/help.txt" 2>&1 || fail "tesh-reader-setup --help failed"
  grep -q -- "--folder DIR" "$work/help.txt" || fail "tesh-reader-setup --help does not name --folder"
}

run_on_the_disc() {
  local prefix launcher device_pid
  prefix=/home/reader/.data/tesh-reader-setup/wine
  (cd /home/reader && as_user tesh-reader-setup --folder /media/disc/books) > "$work/launcher.log" 2>&1 &
  launcher=$!
  for _ in $(seq 2400); do grep -q "setup folder:" "$work/launcher.log" && break; sleep 0.1; done
  grep -q "making the Wine prefix $prefix (once)" "$work/launcher.log" ||
    fail "the launcher did not say that it makes the prefix $prefix"
  grep -q "setup folder: /media/disc/books$" "$work/launcher.log" || fail "the launcher did not run on /media/disc/books"
  as_user sh -c "cd '$build/bin' && WINEPREFIX=$prefix WINEDEBUG=-all \
    exec wine cedevice.exe /home/reader/device --network $device --desktop $desktop --forgiving-docking" > "$work/device.log" 2>&1 &
  device_pid=$!
  as_user sh -c "cd '$build/bin' && WINEPREFIX=$prefix WINEDEBUG=-all TESH_PACKAGE_BOOKS=\"$books\" \
    exec wine test_e2e.exe --gtest_filter=LinuxLink.InstalledPackageRunsOnTheNamedFolder" > "$work/robot.log" 2>&1 ||
    fail "the robot failed (robot.log below)"
  grep -q "PASSED.*1 test" "$work/robot.log" || fail "the robot did not run its test"
  for _ in $(seq 300); do kill -0 "$launcher" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$launcher" 2>/dev/null && fail "the launcher did not end with the wizard"
  kill "$device_pid" 2>/dev/null
  as_user env WINEPREFIX=$prefix wineserver -k 2>/dev/null
  wait
  find /media/disc -printf '%p %s %T@ %m\n' | sort | cmp -s - "$work/disc.txt" || fail "the run changed the disc"
  if [ "$failures" -gt 0 ]; then
    for log in launcher robot device; do
      echo "---- $log.log"
      tail -n 30 "$work/$log.log" 2>/dev/null
    done
  fi
}

purge_package() {
  apt-get purge -y -qq tesh-reader-setup >>"$work/apt.log" 2>&1 || fail "apt-get purge failed"
  # The throwaway system has no root password, for which sudo refuses to go.
  SUDO_FORCE_REMOVE=yes apt-get autoremove --purge -y -qq >>"$work/apt.log" 2>&1 || fail "apt-get autoremove failed"
  while IFS= read -r file; do
    [ -e "$file" ] && fail "$file is left after apt-get purge"
  done < "$work/files.txt"
  [ -s "$work/files.txt" ] || fail "dpkg listed no file of the package"
  dpkg-query -W -f='${Status}\n' ppp 2>/dev/null | grep -q "install ok installed" &&
    fail "ppp, brought by the package, is left after autoremove"
}

if [ "${1:-}" = --in-root ]; then
  build=$3 deb=$4 work=$3/deb-install
  export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8
  case $2 in
    install) install_package ;;
    run) run_on_the_disc ;;
    purge) purge_package ;;
  esac
  [ "$failures" -eq 0 ]
  exit
fi

if [ "${1:-}" = --in-namespace ]; then
  # ---- In the test's own network and mount namespaces, as the host's root
  repo=$2 build=$3 deb=$4
  ip link set lo up
  ip addr add $desktop/32 dev lo
  ip addr add $device/32 dev lo
  # Port 990 for a user, in this namespace only: the device's own port.
  sysctl -qw net.ipv4.ip_unprivileged_port_start=0
  # The X server's socket folder stays in this namespace (not all of /tmp:
  # the checkout may lie there), and it keeps no lock file; its socket is
  # also an abstract one, which the Debian system's programs reach in the
  # same namespace.
  mkdir -p /tmp/.X11-unix
  mount -t tmpfs tmpfs /tmp/.X11-unix
  Xvfb :7 -nolock -nolisten tcp -screen 0 1024x768x24 >/dev/null 2>&1 &
  xvfb=$!
  status=0
  "$repo/tools/debian-root.sh" run "$build/$system" "$build" bash "$build/deb-install/deb_install.sh" \
    --in-root run "$build" "$deb" || status=$?
  kill "$xvfb"
  exit "$status"
fi

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR DEB}" && pwd)
deb=$(realpath "${2:?usage: $0 BUILD_DIR DEB}")
[ "$(id -u)" = 0 ] || { echo "deb install: needs root (debootstrap, chroot, namespaces)" >&2; exit 1; }
for file in "$deb" "$build/bin/cedevice.exe" "$build/bin/test_e2e.exe" "$build/samples/alice.vbk"; do
  [ -f "$file" ] || { echo "deb install: $file is missing (tools/test.sh, tools/package.sh)" >&2; exit 1; }
done
case "$deb" in
  "$build"/*) ;;
  *) echo "deb install: $deb must lie in $build, which the Debian system sees" >&2; exit 1 ;;
esac
started=$(date +%s)
if ! "$repo/tools/debian-root.sh" reachable "$suite" >/dev/null; then
  echo "deb install: skipped, Debian's archive cannot be reached"
  exit 0
fi
"$repo/tools/debian-root.sh" make "$suite" amd64 "$build/$system" wine wine64 fonts-wine util-linux || exit 1
rm -rf "$build/deb-install"
mkdir -p "$build/deb-install"
cp "$0" "$build/deb-install/deb_install.sh"
# Installing and purging reach the archive; the run is cut off from it.
in_root() {
  timeout -k 10 600 "$repo/tools/debian-root.sh" run "$build/$system" "$build" \
    bash "$build/deb-install/deb_install.sh" --in-root "$1" "$build" "$deb"
}
in_root install && timeout -k 10 600 unshare -n -m "$0" --in-namespace "$repo" "$build" "$deb"
status=$?
in_root purge || status=1
if [ "$status" = 0 ]; then
  echo "deb install: installed, ran on a folder of books, reached Device Info and was purged in $(($(date +%s) - started)) s"
else
  echo "deb install: failed (logs in $build/deb-install)" >&2
fi
exit "$status"
