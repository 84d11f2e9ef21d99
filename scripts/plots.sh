#!/usr/bin/env bash
# Draws the contention and scale curves of PERFORMANCE.md as PNG files from
# the data files bench/report.py writes (contention.dat, joins.dat,
# viewer.dat), with gnuplot (Debian package gnuplot-nox).
#   scripts/plots.sh [RESULTS_DIR]      default bench/results
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-bench/results}
command -v gnuplot >/dev/null || { echo "plots.sh: gnuplot is missing (apt-get install gnuplot-nox)" >&2; exit 1; }

if [ -f "$dir/contention.dat" ]; then
  gnuplot <<GNUPLOT
set terminal pngcairo size 900,560 font "sans,11"
set output "$dir/contention.png"
set title "Throughput under contention (2 cores), relative to one node updated by one thread"
set xlabel "threads or processes updating"
set ylabel "messages/s relative to 1 thread, one node"
set logscale x 2
set xrange [0.8:10]
set yrange [0:*]
set key top left
set grid
plot "< grep '^one_node ' $dir/contention.dat" using 2:4 with linespoints lw 2 pt 7 title "one node, threads", \
     "< grep '^separate_nodes ' $dir/contention.dat" using 2:4 with linespoints lw 2 pt 5 title "separate nodes, threads", \
     "< grep '^one_node_processes ' $dir/contention.dat" using 2:4 with points pt 9 ps 2 title "one node, 2 processes", \
     "< grep '^separate_nodes_processes ' $dir/contention.dat" using 2:4 with points pt 11 ps 2 title "separate nodes, 2 processes"

set output "$dir/contention_cpu.png"
set title "Processor time per message under contention (2 cores)"
set ylabel "CPU ns per message (all workers)"
plot "< grep '^one_node ' $dir/contention.dat" using 2:5 with linespoints lw 2 pt 7 title "one node, threads", \
     "< grep '^separate_nodes ' $dir/contention.dat" using 2:5 with linespoints lw 2 pt 5 title "separate nodes, threads", \
     "< grep '^semaphore ' $dir/contention.dat" using 2:5 with linespoints lw 2 pt 13 title "one semaphore alone, take and release", \
     "< grep '^floor ' $dir/contention.dat" using 2:5 with linespoints lw 2 pt 15 title "the floor's system calls alone, one semaphore", \
     "< grep '^one_node_processes ' $dir/contention.dat" using 2:5 with points pt 9 ps 2 title "one node, 2 processes", \
     "< grep '^separate_nodes_processes ' $dir/contention.dat" using 2:5 with points pt 11 ps 2 title "separate nodes, 2 processes"
GNUPLOT
fi

if [ -f "$dir/joins.dat" ]; then
  gnuplot <<GNUPLOT
set terminal pngcairo size 900,560 font "sans,11"
set output "$dir/joins.png"
set title "Time for the K-th node instance to join the tree"
set xlabel "K"
set ylabel "milliseconds of processor time"
set logscale xy
set key top left
set grid
f(x) = a * x
fit [x=60:*] f(x) "$dir/joins.dat" using 1:3 via a
plot "$dir/joins.dat" using 1:3 with linespoints lw 2 pt 7 title "join (label and type set)", \
     "$dir/joins.dat" using 1:2 with linespoints lw 2 pt 5 title "node context created", \
     f(x) with lines dt 2 title "linear in K"
GNUPLOT
fi

if [ -f "$dir/viewer.dat" ]; then
  gnuplot <<GNUPLOT
set terminal pngcairo size 900,560 font "sans,11"
set output "$dir/viewer.png"
set title "Viewer snapshot (capture and decode) against statistics area size, area nine tenths full"
set xlabel "statistics area bytes"
set ylabel "milliseconds of processor time"
set logscale xy
set key top left
set grid
plot "$dir/viewer.dat" using 1:4 with linespoints lw 2 pt 7 title "snapshot", \
     "$dir/viewer.dat" using 1:4:2 with labels offset 0,1 notitle
GNUPLOT
fi
rm -f fit.log
echo "plots in $dir"
