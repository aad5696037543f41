#!/bin/sh
# Unpacking benchmark (not a test): fwpkg unpack against Info-ZIP unzip on the same 256 MB package
# of many deflated images, side by side in one run. Reports wall time and peak memory (GNU time
# -v) of each, best of ROUNDS runs, and checks the targets: fwpkg at most 1.1 times unzip's time
# and under 64 MB of memory. Exit status 0 when both targets hold.
#
# usage: tests/bench/unpack_bench.sh [WORKDIR]
#   WORKDIR   where the package and the unpacked copies go (default /tmp/qv-unpack-bench)
#   ROUNDS    environment: runs of each tool (default 3)
#   IMAGES    environment: number of images (default 64, 4 MiB each: 256 MiB)
#   BUILD     environment: the Release build folder (default build/host-release, preset host-release)
set -eu

here=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:-/tmp/qv-unpack-bench}
rounds=${ROUNDS:-3}
images=${IMAGES:-64}
build=${BUILD:-$here/build/host-release}

command -v unzip >/dev/null || { echo "unzip is needed (apt-get install unzip)"; exit 2; }
command -v zip >/dev/null || { echo "zip is needed (apt-get install zip)"; exit 2; }
[ -x /usr/bin/time ] || { echo "GNU time is needed (apt-get install time)"; exit 2; }

# The Release build of fwpkg.
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset host-release -S "$here" -B "$build" >/dev/null
fi
cmake --build "$build" --target fwpkg -j"$(nproc)" >/dev/null
fwpkg="$build/tools/fwpkg/fwpkg"

# The package: IMAGES firmware-like images of 4 MiB, each a run of 4 KiB pages that mix random
# bytes, repeated patterns and erased (0xFF) areas, so that deflate reaches roughly 2:1.
mkdir -p "$work"
package="$work/package.zip"
if [ ! -f "$package" ] || [ "$(cat "$work/package.images" 2>/dev/null)" != "$images" ]; then
  rm -rf "$work/src" "$package"
  mkdir -p "$work/src"
  python3 - "$work/src" "$images" <<'EOF'
import os, random, sys
folder, count = sys.argv[1], int(sys.argv[2])
rnd = random.Random(20261207)
for n in range(count):
    pages = []
    for p in range(1024):
        kind = rnd.random()
        if kind < 0.35:
            page = rnd.randbytes(4096)
        elif kind < 0.7:
            half = rnd.randbytes(2048)
            page = half + bytes([rnd.getrandbits(8)]) * 1024 + half[:1024]
        elif kind < 0.9:
            word = rnd.randbytes(rnd.randint(4, 64))
            page = (word * (4096 // len(word) + 1))[:4096]
        else:
            page = b"\xff" * 4096
        pages.append(page)
    with open(os.path.join(folder, "NAND-%03d.fw" % n), "wb") as f:
        f.write(b"".join(pages))
with open(os.path.join(folder, "QuorvelaInfo.ini"), "w") as f:
    f.write("[UPDATEINFO]\r\nTITLE=Benchmark package\r\n")
EOF
  (cd "$work/src" && zip -q -r "$package" .)
  echo "$images" > "$work/package.images"
fi
size=$(stat -c %s "$package")
unpacked=$(du -sb "$work/src" | cut -f1)
echo "package: $package, $size bytes, $images images, $unpacked bytes unpacked"

# One run of a command under GNU time: prints "seconds kilobytes".
measure() {
  out=$1
  shift
  rm -rf "$out"
  mkdir -p "$out"
  /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" || {
    echo "failed: $*" >&2
    cat "$work/stderr.txt" >&2
    exit 1
  }
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time.txt")
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
  secs=$(echo "$wall" | awk -F: '{ if (NF == 3) print $1 * 3600 + $2 * 60 + $3; else print $1 * 60 + $2 }')
  echo "$secs $rss"
}

best_unzip=""
best_fwpkg=""
rss_unzip=0
rss_fwpkg=0
i=1
while [ "$i" -le "$rounds" ]; do
  set -- $(measure "$work/out-unzip" unzip -q -o "$package" -d "$work/out-unzip")
  echo "round $i: unzip          $1 s  $2 KB"
  best_unzip=$(echo "$best_unzip $1" | awk '{ b = $1; for (i = 2; i <= NF; i++) if (b == "" || $i < b) b = $i; print b }')
  [ "$2" -gt "$rss_unzip" ] && rss_unzip=$2
  set -- $(measure "$work/out-fwpkg" "$fwpkg" unpack "$package" "$work/out-fwpkg")
  echo "round $i: fwpkg unpack   $1 s  $2 KB"
  best_fwpkg=$(echo "$best_fwpkg $1" | awk '{ b = $1; for (i = 2; i <= NF; i++) if (b == "" || $i < b) b = $i; print b }')
  [ "$2" -gt "$rss_fwpkg" ] && rss_fwpkg=$2
  i=$((i + 1))
done

# Both copies must be the same as the sources.
diff -r "$work/src" "$work/out-unzip" >/dev/null || { echo "unzip's copy differs"; exit 1; }
diff -r "$work/src" "$work/out-fwpkg" >/dev/null || { echo "fwpkg's copy differs"; exit 1; }

ratio=$(echo "$best_fwpkg $best_unzip" | awk '{ printf "%.3f", $1 / $2 }')
echo "best wall time: unzip $best_unzip s, fwpkg unpack $best_fwpkg s, ratio $ratio (target <= 1.1)"
echo "peak memory:    unzip $rss_unzip KB, fwpkg unpack $rss_fwpkg KB (target < 65536 KB)"
status=0
echo "$ratio" | awk '{ exit !($1 <= 1.1) }' || { echo "time target missed"; status=1; }
[ "$rss_fwpkg" -lt 65536 ] || { echo "memory target missed"; status=1; }
[ "$status" -eq 0 ] && echo "targets met"
exit $status
