#!/usr/bin/env bash
# The per-message cost of a monitored node alone and while `lumenaview
# --listen` is scraped ten times a second, and their ratio (1.00: no change).
#
#   bench/scrape_load.sh [BUILD_DIR] [ROUNDS] [MESSAGES]
#       defaults: build, 7 rounds, 1000000 messages per run
#
# Inside zovsandbox, scale_bench holds a 16 MiB statistics area of 500 nodes
# and message_loop's node joins it, so that every scrape reads 501 nodes; the
# exporter serves throughout. Each round runs message_loop once alone and
# once while a client scrapes /metrics every 100 ms, in alternating order so
# that the drift of a shared machine falls on both alike. A figure is the
# median over the rounds of message_loop's processor time (user + system)
# per message; the wall-clock time per message is shown beside it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
rounds=${2:-7} messages=${3:-1000000}

if [ -z "${ZOV_SCRAPE_LOAD_INSIDE:-}" ]; then
  exec "$build/src/tools/zovsandbox" --keep "$root" --keep "$build" -- \
    env ZOV_SCRAPE_LOAD_INSIDE=1 "$build/bench/scale_bench" hold --area 16777216 --nodes 500 \
    "bash $root/bench/scrape_load.sh $build $rounds $messages"
fi

work=$(mktemp -d /tmp/scrape_load.XXXXXX)
"$build/src/tools/lumenaview" --listen 127.0.0.1:0 2>"$work/listen" &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do grep -q listening "$work/listen" && break; sleep 0.1; done
url=$(grep -o 'http://[^ ]*' "$work/listen")

# Scrapes every 100 ms until told to stop; says how many succeeded and their
# mean time. A scrape that fails or misses the node ends the benchmark.
scrape() {
  python3 - "$url" "$work/stop" <<'EOF'
import os, sys, time, urllib.request
url, stop = sys.argv[1], sys.argv[2]
count, spent, due = 0, 0.0, time.monotonic()
while not os.path.exists(stop):
    start = time.monotonic()
    body = urllib.request.urlopen(url, timeout=5).read()
    if b'node="node"' not in body:
        sys.exit("scrape without the node")
    spent += time.monotonic() - start
    count += 1
    due += 0.1
    time.sleep(max(0.0, due - time.monotonic()))
print(count, spent / max(count, 1) * 1e3)
EOF
}

# One run of message_loop: "processor-ns wall-ns" per message.
run() {
  local TIMEFORMAT='%3R %3U %3S' times wall user system
  times=$({ time "$build/bench/message_loop" monitored "$messages" >/dev/null; } 2>&1)
  read -r wall user system <<<"$times"
  python3 -c "print('%.0f %.0f' % (($user + $system) * 1e9 / $messages, $wall * 1e9 / $messages))"
}

scraped() {
  rm -f "$work/stop"
  scrape >"$work/scrapes" &
  local client=$!
  sleep 0.3 # the first scrapes are under way
  run
  touch "$work/stop"
  wait $client
  cat "$work/scrapes" >>"$work/all_scrapes"
}

echo "round alone_cpu_ns alone_wall_ns scraped_cpu_ns scraped_wall_ns"
for round in $(seq "$rounds"); do
  if [ $((round % 2)) = 1 ]; then
    alone=$(run) with=$(scraped)
  else
    with=$(scraped) alone=$(run)
  fi
  echo "$round $alone $with" | tee -a "$work/rounds"
done

python3 - "$work/rounds" "$work/all_scrapes" <<'EOF'
import statistics, sys
rows = [list(map(float, line.split())) for line in open(sys.argv[1])]
scrapes = [list(map(float, line.split())) for line in open(sys.argv[2])]
median = lambda column: statistics.median(row[column] for row in rows)
alone_cpu, alone_wall, with_cpu, with_wall = (median(c) for c in (1, 2, 3, 4))
count = sum(s[0] for s in scrapes)
mean_ms = sum(s[0] * s[1] for s in scrapes) / max(count, 1)
print(f"per message, median of {len(rows)} rounds: alone {alone_cpu:.0f} ns processor "
      f"({alone_wall:.0f} ns wall), scraped {with_cpu:.0f} ns ({with_wall:.0f} ns wall)")
print(f"{int(count)} scrapes of 501 nodes, {mean_ms:.1f} ms each on average")
print(f"ratio scraped / alone: {with_cpu / alone_cpu:.3f} processor, "
      f"{with_wall / alone_wall:.3f} wall")
EOF
rm -rf "$work"
