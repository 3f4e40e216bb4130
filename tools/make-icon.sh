#!/usr/bin/env bash
# Draws the program's icon, a handheld showing a page of a book, with
# ImageMagick, and writes it as a Windows icon file holding 16, 32, 48 and
# 64 pixel images (uncompressed ones, which every Windows reads). setup.rc's
# build puts it into setup.exe; the Debian package's menu icons are taken
# back out of setup.exe, so the two never differ.
#
#   tools/make-icon.sh ICON_FILE
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/command-words.sh"
answer_help "$0" "$@"
[ "$#" -eq 1 ] || { echo "usage: $0 ICON_FILE" >&2; exit 2; }
command -v convert >/dev/null || { echo "make-icon: ImageMagick's convert is needed (apt-get install imagemagick)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Drawn once large, then scaled down for each size.
convert -size 256x256 xc:none \
  -fill '#24466e' -draw 'roundrectangle 44,8 212,248 26,26' \
  -fill '#f6f2e4' -draw 'rectangle 62,30 194,200' \
  -fill '#9c2a2a' -draw 'rectangle 76,46 180,66' \
  -fill '#5d6470' -draw 'rectangle 76,84 180,94' -draw 'rectangle 76,108 168,118' \
  -draw 'rectangle 76,132 180,142' -draw 'rectangle 76,156 150,166' \
  -fill '#c9d4e2' -draw 'circle 128,224 128,236' \
  "PNG32:$work/icon.png"
for size in 16 32 48 64; do
  convert "$work/icon.png" -resize "${size}x${size}" "PNG32:$work/icon-$size.png"
done
convert "$work"/icon-16.png "$work"/icon-32.png "$work"/icon-48.png "$work"/icon-64.png "$1"
