#!/bin/sh
# End-to-end test of the real window under Wine: the product executable starts, shows its
# caption, has the start-up layout, leaves a screenshot, closes on Esc and exits with 0.
# Usage: window_test.sh BUILD_DIR PRODUCT_EXE BENCH_EXE WINDRIVER_EXE
# Writes BUILD_DIR/test-results/e2e_window.xml and screenshots to BUILD_DIR/e2e-shots/.
set -u
build="$1"; product="$2"; bench="$3"; driver="$4"
here=$(cd "$(dirname "$0")" && pwd)
. "$here/session.sh"
QV_FORCE_XVFB=1
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

qv_shot "$shots/product-start.png"
if [ -s "$shots/product-start.png" ]; then record product_screenshot 1; else record product_screenshot 0 "no screenshot"; fi

wine "$driver" escape >/dev/null 2>&1
i=0
while kill -0 "$app" 2>/dev/null && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
if kill -0 "$app" 2>/dev/null; then
  record product_escape_exit 0 "still running after Esc"
  kill "$app" 2>/dev/null
else
  wait "$app"; rc=$?
  if [ "$rc" = 0 ]; then record product_escape_exit 1; else record product_escape_exit 0 "exit code $rc"; fi
fi

qv_write_results e2e_window "$results/e2e_window.xml"
[ "$QV_FAILURES" = 0 ]
