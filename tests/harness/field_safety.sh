#!/bin/sh
# The shipped console program under the launch harness, around an update: two real processes on
# one bench, the second started while the first holds the updater's mutex in the middle of its
# download (the first is paused there by the harness and released by an event, never by a timing),
# and the private namespace the mutex lives in; a low battery; a token without the shutdown
# privilege; the planned reason of a restart; the execution state of the worker.
#   field_safety.sh BUILD CLI_EXE LAUNCHER_EXE FWCAP_EXE
set -u
build=$(cd "$1" && pwd) cli=$2 launcher=$3 fwcap=$4
work="$build/field-safety"
rm -rf "$work"
mkdir -p "$work"
wine_run="$(cd "$(dirname "$0")/.." && pwd)/wine-run.sh"
winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }  # the whole file system is Z: in a Wine prefix
cp "$cli" "$work/cli.exe"
cp "$launcher" "$work/qvlaunch.exe"
cp "$(dirname "$launcher")/qvharness.dll" "$work/"

passed=0 failed=0
check() {  # check NAME OK WHY
  if [ "$2" = 1 ]; then
    passed=$((passed + 1)); echo "ok    $1"
  else
    failed=$((failed + 1)); echo "FAIL  $1: $3"
  fi
}
# launch NAME SETTING ARGS...: the console program under the harness, with the environment
# variable SETTING (NAME=VALUE) for the harness, through cmd.exe, which reports the whole exit code;
# standard output, error, exit code, capture and events go to NAME.* in the work folder.
launch() {
  name=$1 setting=$2; shift 2
  printf '@echo off\r\nqvlaunch.exe --capture %s.capture --events %s.events cli.exe %s >%s.out 2>%s.err\r\necho %%ERRORLEVEL%%>%s.exit\r\n' \
    "$name" "$name" "$*" "$name" "$name" "$name" > "$work/$name.cmd"
  (cd "$work" && env "$setting" sh "$wine_run" cmd /c "$name.cmd" >/dev/null 2>&1)
}
exit_of() { tr -d '\r\n ' < "$work/$1.exit" 2>/dev/null; }
# has NAME LINE: the events of NAME hold LINE, whole.
has() { tr -d '\r' < "$work/$1.events" 2>/dev/null | grep -qxF "$2"; }
# commands NAME OPCODE: the NVMe commands of one opcode (hex) that the capture shows carried.
commands() {
  sh "$wine_run" "$fwcap" list "$(winpath "$work/$1.capture")" 2>/dev/null | tr -d '\r' |
    awk -v op="$2" '$4 == op && $0 !~ /not carried/' | wc -l
}

# Two updaters at once. The first pauses before its first firmware download, holding the mutex.
pause="QvFieldSafety$$"
launch first "QV_HARNESS_PAUSE=$pause" update --entry 0 --yes &
first=$!
if sh "$wine_run" "$work/qvlaunch.exe" --wait-event "$pause-reached" 300 >/dev/null 2>&1; then
  launch second QV_HARNESS_NOTHING=1 update --entry 0 --yes --json
  check second-exits-1618 "$([ "$(exit_of second)" = 1618 ] && echo 1)" "exit $(exit_of second)"
  check second-reports-busy "$(grep -q '"outcome":"busy"' "$work/second.out" && echo 1)" "$(head -c 300 "$work/second.out")"
else
  check first-reached-its-download 0 "the first program never reached its download"
fi
sh "$wine_run" "$work/qvlaunch.exe" --set-event "$pause-go" >/dev/null 2>&1
wait "$first"
check first-exits-3010 "$([ "$(exit_of first)" = 3010 ] && echo 1)" "exit $(exit_of first)"
# Both met the mutex QuorvelaFwUpdate in the private namespace Quorvela that the Administrators
# group bounds and only SYSTEM and the Administrators may open: the first made it, the second
# opened it, each closed it. (Wine keeps no DACL: this is what the program asks for.)
ns='alias=Quorvela boundary=Quorvela sids=S-1-5-32-544'
check lock-namespace "$(has first "namespace created $ns security=D:P(A;;GA;;;SY)(A;;GA;;;BA)" && \
  has first "mutex Quorvela\\QuorvelaFwUpdate in namespace $ns" && has second "namespace opened $ns" && \
  has second "mutex Quorvela\\QuorvelaFwUpdate in namespace $ns" && has first 'namespace closed alias=Quorvela flags=0' && \
  has second 'namespace closed alias=Quorvela flags=0' && echo 1)" \
  "$(grep -h '^namespace\|^mutex' "$work/first.events" "$work/second.events" | tr -d '\r' | tr '\n' ';')"
downloads=$(( $(commands first 11) + $(commands second 11) ))
commits=$(( $(commands first 10) + $(commands second 10) ))
check one-download-stream "$([ "$downloads" = 163 ] && [ "$commits" = 1 ] && [ "$(commands second 11)" = 0 ] && echo 1)" \
  "$downloads download and $commits commit commands in the two captures, $(commands second 11) of the downloads from the second"
# The worker kept the system awake to its result, on one thread.
states=$(grep '^execution-state' "$work/first.events" | tr -d '\r')
check execution-state "$(printf '%s\n' "$states" | awk '
  NR == 1 { t = $2; ok = ($3 == "flags=0x80000001") } NR == 2 { ok = ok && $2 == t && $3 == "flags=0x80000000" }
  END { print (NR == 2 && ok) ? 1 : 0 }')" "$states"

