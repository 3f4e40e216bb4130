#!/usr/bin/env bash
# The layers of the simulated device and of the stand-in rapi.dll, checked
# from their #include lines (run by the build; a wrong include fails it).
# simulator/:
#   - model/ (the device and its image) includes only model/ files: never
#     serve/ and never protocol/, so the model knows no wire format;
#   - serve/ (services and the protocols' translators) includes model/,
#     serve/ and protocol/ files, never the programs on top.
# rapi/:
#   - the pipe (rapi/pipe/) and the network (rapi/network/) transports do
#     not include each other;
#   - within the network, the files of one protocol (rapi1_*, rapi2_*) do
#     not include the other protocol's; what both share has a name of its
#     own.
# In each of the two, the files include each other without a circle. A
# header and every .cpp file that defines its classes' members count as one
# unit (a class spread over several .cpp files is one unit), so a .cpp of
# the model cannot reach up to a header that includes the model.
#
#   tools/check-layers.sh [REPOSITORY]     (default: this one)
# Prints what is wrong and exits 1, or exits 0 silently.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/command-words.sh"
answer_help "$0" "$@"
refuse_options "$0" "" "$@"
[ "$#" -le 1 ] || refuse_word "$0" word "$2" "it takes one repository at most"
repo=${1:-$(dirname "$here")}
[[ -d $repo/simulator && -d $repo/rapi ]] ||
  refuse_word "$0" repository "$repo" "a checkout of this project, with simulator/ and rapi/ in it"
status=0

# The project's own includes of one file, one per line ("model/device.h").
includes() { sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$1"; }

wrong() {
  echo "$1" >&2
  status=1
}

# no_circle FOLDER FILE...: the FILEs (named as the includes name them, from
# the current folder) include each other without a circle. First the unit
# of each file: a header is its own unit; a .cpp file belongs to the header
# of the same name, else to the header that declares the class whose
# members it defines, else to itself.
no_circle() {
  local folder=$1 header class file included from to edges loop
  shift
  local -A classHeader=() unit=()
  for header in "$@"; do
    [[ $header == *.h ]] || continue
    for class in $(sed -n 's/^\(class\|struct\) \([A-Za-z_][A-Za-z0-9_]*\)\( .*\)\?[{:]\?$/\2/p' "$header"); do
      classHeader[$class]=$header
    done
  done
  for file in "$@"; do
    unit[$file]=$file
    [[ $file == *.cpp ]] || continue
    if [[ -e ${file%.cpp}.h ]]; then
      unit[$file]=${file%.cpp}.h
      continue
    fi
    # Definitions start a line: "Type Class::Member(" or "Class::Class(".
    for class in $(grep -oE '^[A-Za-z_][^(;]*\b[A-Za-z_][A-Za-z0-9_]*::~?[A-Za-z_][A-Za-z0-9_]*\(' "$file" |
                     sed -E 's/.*\b([A-Za-z_][A-Za-z0-9_]*)::~?[A-Za-z_][A-Za-z0-9_]*\($/\1/' | sort -u); do
      if [[ -n ${classHeader[$class]:-} ]]; then
        unit[$file]=${classHeader[$class]}
        break
      fi
    done
  done
  # Then the edges between units, sorted topologically: tsort names a loop.
  edges=$(for file in "${!unit[@]}"; do
    while read -r included; do
      [[ -e $included && -n ${unit[$included]:-} ]] || continue
      from=${unit[$file]} to=${unit[$included]}
      if [[ $from != "$to" ]]; then echo "$from $to"; fi
    done < <(includes "$file")
  done | sort -u)
  loop=$(tsort <<<"$edges" 2>&1 >/dev/null || true)
  if [[ -n $loop ]]; then
    wrong "the includes of $folder run in a circle:"
    grep -v 'input contains a loop' <<<"$loop" | sed 's/^tsort: /  /' >&2
  fi
}

# simulator/: its files name each other from simulator/.
cd "$repo/simulator"
shopt -s nullglob
for file in model/*.h model/*.cpp serve/*.h serve/*.cpp; do
  layer=${file%%/*}
  while read -r included; do
    [[ -n $included ]] || continue
    case $layer:$included in
      model:model/*) ;;
      serve:model/* | serve:serve/* | serve:protocol/*) ;;
      *) wrong "$file includes \"$included\": $layer/ may not use it" ;;
    esac
  done < <(includes "$file")
done
no_circle simulator/ model/*.h model/*.cpp serve/*.h serve/*.cpp *.h *.cpp

# rapi/: its files name each other from the repository's top.
cd "$repo"
rapi_files=(rapi/*.h rapi/*.cpp rapi/*/*.h rapi/*/*.cpp)
for file in "${rapi_files[@]}"; do
  while read -r included; do
    case $file:$included in
      rapi/pipe/*:rapi/network/* | rapi/network/*:rapi/pipe/*)
        wrong "$file includes \"$included\": the pipe and the network transports stay apart" ;;
      rapi/network/rapi1_*:rapi/network/rapi2_* | rapi/network/rapi2_*:rapi/network/rapi1_*)
        wrong "$file includes \"$included\": one protocol's files do not use the other's" ;;
    esac
  done < <(includes "$file")
done
no_circle rapi/ "${rapi_files[@]}"
exit $status
