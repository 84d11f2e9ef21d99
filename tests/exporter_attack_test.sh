#!/usr/bin/env bash
# The exporter under attack: 600 slowloris connections (request heads that
# never end) and 100 clients that ask and never read, from addresses of their
# own, while 20 scrapes run at once. Every scrape must succeed within 2 s,
# each attacking address beyond its connection limit is refused with 503, and
# the broker's messages still pass; scrapes that come together share a
# capture. A second exporter on the port, also as [::], must exit 4.
# Runs inside zovsandbox. Usage: exporter_attack_test.sh BUILD
set -euo pipefail
build=$1
viewer=$build/src/tools/lumenaview
work=$(mktemp -d /tmp/attack.XXXXXX)
fail() { echo "FAIL: $*" >&2; exit 1; }
cleanup() { touch "$work/go"; kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; }
trap cleanup EXIT
wait_for() { for _ in $(seq 300); do "$@" && return 0; sleep 0.1; done; return 1; } # up to 30 s

# 120 nodes: an exposition far larger than what a client that never reads
# lets the kernel buffer. The flows keep sending during the attack.
{ printf '[broker]\nname = ATTACKED\nuuid = attacked-broker\n[workload]\nmessages = 200\npause = 20000\n[group EG]\n'
  for f in 1 2; do printf '[flow EG/F%d]\n' $f; printf "[node EG/F$f/N%d]\n" $(seq 60); done; } >"$work/deploy.conf"
"$build/src/broker/brokerhost" --then "while [ ! -e $work/go ]; do sleep 0.1; done" \
  "$build/src/zov/libzovpnode.so" "$work/deploy.conf" >"$work/host.out" 2>"$work/host.err" &
"$viewer" --web.listen-address 127.0.0.1:0 2>"$work/viewer.err" &
wait_for grep -q listening "$work/viewer.err" || fail "no server: $(cat "$work/viewer.err")"
url=$(grep -o 'http://[^ ]*' "$work/viewer.err")
port=${url##*:} port=${port%%/*}
counted() { curl -sf "$url" >"$work/m" && grep -q '^lumena_node_messages_total.* [1-9]' "$work/m"; }
wait_for counted || fail "no messages counted"

"$viewer" --listen "127.0.0.1:$port" 2>"$work/second.err" && fail "second exporter started"
[ $? = 4 ] || fail "second exporter: exit $? ($(cat "$work/second.err"))"
"$viewer" --web.listen-address ":$port" 2>/dev/null && fail "dual-stack exporter shared the port"

python3 - "$port" <<'PY' || fail "scrapes under attack"
import resource, socket, sys, threading, time, urllib.request
port = int(sys.argv[1])
hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
def connect(source, rcvbuf=0):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s
held = []
for i in range(600):  # 300 from each of two addresses: 44 each over the limit
    held.append(connect("127.0.0.%d" % (2 + i % 2)))
    held[-1].send(b"GET /metrics HTTP/1.1\r\nHost: x\r\n")
for i in range(100):
    held.append(connect("127.0.0.4", rcvbuf=4096))
    held[-1].send(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
took = [None] * 20
def scrape(i):
    start = time.monotonic()
    body = urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=10).read()
    if b"lumena_node_messages_total" in body:
        took[i] = time.monotonic() - start
threads = [threading.Thread(target=scrape, args=(i,)) for i in range(20)]
for t in threads: t.start()
for t in threads: t.join()
print("scrape seconds:", " ".join("%.3f" % t if t is not None else "failed" for t in took))
def answered_503():  # read cleanly, never reset: the 44 over the limit of each address
    n = 0
    for c in held[:600]:
        try:
            n += c.recv(100, socket.MSG_PEEK | socket.MSG_DONTWAIT).startswith(b"HTTP/1.1 503")
        except BlockingIOError:
            pass
    return n
for _ in range(200):
    if answered_503() == 88:
        break
    time.sleep(0.1)
print("503 answers:", answered_503())
sys.exit(0 if all(t is not None and t < 2 for t in took) and answered_503() == 88 else 1)
PY
curl -s "$url" >"$work/after"
count() { sed -n "s/^lumena_exporter_$1_total //p" "$work/after"; }
# Single flight: the 120 requests that came together cost a few captures, not one each.
[ $(( $(count captures) * 2 )) -le "$(count scrapes)" ] || fail "captures $(count captures) for $(count scrapes) scrapes"
refused=$(sed -n 's/^lumena_exporter_connections_refused_total{reason="limit"} //p' "$work/after")
[ "$refused" = 88 ] || fail "refusals counted: $refused, want 88"
touch "$work/go"
wait_for grep -q "EG/F1: 200 evaluated" "$work/host.out" || fail "broker's messages stopped: $(tail -2 "$work/host.out")"
wait_for grep -q "EG/F2: 200 evaluated" "$work/host.out" || fail "broker's messages stopped: $(tail -2 "$work/host.out")"
echo PASS
