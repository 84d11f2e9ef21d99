#!/bin/bash
# Side-by-side cost of a metrics scrape in two or more builds (each a
# checkout with its build in build/, configured with -DZOV_BENCH=ON), in one
# run: processor time per phase, alternating the builds (`scale_bench scrape`,
# median of the rounds after the first of each run), and callgrind
# instructions of one whole scrape (lumenaview::scrapeMetrics), for the full
# 16 MiB statistics area and for 500 nodes in it. "full" is scraped right after
# it is filled, "settled" 5 s later (its nodes idle since), "busy" with every
# semaphore set operated on before each count of locks, as when every node
# has counted messages since the scrape before.
#
#   scripts/scrape_compare.sh OLD_CHECKOUT NEW_CHECKOUT [RUNS] [MORE_CHECKOUTS...]
#
# Builds are named old, new, then by their checkout's directory.
set -euo pipefail
declare -A dirs=([old]=$(realpath "$1") [new]=$(realpath "$2"))
builds=(old new)
runs=${3:-3}
for more in "${@:4}"; do
    name=$(basename "$more")
    dirs[$name]=$(realpath "$more")
    builds+=("$name")
done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

scrape() {  # checkout, nodes ("full", "busy" or a count), rounds, command to run it under...
    local dir=$1 nodes=$2 rounds=$3
    shift 3
    local args=(scrape --area 16777216 --rounds "$rounds")
    case $nodes in
        full) ;;
        busy) args+=(--busy 1) ;;  # builds that learn nothing between counts ignore these
        settled) args+=(--settle 5) ;;
        *) args+=(--nodes "$nodes") ;;
    esac
    "$dir/build/src/tools/zovsandbox" --keep "$dir" --keep "$out" -- "$@" \
        "$dir/build/bench/scale_bench" "${args[@]}"
}

for ((run = 1; run <= runs; run++)); do
    for build in "${builds[@]}"; do
        for nodes in full settled busy 500; do
            scrape "${dirs[$build]}" $nodes 3 | tail -n +3 | sed "s/^/$build,$nodes,/" >>"$out/times.csv"
        done
    done
done
echo "median processor ms: build area capture decode format locks scrape"
python3 - "$out/times.csv" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    f = line.strip().split(",")
    rows.setdefault((f[0], f[1]), []).append([float(x) for x in f[5:10]])
for (build, nodes), values in sorted(rows.items()):
    medians = [statistics.median(v[i] for v in values) for i in range(5)]
    print(build, nodes, " ".join("%.1f" % m for m in medians))
PY

echo "instructions per scrape (callgrind):"
for nodes in 500 full; do
    for build in "${builds[@]}"; do
        scrape "${dirs[$build]}" $nodes 1 valgrind --tool=callgrind --callgrind-out-file=/dev/null \
            --toggle-collect='lumenaview::scrapeMetrics*' 2>&1 >/dev/null |
            sed -n "s/.*Collected : /$build $nodes /p"
    done
done
