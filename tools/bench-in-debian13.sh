#!/usr/bin/env bash
# Runs the copy benchmark under Debian 13's Wine (10.0) instead of this
# machine's. Debian 12's Wine 8.0 spends more wineserver work on every
# socket use than on a named pipe's (see docs/benchmarks.md), which
# puts a floor under the network transport's figures there; this shows them
# on a Wine without that cost.
#
#   tools/bench-in-debian13.sh [MEBIBYTES [ROUNDS [compare]]]
#                                     as root; the benchmark's own words,
#                                     "16 5" unless given
#
# Debian 13 is set up once, with debootstrap and Debian's own archive, in
# build/debian13 (about 1 GB, a few minutes; tools/debian-root.sh). The
# project must be built (tools/build.sh). The repository is bound into that
# system inside a mount namespace of its own, so that no mount outlives the
# run and nothing under build/ ever leads back into the repository. The benchmark
# gets a prefix of its own, build/wine-debian13, and the whole Wine session
# runs on one CPU, as the figures in docs/benchmarks.md do.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
root=$repo/build/debian13
. "$here/command-words.sh"
answer_help "$0" "$@"
# The benchmark's words, checked before anything is set up or built.
position=0
for word in "$@"; do
  position=$((position + 1))
  case "$position:$word" in
    1:* | 2:*) [[ $word =~ ^[0-9]+$ ]] && continue ;;
    3:compare) continue ;;
  esac
  refuse_word "$0" "$([ "${word#-}" = "$word" ] && echo word || echo option)" "$word" "MEBIBYTES ROUNDS compare"
done
[ "$#" -gt 0 ] || set -- 16 5

fail() {
  echo "bench-in-debian13: $*" >&2
  exit 2
}

[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, chroot, mounts)"
[ -f "$repo/build/bin/bench_copy_throughput.exe" ] || fail "build the project first: tools/build.sh"

# Made once, and reused, by tools/debian-root.sh.
"$here/debian-root.sh" make trixie amd64 "$root" wine wine64 fonts-wine util-linux || exit

# Inside the root: the repository at its own path, then the benchmark with
# the device's pipe name it knows.
exec "$here/debian-root.sh" run "$root" "$repo" /usr/bin/env -C "$repo" \
  CEDEVICE_PIPE="\\\\.\\pipe\\bench" TESH_WINE_PREFIX="$repo/build/wine-debian13" \
  bash -c "wine --version; status=0
           taskset -c 0 tools/wine-run.sh --system-rapi build/bin/rapi.dll \
               build/bin/bench_copy_throughput.exe \"\$@\" || status=\$?
           WINEPREFIX=\$TESH_WINE_PREFIX wineserver -k 2>/dev/null || true
           exit \$status" bench "$@"
