#!/bin/sh
# The console programs under Wine: each case runs one command line through cmd.exe, which reports
# the whole exit code (a Linux shell sees only its low 8 bits), and checks the exit code, standard
# output and the support log.
#   cli_test.sh BUILD CLI_BENCH_EXE CLI_EXE PACKAGE_ZIP DEFAULT_BENCH PROGRAM_VERSION
set -u
build=$(cd "$1" && pwd) bench_exe=$2 product_exe=$3 package=$4 default_bench=$5 program_version=$6
work="$build/cli-test"
rm -rf "$work"
mkdir -p "$work"
# Wine runs with the build's own prefix, through the script CTest runs every Windows program with.
wine_run="$(cd "$(dirname "$0")/.." && pwd)/wine-run.sh"
prefix="${WINEPREFIX:-$build/wineprefix}"

cp "$bench_exe" "$work/bench.exe"
cp "$product_exe" "$work/product.exe"
# A bench whose native drive fails the firmware commit.
sed '/^\[drive q7-native\]/a fault = firmware-commit' "$default_bench" > "$work/failing.bench"
# A bench whose ASMedia drive keeps its old firmware at its power cycle.
sed '/^\[drive q7-asmedia\]/a fault = activation' "$default_bench" > "$work/keepold.bench"
# The bench executable with one byte of its embedded package changed.
python3 - "$work/bench.exe" "$package" "$work/damaged.exe" <<'PY'
import sys
exe = bytearray(open(sys.argv[1], 'rb').read())
package = open(sys.argv[2], 'rb').read()
at = exe.find(package)
if at < 0:
    sys.exit("the package is not in the executable")
exe[at + len(package) // 2] ^= 0x5A
open(sys.argv[3], 'wb').write(exe)
PY
# The log folder is the program's to make.
shared_folder="$prefix/drive_c/ProgramData/Quorvela"
shared_log="$shared_folder/FwUpdate.log"
shared_history="$shared_folder/FwHistory.jsonl"
rm -rf "$shared_folder"

passed=0 failed=0
# run NAME EXPECTED_EXIT OUTPUT_TEXT LOG_FILE LOG_TEXT EXE ARGS...: OUTPUT_TEXT (in standard output
# or error) and LOG_TEXT are fixed strings that must occur (empty: not checked).
run() {
  name=$1 want=$2 out_text=$3 log_file=$4 log_text=$5
  shift 5
  # Each case is a machine of its own: the log folder (a link a case planted stays) and the drive
  # states of the cases before it are gone.
  [ -L "$shared_folder" ] || rm -rf "$shared_folder"
  printf '@echo off\r\nreg delete HKLM\\SOFTWARE\\Quorvela\\FwUpdate /f /reg:64 >nul 2>&1\r\n%s >%s.out 2>%s.err\r\necho %%ERRORLEVEL%%>%s.exit\r\n' \
    "$*" "$name" "$name" "$name" > "$work/$name.cmd"
  (cd "$work" && sh "$wine_run" cmd /c "$name.cmd" >/dev/null 2>&1)
  got=$(tr -d '\r\n ' < "$work/$name.exit" 2>/dev/null)
  why=""
  [ "$got" = "$want" ] || why="exit $got, wanted $want"
  if [ -z "$why" ] && [ -n "$out_text" ] && ! cat "$work/$name.out" "$work/$name.err" | grep -qF -- "$out_text"; then
    why="output lacks: $out_text"
  fi
  if [ -z "$why" ] && [ -n "$log_text" ] && ! grep -qF -- "$log_text" "$log_file" 2>/dev/null; then why="log lacks: $log_text"; fi
  # A command that did its job writes nothing on standard error: a detection script takes anything
  # there for a failed detection.
  case "$got" in 0|3010) [ -z "$why" ] && [ -s "$work/$name.err" ] && why="standard error is not empty" ;; esac
  if [ -z "$why" ]; then
    passed=$((passed + 1))
    echo "ok    $name: $* -> $got"
  else
    failed=$((failed + 1))
    echo "FAIL  $name: $* -> $why"
    sed 's/^/      | /' "$work/$name.out" "$work/$name.err"
  fi
}

run info 0 "new version        3.2.F.2A" "" "" bench.exe info
run list-json 0 '"serial":"QV7A24110003","firmware":"3.2.F.P7","interface":"JMicron Bridge NVME to USB-2","capacityGB":1000,"portId":10102,"eligible":false,"reason":"no-image","disk":3,' "" "" bench.exe list --json
run update-all 3010 "3 drive(s) chosen, 2 updated" "$shared_log" \
  'serial=QV7A24110002 port=104 package=3.2.F.2A before=3.2.F.P7 after=3.2.F.2A result=1 "success"' bench.exe update --all --yes
