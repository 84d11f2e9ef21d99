#!/usr/bin/env bash
# The metrics exporter as deployed: brokerhost runs a deployment, lumenaview
# --listen serves it, a real Prometheus server scrapes it and must hold what the
# host sent and see a killed group die; formats and rules pass promtool; bad
# requests get their status.
# Runs inside zovsandbox (ports picked free). Usage: exporter_test.sh BUILD SOURCE
set -euo pipefail
build=$1 source=$2
viewer=$build/src/tools/lumenaview
work=$(mktemp -d /tmp/exporter.XXXXXX)
fail() { echo "FAIL: $*" >&2; exit 1; }
cleanup() {
  touch "$work/go"; kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true
  ipcrm -a 2>/dev/null || true # the killed group's mutexes; the namespace is ours
  rm -f /tmp/*.zovmutx /tmp/*.zovcshme
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_for() { for _ in $(seq 200); do "$@" && return 0; sleep 0.1; done; return 1; } # up to 20 s

# --- Two execution groups, a process each; a quote and a backslash test label escaping.
cat >"$work/deploy.conf" <<'EOF'
[broker]
name = EXPORT_BROKER
uuid = exporter-test-broker
[group EGA]
[group EGB]
[flow EGA/Orders]
threads = 2
messages = 150
[node EGA/Orders/In]
type = input
[node EGA/Orders/Out"\x]
type = output
[flow EGB/Bills]
threads = 1
messages = 70
[node EGB/Bills/Only]
type = other
EOF
"$build/src/broker/brokerhost" --fork-groups --then "while [ ! -e $work/go ]; do sleep 0.1; done" \
  "$build/src/zov/libzovpnode.so" "$work/deploy.conf" >"$work/host.out" 2>"$work/host.err" &
for flow in EGB/Bills EGA/Orders; do
  wait_for grep -q "$flow: " "$work/host.out" || fail "host: $(cat "$work/host.err")"
done

"$viewer" --listen 127.0.0.1:0 2>"$work/viewer.err" &
wait_for grep -q listening "$work/viewer.err" || fail "no server: $(cat "$work/viewer.err")"
url=$(grep -o 'http://[^ ]*' "$work/viewer.err")
base=${url%/metrics}

# --- Every format and the rules pass promtool; the rules query only exported metrics.
curl -sf "$url" >"$work/metrics.prom"
curl -sf -H 'Accept: application/openmetrics-text; version=1.0.0' "$url" >"$work/metrics.om"
"$viewer" -f prometheus >"$work/once.prom" || true
"$viewer" -f prometheus -o "$work/col.prom" -w 0.1 -n 3 2>/dev/null || true # a text-file collector's
for f in metrics.prom once.prom col.prom; do # OpenMetrics: parsed by the Prometheus server below
  promtool check metrics <"$work/$f" >"$work/lint" 2>&1 || fail "promtool on $f: $(cat "$work/lint")"
done
[ "$(ls "$work" | grep -c 'col\.prom')" = 1 ] || fail "--output left a temporary file"
"$viewer" -f prometheus -w 1 2>/dev/null && fail "--watch to standard output accepted"
[ $? = 64 ] || fail "--watch to standard output: not a usage error"
promtool check rules "$source/deploy/prometheus/lumena-rules.yml" >/dev/null || fail "rules"
for name in $(grep -oh 'lumena_[a-z_]*' "$source/deploy/prometheus/lumena-rules.yml" \
  "$source/deploy/grafana/lumena-dashboard.json" | sort -u); do
  grep -q "^$name[{ ]" "$work/metrics.prom" || fail "$name queried but not exported"
done

# --- Bad requests: a clear status each, no scrape held up, the segment never
# attached (its last attaching process and attach time stay).
attached() { awk 'NR > 1 { print $6, $12 }' /proc/sysvipc/shm | sort | tr '\n' ' '; }
before=$(attached)
status() { curl -s -o /dev/null -w '%{http_code}' "$@"; }
[ "$(status "$base/nope")" = 404 ] || fail "unknown path"
for c in POST:405 BREW:501 'G@T:400'; do # a method we refuse, one we do not know, no method
  [ "$(status -X "${c%:*}" "$url")" = "${c#*:}" ] || fail "method ${c%:*}"
done
[ "$(status -H "X-Big: $(head -c 9000 /dev/zero | tr '\0' a)" "$url")" = 431 ] || fail "huge header"
[ "$(status "$base/-/healthy")" = 200 ] || fail "healthy"
for i in $(seq 40); do # slow clients: a request head that never ends
  (exec 3<>"/dev/tcp/127.0.0.1/${base##*:}"; printf 'GET /metrics HTTP/1.1\r\n' >&3; sleep 3) &
done
sleep 0.3
[ "$(attached)" = "$before" ] || fail "a bad request attached the segment"
[ "$(status --max-time 2 "$url")" = 200 ] || fail "scrape blocked by slow clients"
[ "$(status --max-time 3 -X POST --data x "$url")" = 405 ] || fail "POST beside slow clients"

# --- Prometheus scrapes every second and holds what the host sent.
if ! command -v prometheus >/dev/null; then
  echo "SKIP: the Prometheus end-to-end part: prometheus is not installed"
else
  prom_port=$(free_port)
  printf 'global: {scrape_interval: 1s, evaluation_interval: 1s}\nscrape_configs: [{job_name: lumena, static_configs: [{targets: ["%s"]}]}]\n' \
    "${base#http://}" >"$work/prometheus.yml"
  prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
    --web.listen-address=127.0.0.1:$prom_port >"$work/prom.log" 2>&1 &
  query() { curl -sf "http://127.0.0.1:$prom_port/api/v1/query" --data-urlencode "query=$1" |
    jq -r '.data.result[] | "\(.metric.execution_group)/\(.metric.flow) \(.value[1])"' | sort; }
  expected() { # per node: EGA/Orders has two
    sed -n 's/^\(EG[AB]\/[A-Za-z]*\): \([0-9]*\) evaluated.*/\1 \2/p' "$work/host.out" | awk '{ print; if ($1 == "EGA/Orders") print }' | sort; }
  counts_match() { [ "$(query lumena_node_messages_total)" = "$(expected)" ]; }
  wait_for counts_match || fail "Prometheus holds $(query lumena_node_messages_total), sent $(expected)"
  kill -9 "$(curl -s "$url" | sed -n 's/^lumena_execution_group_process_id{.*execution_group="EGB"} //p')"
  alive() { [ "$(query 'lumena_execution_group_process_alive{execution_group="EGB"}')" = "EGB/null 0" ]; }
  wait_for alive || fail "killed group still alive in Prometheus: $(query lumena_execution_group_process_alive)"
fi

echo PASS
