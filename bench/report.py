#!/usr/bin/env python3
"""Turns the raw benchmark output of scripts/bench.sh into the tables of
PERFORMANCE.md (summary.md) and the data files the plots are drawn from.

    report.py RESULTS_DIR

Reads message_*.json (Google Benchmark), strace_<kind>_<n>.txt (strace -c),
callgrind_<kind>_<n>.txt (callgrind's summary),
contention.csv, joins.csv and viewer.csv when present. Every figure is a
median over repetitions; every ratio is formed within one run first, then
the median of those ratios is given, so that the load of a shared machine
cancels as far as it can.
"""
import csv
import glob
import json
import os
import re
import statistics
import sys
from collections import defaultdict


def median(values):
    return statistics.median(values) if values else float("nan")


def message_runs(directory):
    """Per run: benchmark name -> median CPU ns and median real ns."""
    runs = []
    for path in sorted(glob.glob(os.path.join(directory, "message_*.json"))):
        with open(path) as f:
            data = json.load(f)
        cpu, real = defaultdict(list), defaultdict(list)
        for b in data["benchmarks"]:
            if b.get("run_type") == "aggregate":
                continue
            name = b.get("run_name", b["name"])
            cpu[name].append(b["cpu_time"])
            real[name].append(b["real_time"])
        runs.append(({k: median(v) for k, v in cpu.items()},
                     {k: median(v) for k, v in real.items()}))
    return runs


def floor_table(runs, out):
    if not runs:
        return
    names = ["BM_FloorProcessorClock", "BM_FloorSemaphore", "BM_FloorWallClocks", "BM_Floor",
             "BM_PassThrough", "BM_Monitored", "BM_MonitoredEvents", "BM_MonitoredTracing"]
    names += sorted({n for cpu, _ in runs for n in cpu if n.startswith("BM_MonitoredBaseline")})
    out.append("| benchmark | CPU ns/message (median of runs) | wall ns/message |")
    out.append("|---|---:|---:|")
    for name in names:
        cpus = [cpu[name] for cpu, _ in runs if name in cpu]
        reals = [real[name] for _, real in runs if name in real]
        if cpus:
            out.append(f"| {name} | {median(cpus):.0f} | {median(reals):.0f} |")
    out.append("")
    out.append("| ratio, formed within each run | per run | median |")
    out.append("|---|---|---:|")

    def ratio_row(label, numerator):
        values = []
        for cpu, _ in runs:
            value = numerator(cpu)
            if value is not None:
                values.append(value)
        if values:
            shown = ", ".join(f"{v:.2f}" for v in values)
            out.append(f"| {label} | {shown} | **{median(values):.2f}** |")

    def extra(name):
        return lambda c: (c[name] - c["BM_PassThrough"]) / c["BM_Floor"] if name in c else None

    ratio_row("(monitored - pass-through) / floor", extra("BM_Monitored"))
    for name in names:
        if name.startswith("BM_MonitoredBaseline"):
            ratio_row(f"({name} - pass-through) / floor", extra(name))
    ratio_row("(monitored with events - pass-through) / floor", extra("BM_MonitoredEvents"))
    # The events path's own floor adds the events area lock's take and release.
    ratio_row("(monitored with events - pass-through) / (floor + take and release)",
              lambda c: (c["BM_MonitoredEvents"] - c["BM_PassThrough"])
              / (c["BM_Floor"] + c["BM_FloorSemaphore"]))
    ratio_row("(monitored, tracing on - pass-through) / floor", extra("BM_MonitoredTracing"))
    ratio_row("monitored, tracing on / tracing off",
              lambda c: c["BM_MonitoredTracing"] / c["BM_Monitored"])
    out.append("")


STRACE_LINE = re.compile(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:(\d+)\s+)?(\w+)\s*$")


def strace_counts(path):
    counts = {}
    with open(path) as f:
        for line in f:
            m = STRACE_LINE.match(line)
            if m and m.group(3) != "total":
                counts[m.group(3)] = int(m.group(1))
    return counts


