#!/usr/bin/env bash
# Runs one Windows program under Wine, in a Wine prefix of the project's own.
#
#   tools/wine-run.sh [--system-rapi FILE] [PROGRAM.exe [ARGS...]]
#
# The prefix always lies under this repository's build/ folder: by default
# build/wine-headless, a prefix with Wine's null graphics driver, so dialogs,
# message boxes, focus and keyboard input work without an X server;
# TESH_WINE_DISPLAY=1 uses build/wine-display, which shows real windows.
# TESH_WINE_PREFIX chooses another prefix, which must also lie under build/.
# An inherited WINEPREFIX is ignored: it is a user's own prefix, which these
# scripts never use, change or delete.
# The prefix is created on first use, under a lock, so parallel callers
# never race to create it. A folder that is there already but was not made
# by these scripts is never deleted: it is refused.
# --system-rapi FILE installs FILE (the stand-in rapi.dll) as the prefix's
# system rapi.dll, where setup.exe loads it from, whenever FILE is newer.
# Without a PROGRAM only the prefix is prepared.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
. "$here/command-words.sh"
answer_help "$0" "$@"
case "${1:-}" in
  --system-rapi) ;;
  -*) refuse_word "$0" option "$1" "options: --system-rapi FILE --help; then a PROGRAM.exe and its words" ;;
esac

system_rapi=
if [ "${1:-}" = --system-rapi ]; then
  system_rapi=${2:?"wine-run: --system-rapi needs a file"}
  shift 2
fi

unset WINEPREFIX
if [ -n "${TESH_WINE_PREFIX:-}" ]; then
  prefix=$TESH_WINE_PREFIX
elif [ "${TESH_WINE_DISPLAY:-0}" = 1 ]; then
  prefix=$repo/build/wine-display
else
  prefix=$repo/build/wine-headless
fi
# Compared as absolute paths with every ".." and symbolic link resolved, so
# that no spelling of a path leads out of build/.
builds=$(realpath -m "$repo/build")
prefix=$(realpath -m "$prefix")
case "$prefix" in
  "$builds"/?*) ;;
  *)
    echo "wine-run: refusing the Wine prefix $prefix: the project's prefixes lie under $builds/" >&2
    exit 2
    ;;
esac
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer prompts: the program needs neither.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Code page 1252 for ANSI text, and UTF-8 host file names, so that device
# file names such as "Tesh(TM) Reader.lnk" can be stored in an image folder.
export LC_ALL=C.UTF-8
unset LANG LANGUAGE

wine_bin=$(command -v wine || command -v wine64 || true)
if [ -z "$wine_bin" ]; then
  echo "wine-run: Wine is not installed (apt-get install wine wine64)" >&2
  exit 127
fi

# What the project sets up in a prefix; raise it when set_up_prefix changes,
# and every existing prefix is set up again on its next use (not made anew).
prefix_setup_version=2

# Wine's own fonts, among them the bitmap "MS Sans Serif" (sserife.fon) the
# dialogs are laid out in, and Marlett for the caption buttons. This Wine
# does not put them into a new prefix, and without them GDI picks a wider
# host font for "MS Sans Serif" that cuts some labels.
wine_font_folder() {
  local folder
  for folder in /usr/share/wine/fonts /usr/local/share/wine/fonts \
                /opt/wine*/share/wine/fonts; do
    if [ -f "$folder/sserife.fon" ]; then
      printf '%s' "$folder"
      return 0
    fi
  done
  return 1
}

