#!/usr/bin/env bash
# Installs what the build needs (Debian), builds everything for Windows with
# MinGW-w64, and runs every test under Wine, headless.
#
#   tools/test.sh            build in ./build and run all tests
#   tools/test.sh -R device  pass further arguments to ctest
#
# The words are ctest's (-R NAME, -E NAME, -j N, --output-on-failure, ...);
# one that is none of them is named before anything is built, since ctest
# itself passes over a word it does not know.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
. "$here/command-words.sh"
answer_help "$0" "$@"

# ctest's options that take a value, and those that stand alone.
ctest_with_value=" -R --tests-regex -E --exclude-regex -L --label-regex -LE --label-exclude -I --tests-information
  -C --build-config --timeout --repeat --repeat-until-fail -FA --fixture-exclude-any -FS --fixture-exclude-setup
  -FC --fixture-exclude-cleanup -O --output-log --output-junit --stop-time --test-load
  --max-width --test-dir "
ctest_alone=" -V --verbose -VV --extra-verbose -N --show-only -Q --quiet --output-on-failure --stop-on-failure
  --rerun-failed -U --union --schedule-random --progress --no-label-summary --no-subproject-summary --debug
  --print-labels --force-new-ctest-process --no-tests "
words=("$@")
for ((i = 0; i < ${#words[@]}; i++)); do
  word=${words[i]}
  case "$word" in
    -j | --parallel) [[ ${words[i + 1]:-} =~ ^[0-9]+$ ]] && i=$((i + 1)) ;;
    -j[0-9]*) ;;
    --*=*) [[ "$ctest_with_value$ctest_alone" == *[[:space:]]"${word%%=*}"[[:space:]]* ]] ||
             refuse_word "$0" option "$word" "ctest's options, e.g. -R NAME, -E NAME, -j N, --output-on-failure" ;;
    *)
      if [[ $ctest_with_value == *[[:space:]]"$word"[[:space:]]* ]]; then
        if [ "$((i + 1))" -ge "${#words[@]}" ]; then
          echo "test: $word needs a value, e.g. $word NAME; see: tools/test.sh --help" >&2
          exit 2
        fi
        i=$((i + 1))
      elif [[ $ctest_alone != *[[:space:]]"$word"[[:space:]]* ]]; then
        refuse_word "$0" "$([ "${word#-}" = "$word" ] && echo word || echo option)" "$word" \
          "ctest's options, e.g. -R NAME, -E NAME, -j N, --output-on-failure"
      fi ;;
  esac
done
build=${TESH_BUILD_DIR:-$repo/build}
"$here/build.sh" "$build"
cd "$build"
ctest --output-on-failure "$@"
