#!/usr/bin/env bash
# Checks the release zips and the Debian package that tools/package.sh
# makes (the package against one table of its files and fields, and with
# lintian):
# each holds exactly the files it should, its programs are Windows programs
# of the right width, and its texts have Windows line ends (Unix ones in the
# Linux zip). setup.exe and
# rapi.dll must also start on Windows XP (XP x64 for the 64-bit ones): they
# may import none of the functions in tools/xp-missing-imports.txt, and their
# subsystem version may not ask for a later Windows.
#
#   tools/check-packages.sh PACKAGES_64 [PACKAGES_32]
#
# PACKAGES_64 is build/packages (the setup folder, the simulator kit and the
# Linux zip),
# PACKAGES_32 is build-i686/packages (the 32-bit setup folder).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/command-words.sh"
answer_help "$0" "$@"
refuse_options "$0" "" "$@"
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
  printf '%s\n' HOWTO.txt install-rapi.cmd cedevice.exe cecopy.exe rapi.dll
  for pair in $pairs; do
    printf '%s\n' "Tesh Reader.exe.$pair" "tarnlib.dll.$pair"
  done
  printf '%s\n' alice.vbk complete-works.vbk les-miserables.vbk moby-dick.vbk more-books/ more-books/damaged.vbk \
    pride-and-prejudice.vbk tale-of-two-cities.vbk time-machine.vbk wsj0101.vbk wsj0102.vbk
}

linux_files() {
  printf '%s\n' README.txt rapi.dll rapidock.exe setup.exe tesh-reader-setup-link.sh tesh-reader-setup-usb.sh \
    tesh-reader-setup.sh
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

# One DLL!Function a line (DLL in capitals) from the import table of a PE file.
pe_imports() {
  x86_64-w64-mingw32-objdump -p "$1" | awk '
    /DLL Name:/ { dll = toupper($3); next }
    /^[[:space:]]*$/ { dll = "" }
    dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print dll "!" $3 }'
}

# The subsystem version a PE file asks for, as MAJOR.MINOR.
pe_subsystem_version() {
  x86_64-w64-mingw32-objdump -p "$1" |
    awk '/MajorSubsystemVersion/ { major = $2 } /MinorSubsystemVersion/ { minor = $2 } END { print major "." minor }'
}

# check_xp ZIP NAME FILE MACHINE: FILE starts on Windows XP of its width
# (5.1 for 32-bit, XP x64 is 5.2).
check_xp() {
  local zip=$1 name=$2 file=$3 machine=$4 newest missing version
  newest=5.1
  [ "$machine" = 8664 ] && newest=5.2
  # Function names compare exactly, DLL names without regard to case.
  missing=$(comm -12 <(pe_imports "$file" | awk -F'!' '{print toupper($1) "!" $2}' | sort -u) \
    <(grep -v '^#' "$here/xp-missing-imports.txt" | awk -F'!' 'NF == 2 {print toupper($1) "!" $2}' | sort -u))
  if [ -n "$missing" ]; then
    fail "$zip: $name imports what Windows XP lacks: $(echo $missing)"
  fi
  version=$(pe_subsystem_version "$file")
  if ! awk -v v="$version" -v n="$newest" 'BEGIN { split(v, a, "."); split(n, b, ".");
         exit !(a[1] + 0 < b[1] + 0 || (a[1] + 0 == b[1] + 0 && a[2] + 0 <= b[2] + 0)) }'; then
    fail "$zip: $name asks for Windows $version, later than XP ($newest)"
  fi
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
          fail "$zip: $name is not a Windows program for machine $machine"
        case "$name" in
          setup.exe|rapi.dll) check_xp "$zip" "$name" "$unpacked/$name" "$machine" ;;
        esac ;;
      *.txt|*.cmd)
        # Texts for Windows have Windows line ends; the Linux zip's, Unix ones.
        case "${zip##*/}" in
          *-linux.zip) ! grep -q $'\r' "$unpacked/$name" || fail "$zip: $name does not have Unix line ends" ;;
          *) grep -q $'\r$' "$unpacked/$name" && ! grep -q $'[^\r]$' "$unpacked/$name" ||
               fail "$zip: $name does not have Windows line ends" ;;
        esac
        grep -q "$version" "$unpacked/$name" || fail "$zip: $name does not name version $version" ;;
      *.sh)
        [ -x "$unpacked/$name" ] || fail "$zip: $name is not executable"
        sh -n "$unpacked/$name" || fail "$zip: $name is not a valid shell script" ;;
    esac
  done < <($list)
  rm -rf "$unpacked"
}

