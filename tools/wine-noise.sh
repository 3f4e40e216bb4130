#!/usr/bin/env bash
# The lines of Wine's output that tell a user of setup.exe nothing, and the
# filter that leaves them out, read by tools/run.sh. Run itself, it copies
# FILEs (or its input) without those lines:
#
#   tools/wine-noise.sh [FILE...]
#
# Wine's file dialog asks for the root of drive Z: (the host's "/") as a
# device and says, on every Browse, that it may not read it. Wine 8.0 goes
# on, on the same line, to say that the volume label and serial are not
# available: a line that starts so is left out whatever follows on it.

wine_noise_start='wine: Read access denied for device L"\\??\\Z:\\"'

# Copies its input to its output line by line, as the lines come, without
# the lines that start with the noise.
wine_noise_filter() {
  noise=$wine_noise_start awk 'index($0, ENVIRON["noise"]) != 1 { print; fflush() }'
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  set -euo pipefail
  . "$(dirname "$0")/command-words.sh"
  answer_help "$0" "$@"
  refuse_options "$0" "" "$@"
  for file in "$@"; do [ -f "$file" ] || refuse_word "$0" file "$file" "there is no such file"; done
  cat -- "$@" | wine_noise_filter
fi
