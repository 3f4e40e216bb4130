#!/usr/bin/env bash
# Writes the thirty reader and helper-library variant files into a folder:
# "Tesh Reader.exe.<tag>.<suffix>" and "tarnlib.dll.<tag>.<suffix>" for the
# fifteen device classes and processors a setup folder carries.
#
#   tools/make-variants.sh DIR
#
# The files are generated stand-ins, not device programs. Their first line
# is what the simulated device reads (docs/simulated-device.md, "What the device does"):
#   reader:  CEAPP<TAB>WINDOW<TAB>READER<TAB>Tesh™ Reader   (UTF-8)
#   library: CELIB<TAB>EXPORTS<TAB>CloseApp
# followed by some kilobytes of filler naming the variant, so that a test
# can tell which variant landed on a device.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/command-words.sh"
answer_help "$0" "$@"
refuse_options "$0" "" "$@"

if [ "$#" -ne 1 ]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
dir=$1
mkdir -p "$dir"

pairs="hpc200.mips ppc201.mips hpc211.mips ppc211.mips ppc300.mips hpc300.mips
hpc200.sh3 ppc201.sh3 hpc211.sh3 ppc211.sh3 ppc300.sh3
hpc211.sh4 hpc211.arm hpc300.arm ppc300.arm"

# Filler lines that name the file and variant; the count differs per tag so
# the variants also differ in size.
filler() {
  local what=$1 variant=$2 lines=$3 i
  for ((i = 1; i <= lines; i++)); do
    printf '%s variant %s, generated filler line %04d\n' "$what" "$variant" "$i"
  done
}

count=0
for variant in $pairs; do
  lines=$(( 60 + ${#variant} * 3 + count ))
  {
    printf 'CEAPP\tWINDOW\tREADER\tTesh\xe2\x84\xa2 Reader\n'
    filler "Tesh Reader.exe" "$variant" "$lines"
  } > "$dir/Tesh Reader.exe.$variant"
  {
    printf 'CELIB\tEXPORTS\tCloseApp\n'
    filler "tarnlib.dll" "$variant" $(( lines / 2 ))
  } > "$dir/tarnlib.dll.$variant"
  count=$((count + 1))
done
echo "wrote $((count * 2)) variant files to $dir"