def syscall_table(directory, out):
    files = glob.glob(os.path.join(directory, "strace_*_*.txt"))
    by_kind = defaultdict(dict)
    for path in files:
        m = re.match(r"strace_(\w+?)_(\d+)\.txt$", os.path.basename(path))
        if m:
            by_kind[m.group(1)][int(m.group(2))] = strace_counts(path)
    if not by_kind:
        return
    out.append("| node | system call | calls per message |")
    out.append("|---|---|---:|")
    for kind in ["pass", "monitored", "events", "tracing"]:
        runs = by_kind.get(kind)
        if not runs or len(runs) < 2:
            continue
        low, high = min(runs), max(runs)
        per = {}
        for name in set(runs[low]) | set(runs[high]):
            delta = runs[high].get(name, 0) - runs[low].get(name, 0)
            if delta:
                per[name] = delta / (high - low)
        if not per:
            out.append(f"| {kind} | (none) | 0 |")
        for name, value in sorted(per.items(), key=lambda item: -item[1]):
            out.append(f"| {kind} | {name} | {value:.2f} |")
        total = sum(per.values())
        out.append(f"| {kind} | **all** | **{total:.2f}** |")
    out.append("")


def instructions(directory, out):
    counts = defaultdict(dict)
    for path in glob.glob(os.path.join(directory, "callgrind_*_*.txt")):
        m = re.match(r"callgrind_(\w+?)_(\d+)\.txt$", os.path.basename(path))
        collected = re.search(r"Collected : (\d+)", open(path).read())
        if m and collected:
            counts[m.group(1)][int(m.group(2))] = int(collected.group(1))
    per = {}
    for kind, runs in counts.items():
        if len(runs) >= 2:
            low, high = min(runs), max(runs)
            per[kind] = (runs[high] - runs[low]) / (high - low)
    if not per:
        return
    out.append("| node | instructions per message |")
    out.append("|---|---:|")
    for kind in sorted(per):
        out.append(f"| {kind} | {per[kind]:.0f} |")
    for kind in ("monitored", "events"):
        if "pass" in per and kind in per:
            out.append(f"| {kind} minus pass-through | {per[kind] - per['pass']:.0f} |")
    out.append("")


def contention(directory, out):
    path = os.path.join(directory, "contention.csv")
    if not os.path.exists(path):
        return
    rows = list(csv.DictReader(open(path)))
    base = {r["round"]: float(r["per_second"]) for r in rows
            if r["scenario"] == "one_node" and r["workers"] == "1"}
    points = defaultdict(lambda: {"rate": [], "relative": [], "cpu": []})
    order = []
    for r in rows:
        key = (r["scenario"], int(r["workers"]))
        if key not in order:
            order.append(key)
        rate = float(r["per_second"])
        points[key]["rate"].append(rate)
        points[key]["cpu"].append(float(r["cpu_ns_per_message"]))
        if base.get(r["round"]):
            points[key]["relative"].append(rate / base[r["round"]])
    out.append("| scenario | workers | messages/s (median) | relative to one node, 1 thread | "
               "CPU ns/message |")
    out.append("|---|---:|---:|---:|---:|")
    with open(os.path.join(directory, "contention.dat"), "w") as dat:
        dat.write("# scenario workers per_second relative cpu_ns\n")
        for key in order:
            p = points[key]
            out.append(f"| {key[0]} | {key[1]} | {median(p['rate']):.0f} | "
                       f"{median(p['relative']):.2f} | {median(p['cpu']):.0f} |")
            dat.write(f"{key[0]} {key[1]} {median(p['rate']):.0f} {median(p['relative']):.3f} "
                      f"{median(p['cpu']):.0f}\n")
    out.append("")
    contention_ratios(rows, out)


