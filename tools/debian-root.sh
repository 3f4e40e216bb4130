#!/usr/bin/env bash
# A throwaway Debian system in a folder, made with debootstrap from Debian's
# own archive, and commands run inside it.
#
#   tools/debian-root.sh make SUITE ARCH FOLDER [PACKAGE...]
#   tools/debian-root.sh run FOLDER BIND_DIR COMMAND...
#   tools/debian-root.sh reachable SUITE
#
# make: sets up Debian SUITE (bookworm, trixie, ...) for ARCH (amd64, i386)
# in FOLDER once, with PACKAGE... installed (no recommended ones), and says
# in one line how long that took. A FOLDER made earlier with the same suite,
# architecture and packages is reused at once; one made with other packages
# gets the missing ones. Only a folder this script made is ever changed or
# deleted (it carries .tesh-created from its first moment; a making cut
# short is made anew). Ends with 3, saying so in one line, when Debian's
# archive cannot be reached. The whole making is bounded by
# TESH_ROOT_MINUTES (30). The archive is DEBIAN_MIRROR, else the first
# Debian archive named in this machine's apt sources, else deb.debian.org.
# run: runs COMMAND inside FOLDER in a mount namespace of its own, with the
# host's /dev, a /proc of its own and BIND_DIR at its own path, so that no
# mount outlives the run. The network namespace is the caller's.
# reachable: ends with 0 when Debian's archive answers for SUITE, else says
# so in one line and ends with 3.
#
# Needs root.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/command-words.sh"
answer_help "$0" "$@"

fail() {
  echo "debian-root: $*" >&2
  exit 2
}

# The first Debian archive (not its security archive) in the apt sources.
host_mirror() {
  grep -hoE 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/*.sources \
    /etc/apt/sources.list.d/*.list 2>/dev/null | head -n 1 | tr -d ' ' || true
}

mirror() {
  local found=${DEBIAN_MIRROR:-$(host_mirror)}
  echo "${found:-http://deb.debian.org/debian}"
}

# reachable SUITE: the archive answers for SUITE within 20 s.
reachable() {
  curl -fsS -o /dev/null --max-time 20 "$(mirror)/dists/$1/Release" 2>/dev/null
}

say_if_unreachable() {
  reachable "$1" || { echo "debian-root: Debian's archive ($(mirror)) cannot be reached for $1"; exit 3; }
}

# The record of what a finished root holds: suite, architecture, packages.
wanted_record() {
  local suite=$1 arch=$2
  shift 2
  printf '%s %s\n' "$suite" "$arch"
  printf '%s\n' "$@" | sort -u
}

make_root() {
  local suite=$1 arch=$2 root=$3 started missing
  shift 3
  [ -f "$root/.tesh-ready" ] && wanted_record "$suite" "$arch" "$@" | diff -q - "$root/.tesh-ready" >/dev/null &&
    { echo "debian-root: $suite/$arch in $root is ready (reused)"; return 0; }
  say_if_unreachable "$suite"
  started=$(date +%s)
  if [ -f "$root/.tesh-ready" ] && { [ "$(head -n 1 "$root/.tesh-ready")" = "$suite $arch" ] ||
       [ ! -s "$root/.tesh-ready" ]; }; then
    : # the same system (an empty record: made before records were kept): only packages may be missing
  elif [ -f "$root/.tesh-created" ]; then
    rm -rf "$root"
  elif [ -e "$root" ] && [ -n "$(ls -A "$root" 2>/dev/null)" ]; then
    fail "$root holds files this script did not make; not touching it"
  fi
  command -v debootstrap >/dev/null || apt-get install -y -qq debootstrap >/dev/null
  if [ ! -f "$root/.tesh-created" ]; then
    mkdir -p "$root"
    : > "$root/.tesh-created"
    rm -f "$root/.tesh-ready"
    timeout "$((${TESH_ROOT_MINUTES:-30} * 60))" \
      debootstrap --variant=minbase --arch="$arch" "$suite" "$root" "$(mirror)" >"$root.debootstrap.log" 2>&1 ||
      fail "debootstrap $suite/$arch failed or took too long (log: $root.debootstrap.log)"
    # No service starts inside the root when a package is installed.
    printf '#!/bin/sh\nexit 101\n' > "$root/usr/sbin/policy-rc.d"
    chmod +x "$root/usr/sbin/policy-rc.d"
  fi
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  missing=$(wanted_record "$suite" "$arch" "$@" | tail -n +2)
  if [ -n "$missing" ]; then
    # shellcheck disable=SC2086 # package names are words
    timeout "$((${TESH_ROOT_MINUTES:-30} * 60))" env TESH_ROOT_LOCKED=1 "$0" run "$root" / env DEBIAN_FRONTEND=noninteractive \
      sh -c 'apt-get update -qq && apt-get install -y -qq --no-install-recommends "$@"' install $missing \
      >"$root.apt.log" 2>&1 || fail "installing ${missing//$'\n'/ } into $root failed (log: $root.apt.log)"
  fi
  wanted_record "$suite" "$arch" "$@" > "$root/.tesh-ready"
  echo "debian-root: $suite/$arch made in $root in $(($(date +%s) - started)) s"
}

# run_in ROOT BIND_DIR COMMAND...: the folder's lock (descriptor 9) stays
# with this script, never with the command: a program the command leaves
# running (a Wine server) would otherwise hold it, and the next making of
# the folder would wait for it for ever.
run_in() {
  local root=$1 bind=$2
  shift 2
  [ -f "$root/.tesh-created" ] || fail "$root was not made by this script (tools/debian-root.sh make)"
  unshare --mount --propagation private -- bash -euc '
    root=$1 bind=$2
    shift 2
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    if [ "$bind" != / ]; then
      mkdir -p "$root$bind"
      mount --bind "$bind" "$root$bind"
    fi
    exec chroot "$root" "$@"
  ' run "$root" "$bind" "$@" 9>&-
}

[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, chroot, mounts)"
case "${1:-}" in
  make)
    [ "$#" -ge 4 ] || fail "usage: $0 make SUITE ARCH FOLDER [PACKAGE...]"
    shift
    suite=$1 arch=$2 root=$(realpath -m "$3")
    shift 3
    mkdir -p "$(dirname "$root")"
    # One making at a time per folder: parallel callers wait for it.
    exec 9>"$root.lock"
    flock 9
    make_root "$suite" "$arch" "$root" "$@" ;;
  run)
    [ "$#" -ge 4 ] || fail "usage: $0 run FOLDER BIND_DIR COMMAND..."
    shift
    root=$(realpath -m "$1")
    # A making of the same folder waits until the run has ended.
    if [ -z "${TESH_ROOT_LOCKED:-}" ]; then
      exec 9>"$root.lock"
      flock -s 9
    fi
    run_in "$root" "$2" "${@:3}" ;;
  reachable)
    [ "$#" -eq 2 ] || fail "usage: $0 reachable SUITE"
    say_if_unreachable "$2" ;;
  *) refuse_word "$0" word "${1:-}" "make, run, reachable" ;;
esac