# The Debian package: one table of what it must hold. "field NAME VALUE":
# a control field; "file PATH MODE": a file it installs (no other file may
# be there); "entry KEY VALUE": a line of its menu entry.
deb_table() {
  cat <<TABLE
field Package tesh-reader-setup
field Version $version
field Architecture amd64
field Section utils
field Priority optional
field Depends wine, wine64, fonts-wine, ppp
field Recommends isc-dhcp-client | dhcpcd-base | udhcpc, sudo
file ./usr/bin/tesh-reader-setup -rwxr-xr-x
file ./usr/lib/tesh-reader-setup/setup.exe -rw-r--r--
file ./usr/lib/tesh-reader-setup/rapi.dll -rw-r--r--
file ./usr/lib/tesh-reader-setup/rapidock.exe -rw-r--r--
file ./usr/lib/tesh-reader-setup/tesh-reader-setup-usb.sh -rw-r--r--
file ./usr/lib/tesh-reader-setup/tesh-reader-setup-link.sh -rw-r--r--
file ./usr/share/applications/tesh-reader-setup.desktop -rw-r--r--
file ./usr/share/icons/hicolor/16x16/apps/tesh-reader-setup.png -rw-r--r--
file ./usr/share/icons/hicolor/32x32/apps/tesh-reader-setup.png -rw-r--r--
file ./usr/share/icons/hicolor/48x48/apps/tesh-reader-setup.png -rw-r--r--
file ./usr/share/icons/hicolor/64x64/apps/tesh-reader-setup.png -rw-r--r--
file ./usr/share/man/man1/tesh-reader-setup.1.gz -rw-r--r--
file ./usr/share/doc/tesh-reader-setup/copyright -rw-r--r--
file ./usr/share/doc/tesh-reader-setup/changelog.gz -rw-r--r--
file ./usr/share/doc/tesh-reader-setup/README.txt.gz -rw-r--r--
entry Type Application
entry Exec tesh-reader-setup
entry Icon tesh-reader-setup
entry Terminal true
entry Categories Utility;
TABLE
}

# check_deb DEB LINUX_ZIP: the table; the launcher, setup.exe and rapi.dll
# are the Linux zip's; each icon is as large as its folder says and is
# setup.exe's own; the manual page names every option of --help; lintian
# finds no error.
check_deb() {
  local deb=$1 zip=$2 unpacked kind name value listed found size png
  checked=$((checked + 1))
  [ -f "$deb" ] || { fail "$deb is missing"; return; }
  unpacked=$(mktemp -d)
  dpkg-deb -x "$deb" "$unpacked/root"
  zip=$(realpath "$zip")
  (cd "$unpacked" && cmake -E tar xf "$zip")
  listed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6, $1, $2 }')
  while read -r kind name value; do
    case $kind in
      field)
        found=$(dpkg-deb -f "$deb" "$name")
        [ "$found" = "$value" ] || fail "$deb: $name is \"$found\", not \"$value\"" ;;
      file)
        grep -qxF "$name $value root/root" <<< "$listed" || fail "$deb: no $name of mode $value owned by root" ;;
      entry)
        grep -qxF "$name=$value" "$unpacked/root/usr/share/applications/tesh-reader-setup.desktop" ||
          fail "$deb: the menu entry has no $name=$value" ;;
    esac
  done < <(deb_table)
  if ! diff <(deb_table | awk '$1 == "file" { print $2 }' | sort) <(cut -d' ' -f1 <<< "$listed" | sort) >/dev/null; then
    fail "$deb does not hold what it should (< expected, > found):"
    diff <(deb_table | awk '$1 == "file" { print $2 }' | sort) <(cut -d' ' -f1 <<< "$listed" | sort) >&2 || true
  fi
  [[ "$(dpkg-deb -f "$deb" Maintainer)" =~ ^[^\<]+\ \<[^@]+@[^\>]+\>$ ]] || fail "$deb: Maintainer is not a name and an address"
  [ "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 2 ] || fail "$deb: the Description has no long text"
  cmp -s "$unpacked/root/usr/bin/tesh-reader-setup" "$unpacked/tesh-reader-setup.sh" ||
    fail "$deb: the launcher is not the Linux zip's"
  for name in setup.exe rapi.dll rapidock.exe tesh-reader-setup-usb.sh tesh-reader-setup-link.sh; do
    cmp -s "$unpacked/root/usr/lib/tesh-reader-setup/$name" "$unpacked/$name" || fail "$deb: $name is not the Linux zip's"
  done
  wrestool -x --type=14 "$unpacked/setup.exe" -o "$unpacked/"
  icotool -x -o "$unpacked" "$unpacked"/*.ico 2>/dev/null
  for png in "$unpacked"/root/usr/share/icons/hicolor/*/apps/*.png; do
    size=${png%/apps/*}
    size=${size##*/}
    [ "$(identify -format '%wx%h' "$png")" = "$size" ] || fail "$deb: ${png#"$unpacked/root"} is not $size"
    cmp -s "$png" "$unpacked"/setup.exe_*_"$size"x*.png 2>/dev/null ||
      fail "$deb: ${png#"$unpacked/root"} is not setup.exe's own icon"
  done
  for name in $(sh "$unpacked/tesh-reader-setup.sh" --help | grep -oE '^  --[a-z]+'); do
    zcat "$unpacked/root/usr/share/man/man1/tesh-reader-setup.1.gz" | grep -q "^\.B ${name//-/\\\\-}" ||
      fail "$deb: the manual page does not describe $name"
  done
  if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb" >"$unpacked/lintian.txt" 2>&1 || { fail "$deb: lintian finds errors:"; cat "$unpacked/lintian.txt" >&2; }
  else
    fail "lintian is not installed (tools/install-deps.sh)"
  fi
  rm -rf "$unpacked"
}

check_zip "$1/TeshReaderSetup-$version-win64.zip" 8664 setup_folder_files
check_zip "$1/TeshReaderSetup-$version-simulator-kit-win64.zip" 8664 kit_files
check_zip "$1/TeshReaderSetup-$version-linux.zip" 8664 linux_files
check_deb "$1/tesh-reader-setup_${version}_amd64.deb" "$1/TeshReaderSetup-$version-linux.zip"
if [ "$#" -eq 2 ]; then
  check_zip "$2/TeshReaderSetup-$version-win32.zip" 014c setup_folder_files
fi

if [ "$failures" -gt 0 ]; then
  echo "packages: $failures problems in $checked packages" >&2
  exit 1
fi
echo "packages: $checked packages hold what they should"
