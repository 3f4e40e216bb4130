#!/usr/bin/env bash
# Makes the Debian package of the Linux kit from a built 64-bit build
# folder, and prints its path:
#   /usr/bin/tesh-reader-setup                the launcher (the zip's one)
#   /usr/lib/tesh-reader-setup/               setup.exe, the stand-in rapi.dll, rapidock.exe
#                                             and the launcher's -usb.sh and -link.sh parts
#   /usr/share/applications/tesh-reader-setup.desktop   the menu entry
#   /usr/share/icons/hicolor/NxN/apps/tesh-reader-setup.png
#                                             the icon, taken out of setup.exe
#   /usr/share/man/man1/tesh-reader-setup.1.gz   the manual page, made from
#                                             the launcher's --help
#   /usr/share/doc/tesh-reader-setup/         copyright, changelog.gz, and the kit's
#                                             README.txt.gz, which the launcher names
# The version is the build's (BUILD_DIR/packaging/debian/control).
#
#   tools/make-deb.sh BUILD_DIR OUT_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
. "$here/command-words.sh"
answer_help "$0" "$@"
refuse_options "$0" "" "$@"
[ "$#" -eq 2 ] || { echo "usage: $0 BUILD_DIR OUT_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
out=$2
name=tesh-reader-setup
sources=$repo/packaging/debian

fail() {
  echo "make-deb: $*" >&2
  exit 2
}
for file in bin/setup.exe bin/rapi.dll bin/rapidock.exe packaging/debian/control; do
  [ -f "$build/$file" ] || fail "$build/$file is missing: build the project first (tools/package.sh)"
done
for tool in wrestool icotool dpkg-deb; do
  command -v "$tool" >/dev/null || fail "$tool is needed (apt-get install icoutils dpkg)"
done
version=$(sed -n 's/^Version: //p' "$build/packaging/debian/control")
maintainer=$(sed -n 's/^Maintainer: //p' "$build/packaging/debian/control")
# One date for every file, so that the same sources make the same package.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$repo" log -1 --format=%ct 2>/dev/null || date +%s)}

root=$build/deb-root
rm -rf "$root"
doc=$root/usr/share/doc/$name
install -d "$root/DEBIAN" "$root/usr/bin" "$root/usr/lib/$name" "$root/usr/share/applications" \
  "$root/usr/share/man/man1" "$doc"
install -m 0755 "$repo/packaging/linux/tesh-reader-setup.sh" "$root/usr/bin/$name"
install -m 0644 "$build/bin/setup.exe" "$build/bin/rapi.dll" "$build/bin/rapidock.exe" \
  "$repo/packaging/linux/tesh-reader-setup-usb.sh" "$repo/packaging/linux/tesh-reader-setup-link.sh" "$root/usr/lib/$name/"
install -m 0644 "$sources/$name.desktop" "$root/usr/share/applications/"
install -m 0644 "$sources/copyright" "$doc/"
gzip -9n < "$build/packaging/linux/README.txt" > "$doc/README.txt.gz"
chmod 0644 "$doc/README.txt.gz"

# The icon's images, as setup.exe carries them (its first icon group).
icons=$build/deb-icons
rm -rf "$icons"
mkdir -p "$icons"
wrestool -x --type=14 "$build/bin/setup.exe" -o "$icons/"
icotool -x -o "$icons" "$icons"/*.ico
for png in "$icons"/*.png; do
  size=$(sed -E 's/.*_([0-9]+)x[0-9]+x[0-9]+\.png$/\1/' <<< "$png")
  install -D -m 0644 "$png" "$root/usr/share/icons/hicolor/${size}x${size}/apps/$name.png"
done
rm -rf "$icons"

sh "$root/usr/bin/$name" --help |
  awk -v version="$version" -v date="$(date -u -d "@$epoch" +%Y-%m-%d)" -f "$sources/help-to-man.awk" |
  gzip -9n > "$root/usr/share/man/man1/$name.1.gz"
printf '%s (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- %s  %s\n' \
  "$name" "$version" "$version" "$maintainer" "$(date -u -R -d "@$epoch")" | gzip -9n > "$doc/changelog.gz"

sed "/^Architecture:/a Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)" \
  "$build/packaging/debian/control" > "$root/DEBIAN/control"
(cd "$root" && find usr -type f -print0 | sort -z | xargs -0 md5sum) > "$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
find "$root" -type d -exec chmod 0755 {} +
find "$root" -exec touch -h -d "@$epoch" {} +

mkdir -p "$out"
deb=$out/${name}_${version}_amd64.deb
SOURCE_DATE_EPOCH=$epoch dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
rm -rf "$root"
echo "$deb"
