#!/usr/bin/env bash
# Demonstration on a fresh machine: builds the node library, the stand-in
# broker host and the viewer, then, inside a private namespace (zovsandbox:
# its own /tmp, /opt, /var and System V IPC, nothing prepared, nothing left
# behind), runs the deployment deploy/demo.conf with one process per execution
# group, shows what the monitoring agent would see while every node still
# exists, scrapes its metrics exporter once, and shows that the last process
# to leave removed everything.
#
#   bash scripts/demo.sh
#   ZOV_BUILD_DIR=DIR   build in DIR instead of build/
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$(realpath -m "${ZOV_BUILD_DIR:-$root/build}")
viewer=$build/src/tools/lumenaview

# Run by brokerhost (--then) once the workload is done: the nodes still exist.
show_view() {
    echo
    echo "== The broker's shared memory as the monitoring agent sees it (lumenaview --brief)"
    "$viewer" --brief
    echo
    echo "== One line per node (lumenaview --table --sort messages; add -w 2 to watch it live)"
    "$viewer" --table --sort messages
    echo
    echo "== Events (lumenaview --events): the event data area keeps the newest"
    "$viewer" --brief --events | sed -n '/^  Events:/,$p' >"$build/demo-events.txt"
    head -n 9 "$build/demo-events.txt"
    echo "  ..."
    echo "  and a message that failed downstream, recorded by each node it passed:"
    grep -m 2 -A 3 "Exception found in" "$build/demo-events.txt" || echo "  (none among them)"
    scrape_once
}

# The metrics exporter on a free loopback port, scraped once as Prometheus
# would (GET /metrics, at most 10 s), then stopped.
scrape_once() {
    echo
    echo "== The metrics exporter (lumenaview --listen 127.0.0.1:0), scraped once"
    "$viewer" --listen 127.0.0.1:0 2>"$build/demo-exporter.log" &
    local exporter=$! port=""
    for _ in $(seq 50); do
        port=$(sed -n 's|.*listening on http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$build/demo-exporter.log")
        [ -n "$port" ] && break
        sleep 0.1
    done
    if [ -n "$port" ]; then
        echo "GET http://127.0.0.1:$port/metrics: three series of one node"
        timeout 10 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port
            printf 'GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&3; cat <&3" |
            grep -E '^lumena_node_(messages|elapsed_seconds|queued_seconds)_total.*node="IntakeMonitor"' | sed 's/^/  /' || echo "  (no answer)"
    else
        echo "  the exporter did not start: $(cat "$build/demo-exporter.log")"
    fi
    kill "$exporter" 2>/dev/null || true
    wait "$exporter" 2>/dev/null || true
}

# Everything inside the sandbox.
inside() {
    echo "== brokerhost --fork-groups deploy/demo.conf (each execution group is a process)"
    "$build/src/broker/brokerhost" --fork-groups --log "$build/demo-broker.log" \
        --then "ZOV_BUILD_DIR=$build bash $root/scripts/demo.sh --show-view" \
        "$build/src/zov/libzovpnode.so" deploy/demo.conf
    echo
    echo "== After the last process left"
    left_behind
}

# What the deployment left: System V IPC objects and entries of /tmp, leaving
# out the sources and the build, which the sandbox mounts back in (and the
# directories on the way to them).
left_behind() {
    local objects entries
    objects=$(cat /proc/sysvipc/shm /proc/sysvipc/sem /proc/sysvipc/msg | grep -cv '^ *key' || true)
    entries=$(find /tmp -mindepth 1 \( -path "$root" -o -path "$build" \) -prune -o -print |
        while read -r path; do
            case "$root/ $build/" in "$path/"* | *" $path/"*) ;; *) echo "$path" ;; esac
        done)
    if [ "$objects" = 0 ] && [ -z "$entries" ]; then
        echo "Nothing left behind: no System V IPC object, no file in /tmp."
        return
    fi
    [ "$objects" = 0 ] || ipcs
    [ -z "$entries" ] || echo "$entries" | sed 's/^/  left: /'
    return 1
}

case "${1:-}" in
--show-view)
    show_view
    exit
    ;;
--inside-sandbox)
    inside
    exit
    ;;
esac

echo "== Build dependencies (scripts/install-deps.sh demo)"
bash scripts/install-deps.sh demo
echo "== Building the node library, the stand-in broker and lumenaview in $build"
echo "   (a few minutes on a fresh machine; the full log is $build/demo-build.log)"
mkdir -p "$build"
cmake -S . -B "$build" >"$build/demo-build.log"
# One line per step of the build's progress, so that a long build is seen moving.
if ! cmake --build "$build" -j"$(nproc)" --target zovpnode brokerhost lumenaview zovsandbox \
    2>&1 | tee -a "$build/demo-build.log" |
    awk 'match($0, /^\[ *[0-9]+%\]/) && substr($0, 1, RLENGTH) != last {
        last = substr($0, 1, RLENGTH); n = split($NF, p, "/"); print "   " last " " p[n]; fflush() }'; then
    tail -n 20 "$build/demo-build.log"
    exit 1
fi
ZOV_BUILD_DIR=$build "$build/src/tools/zovsandbox" --keep "$root" --keep "$build" -- \
    bash scripts/demo.sh --inside-sandbox
