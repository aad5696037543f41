#!/bin/sh
# End-to-end test of the real window under Wine: the product executable starts, shows its
# caption, has the start-up layout, leaves a screenshot, closes on Esc and exits with 0. Then the
# window at 100 %, 150 % and 200 % (96, 144 and 192 DPI): the bench executable, whose drives fill
# the values, keeps the layout rules in the window's pixels, every text is whole and none overlaps
# another; a screenshot of each (window-NNNdpi.png).
# Usage: window_test.sh BUILD_DIR PRODUCT_EXE BENCH_EXE WINDRIVER_EXE
# Writes BUILD_DIR/test-results/e2e_window.xml and screenshots to BUILD_DIR/e2e-shots/.
set -u
build="$1"; product="$2"; bench="$3"; driver="$4"
here=$(cd "$(dirname "$0")" && pwd)
. "$here/session.sh"
QV_FORCE_XVFB=1
QV_SCREEN=2048x1536  # room for the desktop of 200 %
shots="$build/e2e-shots"
results="$build/test-results"
mkdir -p "$shots" "$results"
trap qv_cleanup EXIT INT TERM

qv_display
qv_prefix "$build/wineprefix-e2e"

record() { qv_record e2e_window "$@"; }

# The caption the embedded package gives: its TITLE, or "Package Error" when it has none.
expected=$(python3 - "$build/resources/package.zip" <<'PY'
import sys, zipfile, configparser
try:
    z = zipfile.ZipFile(sys.argv[1])
    text = z.read('QuorvelaInfo.ini').decode('utf-8', 'replace')
    c = configparser.ConfigParser(interpolation=None)
    c.read_string(text)
    print(c['UPDATEINFO'].get('TITLE', 'Package Error'))
except Exception:
    print('Package Error')
PY
)

wine "$product" >/dev/null 2>&1 &
app=$!
out=$(wine "$driver" wait 60 2>/dev/null | tr -d '\r')
caption=${out#caption }
if [ "$caption" = "$expected" ]; then record product_caption 1; else record product_caption 0 "caption '$caption', expected '$expected'"; fi

layout=$(wine "$driver" layout 2>/dev/null | tr -d '\r')
qv_log "$layout" | sed 's/^/  /'
if printf '%s\n' "$layout" | grep -q '^FAIL' || ! printf '%s\n' "$layout" | grep -q '^ok'; then
  record product_layout 0 "layout rules failed"
else
  record product_layout 1
fi

# The drive list and the progress bar are named for assistive technology by the hidden labels
# before them (Wine's oleacc names a control by its own text, so the label rule is checked).
names=$(wine "$driver" names 2>/dev/null | tr -d '\r')
qv_log "$names" | sed 's/^/  /'
if printf '%s\n' "$names" | grep -qx 'name 500 label=Drive:' &&
   printf '%s\n' "$names" | grep -qx 'name 1003 label=Firmware update progress:'; then
  record product_accessible_names 1
else
  record product_accessible_names 0 "$names"
fi

qv_shot "$shots/product-start.png"
if [ -s "$shots/product-start.png" ]; then record product_screenshot 1; else record product_screenshot 0 "no screenshot"; fi

# close NAME: Esc in the window of $app, which must end with exit code 0.
close() {
  wine "$driver" escape >/dev/null 2>&1
  i=0
  while kill -0 "$app" 2>/dev/null && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
  if kill -0 "$app" 2>/dev/null; then
    record "$1" 0 "still running after Esc"
    kill "$app" 2>/dev/null
  else
    wait "$app"; rc=$?
    if [ "$rc" = 0 ]; then record "$1" 1; else record "$1" 0 "exit code $rc"; fi
  fi
}
close product_escape_exit

# The same screen at each scale: a desktop of 1024 x 768 at 100 %, in pixels of that scale.
for dpi in 96 144 192; do
  QV_DPI=$dpi
  QV_DESKTOP="$((1024 * dpi / 96))x$((768 * dpi / 96))"
  qv_prefix "$build/wineprefix-e2e"
  wine "$bench" >/dev/null 2>&1 &
  app=$!
  if wine "$driver" wait 60 >/dev/null 2>&1; then
    record "window_${dpi}dpi" 1
  else
    record "window_${dpi}dpi" 0 "the window did not appear"
  fi
  # The values are read from the drives once the window is up.
  i=0
  until wine "$driver" state 2>/dev/null | tr -d '\r' | grep -q '^model .'; do
    i=$((i + 1)); [ $i -ge 50 ] && break; sleep 0.2
  done
  # A query whose driver Wine failed to start (seen under load: "ShellExecuteEx failed") is asked
  # again; an answer is never retried.
  layout="" texts="" i=0
  while [ -z "$layout" ] && [ $i -lt 3 ]; do layout=$(wine "$driver" layout 2>/dev/null | tr -d '\r'); i=$((i + 1)); done
  i=0
  while [ -z "$texts" ] && [ $i -lt 3 ]; do texts=$(wine "$driver" texts 2>/dev/null | tr -d '\r'); i=$((i + 1)); done
  { qv_log "$layout"; qv_log "$texts"; } | sed "s/^/  /"
  if printf '%s\n' "$layout" | grep -q "^dpi $dpi\$" && printf '%s\n' "$layout" | grep -q '^ok' &&
     ! printf '%s\n' "$layout" | grep -q '^FAIL'; then
    record "layout_${dpi}dpi" 1
  else
    record "layout_${dpi}dpi" 0 "the layout rules failed or the window is not at $dpi DPI"
  fi
  if printf '%s\n' "$texts" | grep -q '^ok Static 501 .* "[^"]' && ! printf '%s\n' "$texts" | grep -q '^FAIL'; then
    record "texts_whole_${dpi}dpi" 1
  else
    record "texts_whole_${dpi}dpi" 0 "$(printf '%s\n' "$texts" | grep -m1 '^FAIL')"
  fi
  qv_shot "$shots/window-${dpi}dpi.png"
  close "escape_exit_${dpi}dpi"
done

qv_write_results e2e_window "$results/e2e_window.xml"
[ "$QV_FAILURES" = 0 ]
