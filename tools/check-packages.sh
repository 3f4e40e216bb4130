#!/usr/bin/env bash
# Checks the release zips that `cmake --build BUILD --target package` makes:
# each holds exactly the files it should, its programs are Windows programs
# of the right width, and its texts have Windows line ends.
#
#   tools/check-packages.sh PACKAGES_64 [PACKAGES_32]
#
# PACKAGES_64 is build/packages (the setup folder, the simulator kit and the
# Linux zip),
# PACKAGES_32 is build-i686/packages (the 32-bit setup folder).
set -euo pipefail

if [ "$#" -lt 1 ] || [ "$#" -gt 2 ]; then
  echo "usage: $0 PACKAGES_64 [PACKAGES_32]" >&2
  exit 2
fi
version=1.1
failures=0
checked=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

pairs="hpc200.mips ppc201.mips hpc211.mips ppc211.mips ppc300.mips hpc300.mips
hpc200.sh3 ppc201.sh3 hpc211.sh3 ppc211.sh3 ppc300.sh3
hpc211.sh4 hpc211.arm hpc300.arm ppc300.arm"

setup_folder_files() {
  printf '%s\n' README.txt setup.exe
}

kit_files() {
  local pair
  printf '%s\n' HOWTO.txt cedevice.exe cecopy.exe rapi.dll
  for pair in $pairs; do
    printf '%s\n' "Tesh Reader.exe.$pair" "tarnlib.dll.$pair"
  done
  printf '%s\n' alice.vbk damaged.vbk les-miserables.vbk moby-dick.vbk pride-and-prejudice.vbk \
    tale-of-two-cities.vbk time-machine.vbk wsj0101.vbk wsj0102.vbk
}

linux_files() {
  printf '%s\n' rapi.dll setup.exe tesh-reader-setup.sh
}

# The machine field of a PE file: 8664 for x86-64, 014c for i386.
pe_machine() {
  local file=$1 offset
  [ "$(head -c 2 "$file")" = MZ ] || { echo none; return; }
  offset=$(od -An -tu4 -j60 -N4 "$file" | tr -d ' ')
  [ "$(dd if="$file" bs=1 skip="$offset" count=4 2>/dev/null | od -An -c | tr -d ' ')" = 'PE\0\0' ] ||
    { echo none; return; }
  od -An -tx2 -j$((offset + 4)) -N2 "$file" | tr -d ' '
}

# check_zip ZIP MACHINE LIST_FUNCTION: the listing, the programs, the texts.
check_zip() {
  local zip=$1 machine=$2 list=$3 unpacked name
  checked=$((checked + 1))
  if [ ! -f "$zip" ]; then
    fail "$zip is missing"
    return
  fi
  if ! diff <($list | sort) <(cmake -E tar tf "$zip" | sort) >/dev/null; then
    fail "$zip does not hold what it should (< expected, > found):"
    diff <($list | sort) <(cmake -E tar tf "$zip" | sort) >&2 || true
  fi
  unpacked=$(mktemp -d)
  zip=$(realpath "$zip")
  if ! (cd "$unpacked" && cmake -E tar xf "$zip"); then
    fail "$zip cannot be unpacked"
  fi
  while IFS= read -r name; do
    [ -f "$unpacked/$name" ] || continue
    case "$name" in
      *.exe|*.dll)
        [ "$(pe_machine "$unpacked/$name")" = "$machine" ] ||
          fail "$zip: $name is not a Windows program for machine $machine" ;;
      *.txt)
        grep -q $'\r$' "$unpacked/$name" && ! grep -q $'[^\r]$' "$unpacked/$name" ||
          fail "$zip: $name does not have Windows line ends"
        grep -q "$version" "$unpacked/$name" || fail "$zip: $name does not name version $version" ;;
      *.sh)
        [ -x "$unpacked/$name" ] || fail "$zip: $name is not executable"
        sh -n "$unpacked/$name" || fail "$zip: $name is not a valid shell script" ;;
    esac
  done < <($list)
  rm -rf "$unpacked"
}

check_zip "$1/TeshReaderSetup-$version-win64.zip" 8664 setup_folder_files
check_zip "$1/TeshReaderSetup-$version-simulator-kit-win64.zip" 8664 kit_files
check_zip "$1/TeshReaderSetup-$version-linux.zip" 8664 linux_files
if [ "$#" -eq 2 ]; then
  check_zip "$2/TeshReaderSetup-$version-win32.zip" 014c setup_folder_files
fi

if [ "$failures" -gt 0 ]; then
  echo "packages: $failures problems in $checked zips" >&2
  exit 1
fi
echo "packages: $checked zips hold what they should"
