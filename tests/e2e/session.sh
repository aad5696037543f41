# Shell functions for a Wine session in a window: our own Xvfb (when there is no display), our own
# Wine prefix with a virtual desktop, screenshots, and a clean-up that ends only what we started:
# the Xvfb by its process id and the wineserver of our own prefix.
# Sourced by ./run (which sets QV_ROOT) and by scripts two folders below the root (which set
# `here` to their folder). Needs: wine, Xvfb, ImageMagick's import.
. "${QV_ROOT:-$here/../..}/scripts/wineprefix.sh"

QV_XVFB_PID=""
QV_OWN_DISPLAY=""

qv_log() { printf '%s\n' "$*"; }

# The virtual desktop's size and the DPI Wine shows programs at (96 is 100 %, 144 is 150 %, 192 is
# 200 %); a caller may set them before qv_prefix. The X screen must hold the desktop.
QV_DESKTOP="${QV_DESKTOP:-1024x768}"
QV_DPI="${QV_DPI:-96}"
QV_SCREEN="${QV_SCREEN:-1024x768}"

# qv_prefix DIR: use DIR as the Wine prefix, made on first use, with a virtual desktop of
# $QV_DESKTOP at $QV_DPI (set every time, so that no earlier session's DPI stays behind).
qv_prefix() {
  export WINEPREFIX="$1"
  export WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
  qv_wineprefix "$WINEPREFIX"
  if [ "${QV_VIRTUAL_DESKTOP:-1}" = 1 ]; then
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$QV_DESKTOP" /f >/dev/null 2>&1
  else
    wine reg delete 'HKCU\Software\Wine\Explorer' /v Desktop /f >/dev/null 2>&1 || true
  fi
  # Wine 8 takes the system's DPI from LogPixels of the user's desktop settings.
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$QV_DPI" /f >/dev/null 2>&1
  # The desktop and DPI settings take effect when the prefix's wineserver starts again.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}

# qv_display: keep $DISPLAY when there is one, otherwise start our own Xvfb on a free number.
qv_display() {
  if [ -n "${DISPLAY:-}" ] && [ "${QV_FORCE_XVFB:-0}" != 1 ]; then
    return 0
  fi
  n=91
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 "${QV_SCREEN}x24" -nolisten tcp >/dev/null 2>&1 &
  QV_XVFB_PID=$!
  QV_OWN_DISPLAY=":$n"
  export DISPLAY=":$n"
  i=0
  while [ ! -e "/tmp/.X11-unix/X$n" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
}

# qv_shot FILE: a screenshot of the whole virtual desktop (the top left of the X screen).
qv_shot() {
  mkdir -p "$(dirname "$1")"
  import -display "$DISPLAY" -window root -crop "$QV_DESKTOP+0+0" +repage "$1" >/dev/null 2>&1 ||
    qv_log "screenshot failed: $1"
}

# Test cases of a script, written as JUnit XML so that ./test counts them like a suite's.
# qv_record SUITE NAME OK [MESSAGE] records one case; qv_write_results SUITE FILE writes them all.
QV_CASES=""
QV_FAILURES=0
qv_record() {
  if [ "$3" = 1 ]; then
    qv_log "PASS $2"
    QV_CASES="$QV_CASES<testcase classname=\"$1\" name=\"$2\"/>"
  else
    qv_log "FAIL $2: ${4:-}"
    QV_FAILURES=$((QV_FAILURES + 1))
    QV_CASES="$QV_CASES<testcase classname=\"$1\" name=\"$2\"><failure message=\"${4:-failed}\"/></testcase>"
  fi
}
qv_write_results() {
  total=$(printf '%s' "$QV_CASES" | grep -o '<testcase' | wc -l)
  printf '<?xml version="1.0"?><testsuites><testsuite name="%s" tests="%s" failures="%s">%s</testsuite></testsuites>\n' \
    "$1" "$total" "$QV_FAILURES" "$QV_CASES" > "$2"
}

qv_cleanup() {
  if [ -n "${WINEPREFIX:-}" ]; then
    wineserver -k >/dev/null 2>&1 || true
  fi
  if [ -n "$QV_XVFB_PID" ]; then
    kill "$QV_XVFB_PID" 2>/dev/null || true
    wait "$QV_XVFB_PID" 2>/dev/null || true
    QV_XVFB_PID=""
  fi
}