set_up_prefix() {
  local fonts
  if fonts=$(wine_font_folder); then
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp -f "$fonts"/*.fon "$fonts"/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  else
    echo "wine-run: Wine's fonts (package fonts-wine) not found; labels may be cut" >&2
  fi
}

prefix_ready() {
  [ "$(cat "$WINEPREFIX/.tesh-ready" 2>/dev/null)" = "$prefix_setup_version" ]
}

# Every prefix these scripts create carries this file from its first moment,
# before Wine writes anything into it. Only such a folder is ever deleted
# (a prefix whose making was cut short, and which is made again).
created_marker=.tesh-created

folder_is_empty() {
  [ -z "$(ls -A "$1" 2>/dev/null)" ]
}

# Makes the prefix folder anew, or refuses a folder that is not ours.
start_new_prefix() {
  if [ -f "$WINEPREFIX/$created_marker" ]; then
    rm -rf "$WINEPREFIX"
  elif [ -e "$WINEPREFIX" ] && ! folder_is_empty "$WINEPREFIX"; then
    echo "wine-run: $WINEPREFIX holds files these scripts did not make; not touching it" \
         "(delete it yourself, or choose another TESH_WINE_PREFIX)" >&2
    return 1
  fi
  mkdir -p "$WINEPREFIX"
  : > "$WINEPREFIX/$created_marker"
}

create_prefix() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.tesh-ready" ]; then
      start_new_prefix || exit 2
      "$wine_bin" wineboot -i >/dev/null 2>&1 || true
      if [ "${TESH_WINE_DISPLAY:-0}" != 1 ]; then
        "$wine_bin" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
      fi
      wineserver -w || true
    fi
    if ! prefix_ready; then
      set_up_prefix
      echo "$prefix_setup_version" > "$WINEPREFIX/.tesh-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
}

# The folder of the prefix's system DLLs for a DLL of FILE's machine type: a
# 64-bit prefix keeps 32-bit system DLLs in syswow64.
system_folder_for() {
  local header machine
  header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  machine=$(od -An -tx2 -j$((header + 4)) -N2 "$1" | tr -d ' ')
  if [ "$machine" = 14c ] && [ -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
    printf '%s' "$WINEPREFIX/drive_c/windows/syswow64"
  else
    printf '%s' "$WINEPREFIX/drive_c/windows/system32"
  fi
}

# Copies the stand-in over the prefix's rapi.dll when it is newer, by a
# rename, so that a program that has the old one loaded keeps running.
install_system_rapi() {
  local folder target
  if [ ! -f "$1" ]; then
    echo "wine-run: no such file: $1" >&2
    return 1
  fi
  folder=$(system_folder_for "$1")
  target=$folder/rapi.dll
  if [ "$1" -nt "$target" ]; then
    cp -p "$1" "$target.tesh-new.$$"
    mv -f "$target.tesh-new.$$" "$target"
  fi
}

prefix_ready || create_prefix
# One server per prefix, started with its output closed, and Wine's own
# background processes started through it: whatever they inherit outlives
# the program, and a test runner waits for every holder of its output pipe.
wineserver -p 60 </dev/null >/dev/null 2>&1 || true
"$wine_bin" wineboot </dev/null >/dev/null 2>&1 || true
if [ -n "$system_rapi" ]; then
  install_system_rapi "$system_rapi"
fi

if [ "$#" -eq 0 ]; then
  exit 0   # only prepare the prefix
fi

# True when this script's output stream fd is a pipe (ctest's): a
# terminal or a file is waited on by no one.
output_is_pipe() {
  [ -p "/proc/$$/fd/$1" ]
}

# The Wine processes of this prefix that still hold this run's output pipe
# once the program has ended. The one found is Wine's desktop process
# (explorer.exe /desktop): the first window of a program starts it, it
# inherits the program's standard error, and it lives as long as any
# program of the prefix does. A test runner waits for every holder of its
# output pipe, so one entry's run would last as long as every other
# program in the prefix; they are ended here, as the run's own cleanup.
# Only Wine's own processes count: a script that called this one holds the
# pipe too, and must go on.
end_holders_of_output() {
  local entry pid fd exe holders=()
  for entry in /proc/[0-9]*; do
    pid=${entry#/proc/}
    for fd in 1 2; do
      { output_is_pipe 1 && [ "$entry/fd/$fd" -ef "/proc/$$/fd/1" ]; } ||
        { output_is_pipe 2 && [ "$entry/fd/$fd" -ef "/proc/$$/fd/2" ]; } || continue
      exe=$(readlink "$entry/exe" 2>/dev/null) || break
      case "${exe##*/}" in wineserver*) break ;; wine*) ;; *) break ;; esac
      grep -qzxF "WINEPREFIX=$WINEPREFIX" "$entry/environ" 2>/dev/null && holders+=("$pid")
      break
    done
  done
  [ "${#holders[@]}" -eq 0 ] || kill "${holders[@]}" 2>/dev/null || true
}

if ! output_is_pipe 1 && ! output_is_pipe 2; then
  exec "$wine_bin" "$@"
fi
# Run as a child, so that the cleanup follows; a stop asked of this script
# is passed on to the program, as the same signal.
"$wine_bin" "$@" 0<&0 &
program=$!
for signal in TERM INT HUP; do
  # shellcheck disable=SC2064  # the signal is fixed now, the program too
  trap "kill -$signal $program 2>/dev/null" "$signal"
done
status=0
wait "$program" || status=$?
# A stop interrupts the first wait: wait for the program's own end.
while kill -0 "$program" 2>/dev/null; do wait "$program" || status=$?; done
end_holders_of_output
exit "$status"
