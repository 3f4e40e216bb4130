#!/usr/bin/env bash
# What every command in tools/ does with the words it is given, sourced by
# each of them. --help (or -h) as the first word prints the command's own
# usage, the comment block at the top of its script, and ends it with 0
# before anything is built or installed. A word the command does not know
# is named, with the words it knows, and ends it with 2.

# The comment block from line 2 to the script's first other line.
print_usage() {
  sed -n '2,/^[^#]/{/^#/{s/^# \{0,1\}//;p}}' "$1"
}

# answer_help SCRIPT "$@": ends the command with its usage when asked.
answer_help() {
  local script=$1
  shift
  case "${1:-}" in
    -h|--help) print_usage "$script"; exit 0 ;;
  esac
}

# refuse_word SCRIPT KIND WORD CHOICES: "KIND" is what the word was taken
# for (option, profile, word), CHOICES what the command knows instead.
refuse_word() {
  local name
  name=$(basename "$1" .sh)
  echo "$name: unknown $2 '$3' ($4); see: tools/$name.sh --help" >&2
  exit 2
}

# refuse_options SCRIPT KNOWN WORD...: refuses the first word that looks
# like an option (starts with "-") and is none of KNOWN.
refuse_options() {
  local script=$1 known=$2 word
  shift 2
  for word in "$@"; do
    case "$word" in
      -*) case " $known " in *" $word "*) ;; *) refuse_word "$script" option "$word" "options: ${known:+$known }--help" ;; esac ;;
    esac
  done
}

# not_a_command SCRIPT "$@": what a file of helpers that other scripts read
# answers when it is run itself: its usage on --help, else that it is read.
not_a_command() {
  answer_help "$1" "${@:2}"
  echo "$(basename "$1" .sh): this file holds helpers that other scripts read (. tools/$(basename "$1")); it is no command of its own; see: tools/$(basename "$1") --help" >&2
  exit 2
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then not_a_command "$0" "$@"; fi
