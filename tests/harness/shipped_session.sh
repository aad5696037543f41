#!/bin/sh
# End-to-end test of the shipped executable: the session of ./run, played by the unchanged
# product under the launch harness on the default bench. Then what only the harness shows: each
# accepted restart was recorded, with the planned reason of an installation, and not performed,
# every stand-in was called (the program's own
# SetupAPI, CfgMgr32, DeviceIoControl and shutdown code ran), nothing asked of the harness went
# unserved, and the capture rebuilds, byte for byte with fwcap, the image each drive was given.
# Usage: shipped_session.sh BUILD_DIR PRODUCT_EXE LAUNCHER_EXE WINDRIVER_EXE FWCAP_EXE [NAME]
# Writes BUILD_DIR/test-results/NAME.xml; the session's files are in BUILD_DIR/NAME with hyphens
# (NAME is e2e_shipped unless another product file, such as a signed one, plays the session).
set -u
build="$1"; product="$2"; launcher="$3"; driver="$4"; fwcap="$5"; name="${6:-e2e_shipped}"
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$root/tests/e2e/session.sh"
out="$build/$(printf '%s' "$name" | tr _ -)"
results="$build/test-results"
mkdir -p "$out" "$results"
record() { qv_record "$name" "$@"; }

sh "$root/tests/e2e/play_session.sh" "$product" "$driver" "$out" "$build/wineprefix-e2e" "$launcher" > "$out/session.log" 2>&1
grep -v '^   progress \|^   screenshot ' "$out/session.log"
events="$out/session-events.txt"
capture="$out/session-capture.txt"
touch "$events"

# The session: the bench's drives listed, native and ASMedia updated, the JMicron drive with its
# TSB flash refused, the bridged drive back with its new firmware.
if tr '\n' ' ' < "$out/session.log" | grep -qE \
  'result box .*text=Update FW OK !.*entry 1: .*ASMedia.*after: firmware 3\.2\.F\.2A.*Do not need to update\..*== done: 3 listed, 2 updated, 0 failed; exit code 0'; then
  record session 1
else
  record session 0 "the session did not end as the bench executable's does"
fi

restarts=$(grep -c '^restart requested (recorded, not performed) flags=0x2 reason=0x80030002' "$events")
if [ "$restarts" = 2 ]; then record restart_recorded 1; else record restart_recorded 0 "$restarts planned restarts recorded, 2 expected"; fi

# The dialog's updates are in the machine's log, history and drive states, as the dialog's.
shared="$build/wineprefix-e2e/drive_c/ProgramData/Quorvela"
seen="$(grep -c 'result=1 "success" seconds=[0-9.]* source=dialog' "$shared/FwUpdate.log")\
 $(grep -c '"outcome":"updated",.*"source":"dialog"}' "$shared/FwHistory.jsonl")\
 $(WINEPREFIX="$build/wineprefix-e2e" wine reg query 'HKLM\SOFTWARE\Quorvela\FwUpdate' /s /reg:64 | grep -c 'Source.*dialog')"
if [ "$seen" = "2 2 2" ]; then record dialog_recorded 1; else record dialog_recorded 0 "log, history, states: $seen (2 each)"; fi

missing=""
for f in CreateFileW DeviceIoControl CloseHandle SetupDiGetClassDevsW SetupDiDestroyDeviceInfoList \
         SetupDiEnumDeviceInfo SetupDiEnumDeviceInterfaces SetupDiGetDeviceInterfaceDetailW \
         SetupDiGetDeviceRegistryPropertyW SetupDiGetDevicePropertyW CM_Get_Parent CM_Get_Device_IDW \
         OpenProcessToken LookupPrivilegeValueW AdjustTokenPrivileges ExitWindowsEx \
         CreateMutexExW ReleaseMutex GetSystemPowerStatus SetThreadExecutionState \
         RegisterEventSourceW ReportEventW DeregisterEventSource NotifyWinEvent; do
  grep -q "^calls $f [1-9]" "$events" || missing="$missing $f"
done
if [ -z "$missing" ]; then record device_api_served 1; else record device_api_served 0 "never called:$missing"; fi
if grep -q '^harness' "$events"; then
  record nothing_unserved 0 "$(grep '^harness' "$events" | head -1 | tr -d '\r')"
else
  record nothing_unserved 1
fi

# Each drive that was given an image: the capture of its device alone, decoded by fwcap, is that
# image byte for byte.
fwcap() { sh "$root/tests/wine-run.sh" "$fwcap" "$@" 2>/dev/null | tr -d '\r'; }
winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }  # the whole file system is Z: in a Wine prefix
rebuilt=0
problem=""
devices=$(fwcap list "$(winpath "$capture")" | awk '$4 == "11" { print $3 }' | sort -u)
for device in $devices; do
  part="$out/capture-part.txt"
  D="$device" awk '$2 == ENVIRON["D"]' "$capture" > "$part"
  rm -f "$out/rebuilt.bin"
  fwcap image "$(winpath "$part")" "$(winpath "$out/rebuilt.bin")" >/dev/null
  match=""
  for image in "$out"/images/*.bin; do
    [ -f "$out/rebuilt.bin" ] && cmp -s "$out/rebuilt.bin" "$image" && match="$image"
  done
  if [ -n "$match" ]; then rebuilt=$((rebuilt + 1)); else problem="$problem $device"; fi
done
given=$(ls "$out"/images/*.bin 2>/dev/null | wc -l)
if [ -z "$problem" ] && [ "$rebuilt" = 2 ] && [ "$given" = 2 ]; then
  record images_rebuilt 1
else
  record images_rebuilt 0 "$rebuilt of $given images rebuilt from the capture; not rebuilt:${problem:- none}"
fi

qv_write_results "$name" "$results/$name.xml"
[ "$QV_FAILURES" = 0 ]