# A low battery: nothing starts, the tool is asked to retry.
launch battery "QV_HARNESS_POWER=0 2 12" update --entry 0 --yes --json
check battery-exits-1618 "$([ "$(exit_of battery)" = 1618 ] && grep -q '"outcome":"power"' "$work/battery.out" && \
  [ "$(commands battery 11)" = 0 ] && echo 1)" "exit $(exit_of battery): $(head -c 300 "$work/battery.out")"

# A restart: requested with the planned reason of an installation, or not at all without the
# privilege, and then not reported as begun.
launch restart QV_HARNESS_NOTHING=1 update --entry 1 --yes --restart
check restart-with-reason "$([ "$(exit_of restart)" = 1641 ] && \
  grep -q '^restart requested (recorded, not performed) flags=0x2 reason=0x80030002' "$work/restart.events" && echo 1)" \
  "exit $(exit_of restart): $(grep requested "$work/restart.events")"
launch no-privilege QV_HARNESS_PRIVILEGE=absent update --entry 1 --yes --restart
check no-privilege-exits-3010 "$([ "$(exit_of no-privilege)" = 3010 ] && \
  grep -q 'shutdown privilege could not be enabled (error 1300)' "$work/no-privilege.err" && \
  ! grep -q '^restart requested' "$work/no-privilege.events" && echo 1)" \
  "exit $(exit_of no-privilege): $(cat "$work/no-privilege.err")"

# The Event Log of the shipped console: the first run's start, its native drive waiting for the
# restart, its end with 3010; a commit that fails: the failed step, and the end with 1603.
events_of() { tr -d '\r' < "$work/$1.events" 2>/dev/null | grep '^event ' | grep -v '^event 112[01] '; }
check events-of-a-run "$(events_of first | awk '
  NR == 1 { ok = $2 == "1000" && $3 == "information" } $2 == "1101" { waits = 1 } { last = $0 }
  END { print (ok && waits && last ~ /^event 1001 information .*QuorvelaFwUpdate: QuorvelaFwUpdate-cli \| 3010 \| /) ? 1 : 0 }')" \
  "$(events_of first | tr '\n' ';')"
sed '/^\[drive q7-native\]/a fault = firmware-commit' "$(dirname "$0")/../../emu/benches/default.bench" > "$work/commit-fails.bench"
launch commit-fails "QV_HARNESS_BENCH=$(winpath "$work/commit-fails.bench")" update --entry 0 --yes
check commit-failure-events "$([ "$(exit_of commit-fails)" = 1603 ] && events_of commit-fails | grep -q \
  '^event 1110 error .*| QV7A24110001 | 1 | 3.2.F.P7 | 3.2.F.2A | commit | -4 | a device request failed$' && \
  events_of commit-fails | tail -1 | grep -q '^event 1003 error .*| 1603 | at least one update failed.* | 0 | 1$' && echo 1)" \
  "exit $(exit_of commit-fails): $(events_of commit-fails | tr '\n' ';')"

# The drive states across runs of the shipped program, as on one machine: a restart is a new Wine
# server (the program's boot key is volatile) and the bench's restart of the drives.
reboot() { WINEPREFIX="${WINEPREFIX:-$build/wineprefix}" wineserver -k >/dev/null 2>&1; export QV_HARNESS_RESTART="$1"; }
states() {  # states NAME BENCH_LINE: a machine of its own whose native drive has the line
  sed "/^\[drive q7-native\]/a $2" "$(dirname "$0")/../../emu/benches/default.bench" > "$work/$1.bench"
  sh "$wine_run" reg delete 'HKLM\SOFTWARE\Quorvela\FwUpdate' /f /reg:64 >/dev/null 2>&1
  export QV_HARNESS_BENCH="$(winpath "$work/$1.bench")" QV_HARNESS_STATE="$(winpath "$work/$1.state")"
  unset QV_HARNESS_RESTART
}
native_update() {  # native_update NAME EXIT TEXT: an update of the native drive, as told
  launch "$1" QV_HARNESS_NOTHING=1 update --serial QV7A24110001 --yes
  check "$1" "$([ "$(exit_of "$1")" = "$2" ] && grep -qF -- "$3" "$work/$1.out" && \
    { [ "$2" = 3010 ] || [ "$(commands "$1" 11)" = 0 ]; } && echo 1)" \
    "exit $(exit_of "$1"), $(commands "$1" 11) downloads: $(tr -d '\r' < "$work/$1.out" | tr '\n' ';' | head -c 400)"
}
# A native drive that keeps its old firmware at the restart: flashed once, then never again.
states keeps-old "fault = activation"
native_update keeps-old-flashed 3010 "1 updated"
reboot restart
native_update keeps-old-stuck 1603 "skipped: activation-failed"
unset QV_HARNESS_RESTART
native_update keeps-old-stuck-again 1603 "skipped: activation-failed"
# A native drive that activates only at a power-off: after the restart it asks for the power-off,
# never for another restart; after the power-off it runs the new firmware.
states power-off "activation = power-off"
native_update power-off-flashed 3010 "1 updated"
reboot restart
native_update power-off-after-restart 1603 "skipped: needs-power-off; its new firmware still waits"
reboot power-off
native_update power-off-after-power-off 0 "skipped: current"
unset QV_HARNESS_BENCH QV_HARNESS_STATE QV_HARNESS_RESTART

if grep -q '^harness failure' "$work"/*.events; then check harness 0 "$(grep -h '^harness failure' "$work"/*.events | head -1)"; fi
echo "field safety: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
