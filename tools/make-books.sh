#!/usr/bin/env bash
# Writes sample e-book files ("*.vbk") into a folder, so that Install Book
# can be tried at once: a few ordinary books, two issues of the newspaper,
# one large book (4 MiB, so that the progress window can be watched while
# it copies), and in the subfolder more-books/ one damaged file whose header
# is cut short (reached with Browse on the book page).
#
#   tools/make-books.sh DIR           the sample books
#   tools/make-books.sh --large DIR   the large book at 32 MiB instead, whose
#                                     copy takes a moment even without a
#                                     slow link (used for screenshots)
#
# A book file starts with a 78-byte header: bytes 0-31 hold the title in
# code page 1252, padded with NUL bytes (a title of 32 bytes has no NUL);
# bytes 32-77 hold the author, NUL-padded, which the setup does not read.
# The text of the book follows. Everything here is generated.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/command-words.sh"
answer_help "$0" "$@"
refuse_options "$0" "--large" "$@"

large=0
if [ "${1:-}" = "--large" ]; then
  large=1
  shift
fi
if [ "$#" -ne 1 ]; then
  echo "usage: $0 [--large] DIR" >&2
  exit 2
fi
dir=$1
mkdir -p "$dir"

# Writes FIELD (a printf format, so that "\xe9" is one byte) padded with NUL
# bytes to SIZE bytes; a longer text is cut at SIZE.
field() {
  local format=$1 size=$2 bytes
  bytes=$(printf "$format" | wc -c)
  if [ "$bytes" -ge "$size" ]; then
    printf "$format" | head -c "$size"
  else
    printf "$format"
    head -c $((size - bytes)) /dev/zero
  fi
}

# book FILE TITLE AUTHOR CHAPTERS: a header and generated chapters of text.
book() {
  local file=$1 title=$2 author=$3 chapters=$4 chapter line
  {
    field "$title" 32
    field "$author" 46
    for ((chapter = 1; chapter <= chapters; chapter++)); do
      printf '\r\nChapter %d\r\n\r\n' "$chapter"
      for ((line = 1; line <= 40; line++)); do
        printf 'Sample text of "%s", chapter %d, line %d: generated for trying the setup.\r\n' \
          "$file" "$chapter" "$line"
      done
    done
  } > "$dir/$file"
}

book tale-of-two-cities.vbk 'A Tale of Two Cities' 'Charles Dickens' 12
book pride-and-prejudice.vbk 'Pride and Prejudice' 'Jane Austen' 10
book moby-dick.vbk 'Moby-Dick; or, The Whale' 'Herman Melville' 14
book time-machine.vbk 'The Time Machine' 'H. G. Wells' 4
# The title fills all 32 bytes, with no NUL after it.
book alice.vbk "Alice's Adventures in Wonderland" 'Lewis Carroll' 6
# A title with a letter outside ASCII (e with acute accent, 0xE9).
book les-miserables.vbk 'Les Mis\xe9rables' 'Victor Hugo' 16
# Two issues of the newspaper: one title, told apart by their file names.
book wsj0101.vbk 'The Wall Street Journal' 'Dow Jones' 2
book wsj0102.vbk 'The Wall Street Journal' 'Dow Jones' 2
# A damaged file: 40 bytes, shorter than a header; in a folder of its own,
# so that the book page's first list is clean and Browse has something to
# find.
mkdir -p "$dir/more-books"
field 'Damaged Book' 40 > "$dir/more-books/damaged.vbk"

large_mib=4
if [ "$large" = 1 ]; then
  large_mib=32
fi
{
  field 'Complete Works of Shakespeare' 32
  field 'William Shakespeare' 46
  yes 'Sample text, generated for a long copy to the device.' | head -c $((large_mib * 1024 * 1024)) || true
} > "$dir/complete-works.vbk"
echo "wrote 10 sample books to $dir (one in $dir/more-books)"
