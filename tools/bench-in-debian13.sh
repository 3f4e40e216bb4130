#!/usr/bin/env bash
# Runs the copy benchmark under Debian 13's Wine (10.0) instead of this
# machine's. Debian 12's Wine 8.0 spends more wineserver work on every
# socket use than on a named pipe's (see docs/benchmarks.md), which
# puts a floor under the network transport's figures there; this shows them
# on a Wine without that cost.
#
#   tools/bench-in-debian13.sh [ARGS...]     as root; ARGS default to "16 5"
#
# Debian 13 is set up once, with debootstrap and Debian's own archive, in
# build/debian13 (about 1 GB, a few minutes). The project must be built
# (tools/build.sh). The repository is bound into that system inside a mount
# namespace of this script's own, so that no mount outlives the run and
# nothing under build/ ever leads back into the repository. The benchmark
# gets a prefix of its own, build/wine-debian13, and the whole Wine session
# runs on one CPU, as the figures in docs/benchmarks.md do.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
root=$repo/build/debian13
. "$here/command-words.sh"
answer_help "$0" "$@"
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
[ "$#" -gt 0 ] || set -- 16 5

fail() {
  echo "bench-in-debian13: $*" >&2
  exit 2
}

[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, chroot, mounts)"
[ -f "$repo/build/bin/bench_copy_throughput.exe" ] || fail "build the project first: tools/build.sh"

# The system is ours only if it carries our marker; a half-made one (a
# debootstrap cut short) is made anew, anything else is left alone.
if [ ! -f "$root/.tesh-ready" ]; then
  if [ -f "$root/.tesh-created" ]; then
    rm -rf "$root"
  elif [ -e "$root" ]; then
    fail "$root holds files this script did not make; not touching it"
  fi
  command -v debootstrap >/dev/null || apt-get install -y -qq debootstrap >/dev/null
  mkdir -p "$root"
  : > "$root/.tesh-created"
  debootstrap --variant=minbase trixie "$root" "$mirror"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  chroot "$root" apt-get install -y -qq --no-install-recommends wine wine64 fonts-wine util-linux >/dev/null
  : > "$root/.tesh-ready"
fi

# Inside the namespace: the host's devices and processes, the repository
# at its own path, then the benchmark with the device's pipe name it knows.
unshare --mount --propagation private -- bash -euc '
  root=$1 repo=$2
  shift 2
  mount --rbind /dev "$root/dev"
  mount -t proc proc "$root/proc"
  mkdir -p "$root$repo"
  mount --bind "$repo" "$root$repo"
  exec chroot "$root" /usr/bin/env -C "$repo" \
    CEDEVICE_PIPE="\\\\.\\pipe\\bench" TESH_WINE_PREFIX="$repo/build/wine-debian13" \
    bash -c "wine --version; status=0
             taskset -c 0 tools/wine-run.sh --system-rapi build/bin/rapi.dll \
                 build/bin/bench_copy_throughput.exe \"\$@\" || status=\$?
             WINEPREFIX=\$TESH_WINE_PREFIX wineserver -k 2>/dev/null || true
             exit \$status" bench "$@"
' bench "$root" "$repo" "$@"
