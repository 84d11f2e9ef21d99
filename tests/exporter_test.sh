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
[ "$(status -X POST --data-binary @"$viewer" "$url")" = 405 ] || fail "POST with a body unread"
[ "$(attached)" = "$before" ] || fail "a bad request attached the segment"
captures() { curl -s "$url" | sed -n 's/^lumena_exporter_captures_total //p'; }
first=$(captures) && curl -sfI "$url" >/dev/null && [ "$(captures)" = $((first + 1)) ] || fail "HEAD captured"
grep -q _created "$work/metrics.om" && fail "_created samples in OpenMetrics"
for line in '^lumena_build_info{version="[0-9.]*",revision="[0-9a-z]*"} 1' '^process_open_fds [0-9]' \
  '^lumena_exporter_scrape_duration_seconds{broker_uuid="exporter-test-broker"}'; do
  grep -q "$line" "$work/metrics.prom" || fail "no $line"
done

# --- The fleet form: HTTPS (a throwaway CA; client certificates optional but
# verified when given) and a bcrypt user. Bad files fail at start, naming the field.
tls=$work/tls && mkdir "$tls"
key() { openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$tls/$1.key" -subj "/CN=$1" "${@:2}" 2>/dev/null; }
key ca -x509 -days 1 -out "$tls/ca.crt" && key rogue -x509 -days 1 -out "$tls/rogue.crt"
for n in server client; do
  key $n -out "$tls/$n.csr" && openssl x509 -req -in "$tls/$n.csr" -CA "$tls/ca.crt" -CAkey "$tls/ca.key" \
    -CAcreateserial -days 1 -out "$tls/$n.crt" -extfile <(echo subjectAltName=IP:127.0.0.1) 2>/dev/null
done
bcrypt() { python3 -W ignore -c 'import crypt, sys; print(crypt.crypt(sys.argv[1], crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=1024)))' "$1"; }
web_yml() { printf 'tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n  client_auth_type: VerifyClientCertIfGiven
  client_ca_file: ca.crt\nbasic_auth_users:\n  prometheus: %s\n' "'$(bcrypt "$1")'" >"$tls/web.yml"; }
web_yml s3cret
for bad in 'tls_server_config: {cert_file: server.crt, key_file: server.key, min_version: TLS9}|tls_server_config.min_version' \
  'tls_server_config: {cert_file: none.crt, key_file: server.key}|cert_file: .*none.crt' \
  'basic_auth_users: {prometheus: s3cret}|basic_auth_users.prometheus' 'basic_auth_user: {}|basic_auth_user: unknown'; do
  echo "${bad%|*}" >"$tls/bad.yml"
  timeout 10 "$viewer" --web.listen-address 127.0.0.1:0 --web.config.file "$tls/bad.yml" 2>"$work/bad.err" &&
    fail "bad web config accepted: ${bad%|*}"
  grep -q "${bad#*|}" "$work/bad.err" || fail "bad web config: $(cat "$work/bad.err"); want ${bad#*|}"
done
"$viewer" --web.listen-address 127.0.0.1:0 --web.config.file "$tls/web.yml" 2>"$work/https.err" &
https_pid=$!
wait_for grep -q listening "$work/https.err" || fail "no HTTPS server: $(cat "$work/https.err")"
surl=$(grep -o 'https://[^ ]*' "$work/https.err")
[ "$(status --cacert "$tls/ca.crt" -D "$work/head" "$surl")" = 401 ] && grep -qi '^WWW-Authenticate: Basic' \
  "$work/head" || fail "no credentials: not 401 with WWW-Authenticate"
# 40 guesses from one address wait for bcrypt: the first scrape with the
# password is still checked. Folded or repeated Authorization fields (a proxy
# may read them otherwise) and odd credentials are refused. Heads go a byte a record.
python3 - "$surl" "$tls/ca.crt" <<'PY' || fail "guesses, ambiguous heads or credentials"
import base64, socket, ssl, sys, urllib.parse
url, context = urllib.parse.urlsplit(sys.argv[1]), ssl.create_default_context(cafile=sys.argv[2])
connect = lambda source: context.wrap_socket(socket.create_connection((url.hostname, url.port),
    source_address=(source, 0)), server_hostname=url.hostname)
basic = lambda text: "Authorization: Basic " + base64.b64encode(text).decode() + "\r\n"
guesses = [connect("127.0.0.9") for _ in range(40)]
for i, s in enumerate(guesses): s.send(("GET /metrics HTTP/1.1\r\n" + basic(b"prometheus:%d" % i) + "\r\n").encode())
def status(fields):
    with connect("127.0.0.1") as s:
        for byte in ("GET /metrics HTTP/1.1\r\n" + fields + "\r\n").encode(): s.send(bytes([byte]))
        return s.makefile("rb").readline().split()[1]
good = basic(b"prometheus:s3cret")
wrong = [(f, w) for f, w in [(good, b"200"), ("X: a\r\n " + good, b"400"), (basic(b"x:y") + good, b"400"),
         (basic(b"prometheus:s3cret\0x"), b"401"), (good[:-2] + "=eDp5\r\n", b"401")] if status(f) != w]
sys.exit("wanted but not answered: %r" % wrong if wrong else 0)
PY
for c in prometheus:wrong:401 prometheus:s3cret:200 nobody:s3cret:401; do
  [ "$(status --cacert "$tls/ca.crt" -u "${c%:*}" "$surl")" = "${c##*:}" ] || fail "user ${c%:*}"
done
[ "$(status --cacert "$tls/ca.crt" --cert "$tls/rogue.crt" --key "$tls/rogue.key" -u prometheus:s3cret "$surl")" = 000 ] ||
  fail "a client certificate of another CA accepted"

# --- Prometheus scrapes every second over HTTPS with its user and holds what the host sent.
if ! command -v prometheus >/dev/null; then
  echo "SKIP: the Prometheus end-to-end part: prometheus is not installed"
else
  prom_port=$(free_port)
  cat >"$work/prometheus.yml" <<EOF
global: {scrape_interval: 1s, evaluation_interval: 1s}
scrape_configs:
- job_name: lumena
  scheme: https
  tls_config: {ca_file: $tls/ca.crt, cert_file: $tls/client.crt, key_file: $tls/client.key}
  basic_auth: {username: prometheus, password: s3cret}
  static_configs: [{targets: ["$(echo "$surl" | sed 's|https://||; s|/metrics||')"]}]
EOF
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

# --- SIGHUP re-reads the web config: the new password holds, the old one no longer.
web_yml n3w && kill -HUP $https_pid
new_password() { [ "$(status --cacert "$tls/ca.crt" -u prometheus:n3w "$surl")" = 200 ]; }
wait_for new_password && [ "$(status --cacert "$tls/ca.crt" -u prometheus:s3cret "$surl")" = 401 ] ||
  fail "SIGHUP: $(cat "$work/https.err")"

echo PASS
