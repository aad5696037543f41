#!/bin/sh
# Runs a Windows program under Wine with the build's own prefix. CMake uses it as the emulator of
# the Windows build, so CTest runs the Windows test programs through it.
# The prefix lives in <build>/wineprefix; the build folder is found from the program's path.
set -e
prog="$1"
dir=$(cd "$(dirname "$prog")" && pwd)
build="$dir"
while [ "$build" != "/" ] && [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
fi
exec wine "$@"
