#!/bin/bash
# The key speed comparisons, in alternating rounds (bench/bench_engines): the
# engines against libargon2, and 1 to 4 lanes against one, each at one
# and at two threads at once. Medians and spread per row; the limits (the
# compute bound, random and dependent memory access) in the same runs.
#
#   tools/bench-rounds.sh [build dir] [rounds] [extra bench_engines options]
#
# e.g. tools/bench-rounds.sh build 7, or tools/bench-rounds.sh build 5 --cpu
# on a machine shared with other work (per-thread processor time). Every run
# holds /tmp/qxt-heavy.lock, as all hashing does on a shared machine; run it on
# a quiet machine for figures worth comparing. The reports also go to
# <build dir>/bench-rounds-<date>.txt.
set -euo pipefail
build=${1:-build}
rounds=${2:-5}
shift $(( $# > 2 ? 2 : $# ))
bench="$build/bench/bench_engines"
[ -x "$bench" ] || { echo "no $bench: build with -DQXT_TESTS=ON first" >&2; exit 2; }
out="$build/bench-rounds-$(date +%Y%m%d-%H%M%S).txt"
run() {
    echo "== $bench $*" | tee -a "$out"
    flock /tmp/qxt-heavy.lock "$bench" "$@" 2>&1 | tee -a "$out"
    echo | tee -a "$out"
}
for threads in 1 2; do
    run 2 avx512,avx2,libargon2 -r "$rounds" -t "$threads" "$@"
    run 1 avx512,avx512-lanes2,avx512-lanes3,avx512-lanes4 -r "$rounds" -t "$threads" "$@"
done
echo "reports in $out"
