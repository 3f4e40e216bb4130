#!/usr/bin/env bash
# Every link in the README and docs/ leads somewhere: a relative link names a
# file of the repository, and a link with #anchor names a heading of its
# target (the anchor a Markdown renderer makes from the heading: lower case,
# punctuation dropped, spaces as dashes). The README's first screen stays a
# first screen: at most 200 lines.
#
#   doc_links.sh REPO
set -uo pipefail
repo=${1:?usage: doc_links.sh REPO}
cd "$repo" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

anchors_of() {  # the anchors of the headings of file $1, one a line
  grep -E '^#{1,6} ' "$1" | sed -E 's/^#+ +//' | tr 'A-Z' 'a-z' |
    sed -E 's/[^a-z0-9 _-]//g; s/ /-/g'
}

checked=0
for doc in README.md docs/*.md; do
  dir=$(dirname "$doc")
  # Links outside code spans and fenced blocks: ](target) of a [text](target).
  while IFS= read -r target; do
    checked=$((checked + 1))
    case "$target" in
      http://*|https://*|mailto:*) continue ;;
    esac
    file=${target%%#*}
    anchor=
    [ "$file" != "$target" ] && anchor=${target#*#}
    if [ -z "$file" ]; then path=$doc; else path=$dir/$file; fi
    if [ ! -e "$path" ]; then
      fail "$doc links to $target: no file $path"
      continue
    fi
    if [ -n "$anchor" ] && ! anchors_of "$path" | grep -qx -- "$anchor"; then
      fail "$doc links to $target: no heading in $path makes the anchor #$anchor"
    fi
  done < <(awk '/^```/ { fenced = !fenced; next } !fenced' "$doc" | sed -E 's/`[^`]*`//g' |
           grep -oE '\]\([^) ]+\)' | sed -E 's/^\]\(//; s/\)$//')
done

lines=$(wc -l < README.md)
[ "$lines" -le 200 ] || fail "README.md has $lines lines; its first screen should stay under 200"
[ "$checked" -gt 0 ] || fail "no link was found to check"

echo "doc_links: $checked links checked"
[ "$failures" -eq 0 ]
