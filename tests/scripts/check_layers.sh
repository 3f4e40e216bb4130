#!/usr/bin/env bash
# tools/check-layers.sh finds each wrong include planted, one at a time, in
# a copy of simulator/ and rapi/: a layer reaching where it may not, one
# transport or protocol using the other's files, and a circle. The copy as
# it is passes.
#
#   tests/scripts/check_layers.sh REPO
set -uo pipefail
repo=$(cd "${1:?usage: $0 REPO}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

fresh_copy() {
  rm -rf "$work/simulator" "$work/rapi"
  cp -r "$repo/simulator" "$repo/rapi" "$work/"
}
fresh_copy
"$repo/tools/check-layers.sh" "$work" 2>"$work/out" || fail "the copy as it is: $(cat "$work/out")"

# FILE (under the copy) | the include planted at its top | what the check says
while IFS='|' read -r file include expect; do
  fresh_copy
  sed -i "1i #include \"$include\"" "$work/$file"
  if "$repo/tools/check-layers.sh" "$work" 2>"$work/out"; then
    fail "$file including $include passed"
  elif ! grep -qF -- "$expect" "$work/out"; then
    fail "$file including $include: no \"$expect\" in: $(cat "$work/out")"
  fi
done <<'ROWS'
simulator/model/device_path.cpp|serve/pipe_service.h|model/ may not use it
simulator/model/device_path.cpp|protocol/wire.h|model/ may not use it
simulator/model/text_util.h|model/device.h|the includes of simulator/ run in a circle
rapi/pipe/pipe_request.cpp|rapi/network/exchange.h|the pipe and the network transports stay apart
rapi/network/exchange.cpp|rapi/pipe/pipe_request.h|the pipe and the network transports stay apart
rapi/network/rapi2_dock.cpp|rapi/network/rapi1_dock.h|one protocol's files do not use the other's
rapi/network/rapi1_calls.cpp|rapi/network/rapi2_file_calls.h|one protocol's files do not use the other's
rapi/startup.h|rapi/pipe/pipe_link.h|the includes of rapi/ run in a circle
ROWS
[ "$failures" -eq 0 ] && echo "check_layers: every planted include was found"
exit $((failures > 0))
