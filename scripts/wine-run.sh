#!/usr/bin/env bash
# Runs a Windows program under wine64 without a display, in a wine prefix of its own:
# $WINEPREFIX when set, else wineprefix/ in the current directory's build tree (the nearest
# directory upwards holding CMakeCache.txt), else ./wineprefix. The prefix is made on first
# use; parallel first uses wait for one another.
#
#   scripts/wine-run.sh build-win/telvane.exe -phone:123 alert.wav
#   scripts/wine-run.sh --start     (re)starts the prefix's wine server and its system
#                                   processes and keeps them until 30 s after the last
#                                   program ends
#   scripts/wine-run.sh --stop      ends the prefix's wine server (it lingers a little)
#
# Without --start, the first program of a session starts wine's system processes, which
# inherit its outputs: whoever reads them (ctest) waits until the server has lingered and
# ended them, seconds per program. After --start they run with no output of anyone's.
set -euo pipefail

wine=$(command -v wine64 || true)
[[ -z $wine && -x /usr/lib/wine/wine64 ]] && wine=/usr/lib/wine/wine64
if [[ -z $wine ]]; then
  echo "wine-run: wine64 is not installed (scripts/setup.sh --windows)" >&2
  exit 127
fi
server=$(dirname "$(readlink -f "$wine")")/wineserver

if [[ -z ${WINEPREFIX:-} ]]; then
  dir=$PWD
  while [[ $dir != / && ! -f $dir/CMakeCache.txt ]]; do dir=$(dirname "$dir"); done
  [[ $dir == / ]] && dir=$PWD
  export WINEPREFIX=$dir/wineprefix
fi
export WINEDEBUG=${WINEDEBUG:--all}
# Console programs need no display; without one wine does not try to open windows.
unset DISPLAY WAYLAND_DISPLAY
# Keep wine from asking to install Mono or Gecko when it makes the prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

if [[ ${1:-} == --stop ]]; then
  "$server" -k 2>/dev/null || true
  exit 0
fi

if [[ ! -f $WINEPREFIX/system.reg ]]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [[ ! -f $WINEPREFIX/system.reg ]]; then "$wine" wineboot -i >/dev/null 2>&1; fi
  ) 9>"$WINEPREFIX.lock"
fi

if [[ ${1:-} == --start ]]; then
  # A server already running (the one that just made the prefix, or an earlier --start)
  # cannot be made persistent: it is ended first.
  "$server" -k 2>/dev/null || true
  "$server" -w
  "$server" -p30 </dev/null >/dev/null 2>&1
  "$wine" cmd /c exit </dev/null >/dev/null 2>&1
  exit 0
fi

exec "$wine" "$@"