def contention_ratios(rows, out):
    """Processor time per message with 8 threads over 1 thread, formed within
    each round; and how much of one node's extra at 8 threads is the floor's
    system calls on one semaphore (the same scenario without the library)."""
    cpu = defaultdict(dict)
    for r in rows:
        cpu[r["round"]][(r["scenario"], int(r["workers"]))] = float(r["cpu_ns_per_message"])
    out.append("| processor time per message, 8 threads / 1 thread | per round | median |")
    out.append("|---|---|---:|")

    def row(label, value):
        values = [v for v in (value(c) for c in cpu.values()) if v is not None]
        if values:
            shown = ", ".join(f"{v:.2f}" for v in values)
            out.append(f"| {label} | {shown} | **{median(values):.2f}** |")

    def ratio(scenario):
        return lambda c: (c[(scenario, 8)] / c[(scenario, 1)]
                          if (scenario, 8) in c and c.get((scenario, 1)) else None)

    for scenario in ("one_node", "floor", "semaphore", "separate_nodes", "pass_through"):
        row(scenario, ratio(scenario))

    def library(c):
        needed = [("one_node", 1), ("one_node", 8), ("floor", 1), ("floor", 8)]
        if not all(k in c for k in needed):
            return None
        alone = c[("one_node", 1)] - c[("floor", 1)]
        return (c[("one_node", 8)] - c[("floor", 8)]) / alone if alone > 0 else None

    row("one node minus the floor, 8 threads / 1 thread", library)
    out.append("")


def joins(directory, out):
    path = os.path.join(directory, "joins.csv")
    if not os.path.exists(path):
        return
    rows = list(csv.DictReader(open(path)))
    join, create, wall = defaultdict(list), defaultdict(list), defaultdict(list)
    for r in rows:
        join[int(r["nodes"])].append(float(r["join_ms"]))
        create[int(r["nodes"])].append(float(r["create_ms"]))
        wall[int(r["nodes"])].append(float(r["join_wall_ms"]))
    out.append("| K (the K-th node joins) | context created, CPU ms | join, CPU ms | "
               "join growth over the K before | join, wall ms |")
    out.append("|---:|---:|---:|---:|---:|")
    previous = None
    with open(os.path.join(directory, "joins.dat"), "w") as dat:
        dat.write("# nodes create_ms join_ms\n")
        for k in sorted(join):
            j = median(join[k])
            growth = f"{j / previous:.2f}" if previous else ""
            out.append(f"| {k} | {median(create[k]):.2f} | {j:.2f} | {growth} | "
                       f"{median(wall[k]):.2f} |")
            dat.write(f"{k} {median(create[k]):.4f} {j:.4f}\n")
            previous = j
    out.append("")


def viewer(directory, out):
    path = os.path.join(directory, "viewer.csv")
    if not os.path.exists(path):
        return
    rows = list(csv.DictReader(open(path)))
    times, walls, meta = defaultdict(list), defaultdict(list), {}
    for r in rows:
        area = int(r["area_bytes"])
        times[area].append(float(r["snapshot_ms"]))
        walls[area].append(float(r["snapshot_wall_ms"]))
        meta[area] = (int(r["nodes"]), int(r["used_bytes"]))
    out.append("| statistics area bytes | nodes | bytes used | snapshot, CPU ms | "
               "CPU ms per MiB used | snapshot, wall ms |")
    out.append("|---:|---:|---:|---:|---:|---:|")
    with open(os.path.join(directory, "viewer.dat"), "w") as dat:
        dat.write("# area_bytes nodes used_bytes snapshot_ms\n")
        for area in sorted(times):
            nodes, used = meta[area]
            t = median(times[area])
            out.append(f"| {area} | {nodes} | {used} | {t:.2f} | {t / (used / 1048576):.1f} | "
                       f"{median(walls[area]):.2f} |")
            dat.write(f"{area} {nodes} {used} {t:.4f}\n")
    out.append("")


def main():
    directory = sys.argv[1]
    out = ["# Benchmark summary", ""]
    sections = [("Per-message cost and floor", lambda o: floor_table(message_runs(directory), o)),
                ("System calls per message", lambda o: syscall_table(directory, o)),
                ("Instructions per message (callgrind)", lambda o: instructions(directory, o)),
                ("Contention", lambda o: contention(directory, o)),
                ("Joining: time for the K-th node", lambda o: joins(directory, o)),
                ("Viewer snapshot", lambda o: viewer(directory, o))]
    for title, make in sections:
        body = []
        make(body)
        if body:
            out += [f"## {title}", ""] + body
    text = "\n".join(out) + "\n"
    with open(os.path.join(directory, "summary.md"), "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
