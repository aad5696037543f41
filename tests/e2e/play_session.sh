#!/bin/sh
# Plays one session in the real window, by itself, on a display of its own: for every list entry
# whose drive is eligible it selects the entry, presses RUN, answers the questions and waits for
# the result. Prints what happened and saves screenshots.
# Usage: play_session.sh EXE WINDRIVER_EXE OUT_DIR WINEPREFIX [LAUNCHER_EXE]
# EXE is the bench executable, or, with the launch harness's LAUNCHER_EXE, the unchanged product
# executable, whose device API the harness serves from the default bench. The capture is
# OUT_DIR/session-capture.txt; under the harness the events (a recorded restart, the calls each
# stand-in received) are OUT_DIR/session-events.txt and the image each drive was given is in
# OUT_DIR/images.
set -u
exe="$1"; driver="$2"; out="$3"; prefix="$4"; launcher="${5:-}"
here=$(cd "$(dirname "$0")" && pwd)
. "$here/session.sh"
QV_FORCE_XVFB=1
trap qv_cleanup EXIT INT TERM
mkdir -p "$out"
rm -f "$out"/session-*.png

qv_display
qv_prefix "$prefix"
drive() { wine "$driver" "$@" 2>/dev/null | tr -d '\r'; }
shot_no=0
shot() { shot_no=$((shot_no + 1)); f=$(printf '%s/session-%02d-%s.png' "$out" "$shot_no" "$1"); qv_shot "$f"; echo "   screenshot $f"; }

winpath() { winepath -w "$1" 2>/dev/null || echo "$1"; }
capture="$out/session-capture.txt"
who=bench
if [ -n "$launcher" ]; then
  who=harness
  events="$out/session-events.txt"
  rm -rf "$events" "$out/images" "$prefix/drive_c/ProgramData/Quorvela"
  wine reg delete 'HKLM\SOFTWARE\Quorvela\FwUpdate' /f /reg:64 >/dev/null 2>&1 || true
  mkdir -p "$out/images"
  echo "== starting $(basename "$exe") under the launch harness on the default bench (display $DISPLAY)"
  wine "$launcher" --capture "$(winpath "$capture")" --events "$(winpath "$events")" \
    --images "$(winpath "$out/images")" "$exe" >/dev/null 2>"$out/session-launcher.txt" &
else
  events="$(dirname "$exe")/bench-events.txt"
  rm -f "$events"
  echo "== starting $(basename "$exe") on the default bench (display $DISPLAY)"
  wine "$exe" --capture "$(winpath "$capture")" >/dev/null 2>&1 &
fi
app=$!
caption=$(drive wait 60)
[ -n "$caption" ] || { echo "the window did not appear"; exit 1; }
echo "   window: ${caption#caption }"
state=$(drive state)
printf '%s\n' "$state" | sed 's/^/   /'
shot start

entries=$(printf '%s\n' "$state" | grep -c '^entry ')
updated=0
failed=0
i=0
while [ "$i" -lt "$entries" ]; do
  drive select "$i" >/dev/null
  st=$(drive state)
  name=$(printf '%s\n' "$st" | sed -n "s/^entry $i //p")
  echo "== entry $i: $name"
  printf '%s\n' "$st" | grep -E '^(model|serial|interface|firmware|capacity) ' | sed 's/^/   /'
  if ! printf '%s\n' "$st" | grep -q '^run enabled'; then
    echo "   RUN is disabled"; i=$((i + 1)); continue
  fi
  drive run >/dev/null
  box=$(drive box 60)
  printf '   %s\n' "$box"
  case "$box" in
    *"Do not need to update."*)
      drive answer ok >/dev/null; echo "   not eligible"; i=$((i + 1)); continue ;;
    "no box") ;;
    *)
      shot "entry$i-question"
      drive answer yes >/dev/null; echo "   answered Yes" ;;
  esac
  # The update runs: watch the bar until the result box appears.
  result=""
  t=0
  while [ $t -lt 240 ]; do
    b=$(drive box 1)
    if [ "$b" != "no box" ]; then result="$b"; break; fi
    p=$(drive state | sed -n 's/^progress //p')
    [ $((t % 5)) = 0 ] && echo "   progress $p"
    t=$((t + 1))
  done
  printf '   result %s\n' "$result"
  shot "entry$i-result"
  case "$result" in
    *"Update FW Fail !"*) failed=$((failed + 1)); drive answer ok >/dev/null ;;
    "") failed=$((failed + 1)); echo "   no result box" ;;
    *) updated=$((updated + 1)); drive answer ok >/dev/null; echo "   answered OK" ;;
  esac
  drive idle 60 >/dev/null
  st=$(drive state)
  printf '%s\n' "$st" | grep -E '^(entry|firmware) ' | sed 's/^/   after: /'
  shot "entry$i-after"
  i=$((i + 1))
done

echo "== closing the window"
drive escape >/dev/null
n=0
while kill -0 "$app" 2>/dev/null && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
rc=0
if kill -0 "$app" 2>/dev/null; then echo "   the window did not close"; kill "$app"; rc=1; else wait "$app" || rc=$?; fi
[ -n "$launcher" ] && [ -s "$out/session-launcher.txt" ] && sed 's/^/   launcher: /' "$out/session-launcher.txt" | tr -d '\r'
[ -f "$events" ] && sed "s/^/   $who: /" "$events" | tr -d '\r'
[ -f "$capture" ] && echo "   capture: $(wc -l < "$capture") device requests and events in $capture"
echo "   screenshots in $out"
echo "== done: $entries listed, $updated updated, $failed failed; exit code $rc"
[ "$rc" = 0 ] && [ "$failed" = 0 ]
