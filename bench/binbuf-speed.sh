#!/usr/bin/env bash
# Throughput of binaryindex and binarychecksum (CRC-32) over a 50 MiB buffer, beside the
# same work in Python's bytes.find and zlib.crc32. KEL is timed as whole processes: the
# set-up alone, then with the loops, and the difference is divided by the bytes scanned.
#   bench/binbuf-speed.sh [bin dir] [runs] [reps]   (default: build/bin, 5 runs, 20 reps)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../build/bin}
runs=${2:-5}
reps=${3:-20}
stage=$(mktemp -d /tmp/kelbench.XXXXXX)
trap 'rm -rf "$stage"' EXIT
cp "$bin"/tarnhost "$bin"/*.so "$stage"/
cd "$stage"
variant() {  # name, index loops, checksum loops
  sed -e "s/^reps_index = .*/reps_index = $2/" -e "s/^reps_crc = .*/reps_crc = $3/" "$here/kel/binbuf.web" > "$1.web"
}
variant base 0 0
variant index "$reps" 0
variant crc 0 "$reps"
median_ms() {  # script
  local times=()
  for _ in $(seq "$runs"); do
    s=$(date +%s%N)
    ./tarnhost "/TarnwickLocal:$stage/$1.out" "$1.web"
    e=$(date +%s%N)
    times+=($(( (e - s) / 1000 )))
  done
  grep -q "^52428790 " "$1.out" || { echo "$1: wrong output" >&2; cat "$1.out" >&2; exit 1; }
  printf '%s\n' "${times[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p"
}
b=$(median_ms base)
i=$(median_ms index)
c=$(median_ms crc)
bytes=$(( 52428800 * reps ))
awk -v b="$b" -v i="$i" -v c="$c" -v n="$bytes" 'BEGIN {
  printf "KEL    set-up %.1f ms; binaryindex %.2f GB/s; binarychecksum CRC-32 %.2f GB/s\n",
         b / 1000, n / ((i - b) * 1000), n / ((c - b) * 1000) }'
python3 - "$reps" <<'PY'
import sys, time, zlib
reps = int(sys.argv[1])
size = 52428800
pat = b"The quick brown fox jumps over the lazy dog; 0123456789 abcdefghij"
data = bytearray((pat * (size // len(pat) + 1))[:size])
data[size - 10:size - 3] = b"NEEDLE!"
data = bytes(data)
def rate(fn):
    best = None
    for _ in range(3):
        t = time.perf_counter()
        for _ in range(reps):
            fn()
        d = time.perf_counter() - t
        best = d if best is None or d < best else best
    return size * reps / best / 1e9
print("Python bytes.find %.2f GB/s; zlib.crc32 %.2f GB/s (best of 3)" %
      (rate(lambda: data.find(b"NEEDLE!")), rate(lambda: zlib.crc32(data))))
PY
