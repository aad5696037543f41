#!/bin/sh
# Runs a Windows program under Wine with the build's own prefix. CMake uses it as the emulator of
# the Windows build, so CTest runs the Windows test programs through it.
# The prefix lives in <build>/wineprefix; the build folder is found from the program's path.
set -e
. "$(cd "$(dirname "$0")/.." && pwd)/scripts/wineprefix.sh"
prog="$1"
dir=$(cd "$(dirname "$prog")" && pwd)
build="$dir"
while [ "$build" != "/" ] && [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
qv_wineprefix "$WINEPREFIX"
exec wine "$@"
