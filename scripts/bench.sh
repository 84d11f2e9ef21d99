#!/usr/bin/env bash
# Runs every benchmark and writes the figures of PERFORMANCE.md into
# bench/results: raw output, summary.md (the tables) and the PNG plots.
#
#   scripts/bench.sh            full run (about 15 minutes on 2 cores)
#   scripts/bench.sh --quick    a short run (about 2 minutes): every figure of
#                               PERFORMANCE.md with fewer repetitions
# Both end by printing the tables (bench/results/summary.md): instructions and
# system calls per message, the ratios over the floor, the contention curve
# and its 8-thread ratios.
#
# Environment: ZOV_BENCH_BUILD (build directory, default build-bench),
# ZOV_BENCH_OUT (results directory, default bench/results),
# ZOV_BENCH_BASELINE (another build of libzovpnode.so, measured beside the
# current one in the same run for before/after figures).
#
# Every program runs inside zovsandbox: nothing reaches the real /tmp, /opt
# or /var. The machine may be busy: each figure is a median over repetitions
# and every ratio is formed within one run (bench/report.py).
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[ "${1:-}" = "--quick" ] && quick=1

ZOV_BENCH_TOOLS=1 bash scripts/install-deps.sh
build=${ZOV_BENCH_BUILD:-build-bench}
out=${ZOV_BENCH_OUT:-bench/results}
mkdir -p "$out"
rm -f "$out"/message_*.json "$out"/strace_*.txt "$out"/callgrind_*.txt

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOV_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target zovsandbox zovpnode zovbenchpass message_bench \
  message_loop contention_bench scale_bench
sandbox=("$build/src/tools/zovsandbox" --keep "$PWD" --)
bin=$build/bench

if [ $quick = 1 ]; then
  runs=3 reps=5 min_time=0.05 seconds=0.3 rounds=3 max_nodes=250 max_area=524288
else
  runs=3 reps=15 min_time=0.1 seconds=1 rounds=5 max_nodes=2000 max_area=8388608
fi

echo "== Per-message cost ($runs runs of $reps interleaved repetitions)"
baseline=()
[ -n "${ZOV_BENCH_BASELINE:-}" ] && baseline=("--baseline=$(realpath "$ZOV_BENCH_BASELINE")")
for run in $(seq 1 $runs); do
  "${sandbox[@]}" "$bin/message_bench" "${baseline[@]}" --benchmark_repetitions=$reps \
    --benchmark_enable_random_interleaving=true --benchmark_min_time=$min_time \
    --benchmark_out="$out/message_$run.json" --benchmark_out_format=json >/dev/null
done

echo "== System calls per message (strace -f -c, 11000 minus 1000 messages)"
for kind in pass monitored events tracing; do
  for n in 1000 11000; do
    "${sandbox[@]}" strace -f -c -o "$out/strace_${kind}_$n.txt" "$bin/message_loop" $kind $n \
      >/dev/null
  done
done

echo "== Instructions per message (callgrind, 12000 minus 2000 messages)"
for kind in pass monitored events; do
  for n in 2000 12000; do
    "${sandbox[@]}" valgrind --tool=callgrind --callgrind-out-file=/dev/null "$bin/message_loop" \
      $kind $n 2> "$out/callgrind_${kind}_$n.txt" >/dev/null
  done
done

echo "== Contention"
"${sandbox[@]}" "$bin/contention_bench" --seconds $seconds --rounds $rounds > "$out/contention.csv"

echo "== Joining and viewer snapshots"
"${sandbox[@]}" "$bin/scale_bench" joins --max $max_nodes --rounds $rounds > "$out/joins.csv"
"${sandbox[@]}" "$bin/scale_bench" viewer --max-area $max_area --rounds $rounds > "$out/viewer.csv"

python3 bench/report.py "$out" > /dev/null
bash scripts/plots.sh "$out"
cat "$out/summary.md"
echo "== Done: $out/summary.md"
