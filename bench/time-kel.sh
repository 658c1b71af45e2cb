#!/usr/bin/env bash
# Times each KEL benchmark as a whole tarnhost process (start-up included), the way a
# web server pays for it, and checks its output. Prints the median of N runs in ms.
#   bench/time-kel.sh [bin dir] [runs]      (default: build/bin, 11 runs)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../build/bin}
runs=${2:-11}
stage=$(mktemp -d /tmp/kelbench.XXXXXX)
trap 'rm -rf "$stage"' EXIT
cp "$bin"/tarnhost "$bin"/*.so "$here"/kel/*.web "$stage"/
cd "$stage"
for b in hello loop strings fib; do
  times=()
  for _ in $(seq "$runs"); do
    s=$(date +%s%N)
    ./tarnhost "/TarnwickLocal:$stage/$b.out" "$b.web"
    e=$(date +%s%N)
    times+=($(( (e - s) / 1000 )))
  done
  cmp -s "$b.out" "$here/expected/$b.out" || { echo "$b: wrong output"; exit 1; }
  med=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
  awk -v b="$b" -v m="$med" 'BEGIN { printf "%-8s %8.1f ms\n", b, m / 1000 }'
done