# The same command on the same bench makes the same device requests in the same order every time
# (the address of the data buffer that SCSI_PASS_THROUGH_DIRECT carries aside).
for i in 1 2 3 4 5; do
  run "same-requests-$i" 3010 "3 drive(s) chosen, 2 updated" "" "" bench.exe --capture "same-$i.cap" update --all --yes --log same.log
done
if ! python3 - "$work"/same-*.cap <<'PY'
import sys
def requests(path):
    out = []
    for line in open(path, errors='replace'):
        at = line.find(' 0x0004D014 in=')
        if at >= 0:
            record = at + 15
            wide = line[record:record + 2] == '38'  # Length 56: the 64-bit record
            pointer, size = (24, 8) if wide else (20, 4)
            line = line[:record + 2 * pointer] + '-' * (2 * size) + line[record + 2 * (pointer + size):]
        out.append(line)
    return out
first = requests(sys.argv[1])
sys.exit(0 if len(first) > 100 and all(requests(p) == first for p in sys.argv[2:]) else 1)
PY
then
  failed=$((failed + 1))
  echo "FAIL  same-requests: the captures of the same command differ: $(wc -l "$work"/same-*.cap | tr '\n' ' ')"
fi
run update-serial 3010 '"serial":"QV7A24110001","portId":1,"outcome":"updated"' "$work/serial.log" \
  'serial=QV7A24110001 port=1 package=3.2.F.2A before=3.2.F.P7 after=3.2.F.P7 result=1 "success"' \
  bench.exe update --serial QV7A24110001 --yes --json --log serial.log
run failing-drive 1603 "at least one failed" "$work/failing.log" 'serial=QV7A24110001 port=1 package=3.2.F.2A before=3.2.F.P7 after=3.2.F.P7 result=-4 "a device request failed"' \
  bench.exe --bench failing.bench update --all --yes --log failing.log
# The state file carries the native drive's image, which waits for the restart, into the next run.
run state-update 3010 "1 drive(s) chosen, 1 updated" "" "" bench.exe --state cli.state update --entry 0 --yes --log state.log
run state-next-run 0 '"portId":1,"eligible":false,"reason":"pending-restart","disk":1,' "" "" bench.exe --state cli.state list --json
# The history through the held log folder under Wine's file system: the bridged drive's failed
# activation is recorded. (The runs after it cannot be seen here: under Wine the folder an earlier
# run made belongs to Wine's user, and the program does not trust it.)
run history-record 1603 "activation-failed" "$shared_history" \
  '"serial":"QV7A24110002","portId":104,"firmwareBefore":"3.2.F.P7","versionExpected":"3.2.F.2A","outcome":"activation-failed","waitsForRestart":false,"source":"console"}' \
  bench.exe --bench keepold.bench --state hist.state update --entry 1 --yes
run restart 1641 "restarting" "$work/restart.log" "end exit=1641" bench.exe update --entry 1 --yes --restart --log restart.log
run no-yes 87 "Warning !" "" "" bench.exe update --all
run two-selectors 87 "" "" "" bench.exe update --all --entry 1 --yes
run unknown-command 87 "" "" "" bench.exe upgrade --all --yes
run damaged-package 1620 "" "$work/damaged.log" "end exit=1620" damaged.exe update --all --yes --log damaged.log
# A log folder that another user replaced by a link to their own folder is not written into.
mkdir -p "$work/theirs"
rm -rf "$shared_folder" && ln -s "$work/theirs" "$shared_folder"
run linked-log-folder 0 "0 updated" "" "" bench.exe update --entry 2 --yes
rm -f "$shared_folder"
if [ -n "$(ls -A "$work/theirs")" ]; then
  failed=$((failed + 1))
  echo "FAIL  linked-log-folder: the program wrote into the folder the link leads to"
fi
run product-info 0 "accepted revisions 3.2.F.P7;3.2.F.2A" "" "" product.exe info
run product-version 0 "QuorvelaFwUpdate-cli $program_version" "" "" product.exe --version
run product-version-package 0 "package 3.2.F.2A" "" "" product.exe --version
run product-help 0 "   3010  done; a restart is needed to finish" "" "" product.exe --help
run product-bad-arguments 87 "" "" "" product.exe update --serial

echo "cli: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
