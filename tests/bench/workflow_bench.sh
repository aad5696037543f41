#!/bin/sh
# Benchmark (not a test): one whole update per command path with fwbench, on an optimised build.
#  - on the virtual clock: the processor time of one update, from RUN to the result (median of 9);
#  - in real time: the elapsed time less the waits the update must make (the slept time), as a
#    share of the whole.
# Usage: tests/bench/workflow_bench.sh   (from the repository root)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
cmake --preset host-release >/dev/null
cmake --build build/host-release -j"$(nproc)" --target fwbench >/dev/null
fwbench="$root/build/host-release/tools/fwbench/fwbench"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The default bench's JMicron drive carries a flash without an image; give it the Micron-B47R.
"$fwbench" list >/dev/null
python3 - "$tmp/jmicron.bench" <<'PY'
import re, subprocess, sys
text = open('emu/benches/default.bench').read()
i = text.index('[drive q7-jmicron]')
j = text.index('flash-id = 98 3E 98 B3 76 E3', i)
text = text[:j] + 'flash-id = 2C C3 08 32 EA 00' + text[j + len('flash-id = 98 3E 98 B3 76 E3'):]
open(sys.argv[1], 'w').write(text)
PY

run() {  # run ENTRY BENCH [--real-time] -> "clock slept wall cpu"
  entry=$1; bench=$2; shift 2
  "$fwbench" update "$entry" --bench "$bench" "$@" | sed -n 's/^timing: clock \([0-9]*\) ms, slept \([0-9]*\) ms, wall \([0-9.]*\) ms, cpu \([0-9.]*\) ms$/\1 \2 \3 \4/p'
}

printf '%-9s %12s %12s | %10s %10s %10s %9s\n' path "cpu median" "cpu max" "real wall" "waits" "overhead" share
for p in "native 0" "asmedia 1" "jmicron 2"; do
  set -- $p
  name=$1; entry=$2
  cpus=""
  for i in 1 2 3 4 5 6 7 8 9; do
    cpus="$cpus $(run "$entry" "$tmp/jmicron.bench" | awk '{print $4}')"
  done
  median=$(printf '%s\n' $cpus | sort -n | sed -n 5p)
  max=$(printf '%s\n' $cpus | sort -n | tail -1)
  set -- $(run "$entry" "$tmp/jmicron.bench" --real-time)
  wall=$3; slept=$2
  overhead=$(awk -v w="$wall" -v s="$slept" 'BEGIN { printf "%.1f", w - s }')
  share=$(awk -v w="$wall" -v s="$slept" 'BEGIN { printf "%.3f%%", (w - s) * 100 / w }')
  printf '%-9s %9s ms %9s ms | %7s ms %7s ms %7s ms %9s\n' "$name" "$median" "$max" "$wall" "$slept" "$overhead" "$share"
done
