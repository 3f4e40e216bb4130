#!/usr/bin/env bash
# The simulated device's two layers, checked from the #include lines of
# simulator/ (run by the build; a wrong include fails it):
#   - model/ (the device and its image) includes only model/ files: never
#     serve/ and never protocol/, so the model knows no wire format;
#   - serve/ (services and the protocols' translators) includes model/,
#     serve/ and protocol/ files, never the programs on top;
#   - the files of simulator/ include each other without a circle. A header
#     and every .cpp file that defines its classes' members count as one
#     unit (a class spread over several .cpp files is one unit), so a .cpp
#     of the model cannot reach up to a header that includes the model.
#
#   tools/check-layers.sh [REPOSITORY]     (default: this one)
# Prints what is wrong and exits 1, or exits 0 silently.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/command-words.sh"
answer_help "$0" "$@"
refuse_options "$0" "" "$@"
repo=${1:-$(dirname "$here")}
sim=$repo/simulator
cd "$sim"
status=0

# The project's own includes of one file, one per line ("model/device.h").
includes() { sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$1"; }

# Rule 1 and 2: what each layer may include.
for file in model/*.h model/*.cpp serve/*.h serve/*.cpp; do
  [[ -e $file ]] || continue
  layer=${file%%/*}
  while read -r included; do
    [[ -n $included ]] || continue
    case $layer:$included in
      model:model/*) ;;
      serve:model/* | serve:serve/* | serve:protocol/*) ;;
      *)
        echo "$file includes \"$included\": $layer/ may not use it" >&2
        status=1
        ;;
    esac
  done < <(includes "$file")
done

# Rule 3: no circle. First the unit of each file: a header is its own
# unit; a .cpp file belongs to the header of the same name, else to the
# header that declares the class whose members it defines, else to itself.
declare -A classHeader unit
for header in model/*.h serve/*.h; do
  [[ -e $header ]] || continue
  for class in $(sed -n 's/^\(class\|struct\) \([A-Za-z_][A-Za-z0-9_]*\)\( .*\)\?[{:]\?$/\2/p' "$header"); do
    classHeader[$class]=$header
  done
done
for file in model/*.h model/*.cpp serve/*.h serve/*.cpp *.cpp; do
  [[ -e $file ]] || continue
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
  echo "the includes of simulator/ run in a circle:" >&2
  grep -v 'input contains a loop' <<<"$loop" | sed 's/^tsort: /  /' >&2
  status=1
fi
exit $status
