#!/usr/bin/env bash
# Demonstration on a fresh machine: builds the node library, the stand-in
# broker host and the viewer, then, inside a private namespace (zovsandbox:
# its own /tmp, /opt, /var and System V IPC, nothing prepared, nothing left
# behind), runs the deployment deploy/demo.conf with one process per execution
# group, shows what the monitoring agent would see while every node still
# exists, and shows that the last process to leave removed everything.
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

bash scripts/install-deps.sh demo
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target zovpnode brokerhost lumenaview zovsandbox >/dev/null
ZOV_BUILD_DIR=$build "$build/src/tools/zovsandbox" --keep "$root" --keep "$build" -- \
    bash scripts/demo.sh --inside-sandbox
