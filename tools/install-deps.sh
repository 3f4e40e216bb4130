#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need,
# once: a machine that has them all is left alone.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/command-words.sh"
answer_help "$0" "$@"
[ "$#" -eq 0 ] || refuse_word "$0" word "$1" "it takes none"
packages=(cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
          g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32
          wine wine64 fonts-wine googletest xvfb openbox xdotool x11-utils x11-apps imagemagick
          icoutils lintian debootstrap)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then sudo=; else sudo=sudo; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
