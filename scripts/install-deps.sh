#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, if any
# is missing. Safe to run again; does nothing when everything is there.
# ZOV_BENCH_TOOLS=1 adds the tools of the benchmark script.
set -euo pipefail

packages=(
  cmake g++ make                         # build
  googletest libgtest-dev libgmock-dev   # tests
  libbenchmark-dev                       # benchmarks
  nlohmann-json3-dev libcli11-dev        # the viewer's JSON and command line
  libcpp-httplib-dev pkg-config          # the viewer's metrics server
  prometheus curl jq python3             # the exporter test with a real Prometheus server
  clang libclang-rt-14-dev               # fuzzing and sanitizers with clang
  util-linux procps                      # ipcs, unshare
)

# The tools that only scripts/bench.sh needs (system-call and instruction
# counts, plots).
if [ "${ZOV_BENCH_TOOLS:-0}" = 1 ]; then
  packages+=(strace valgrind gnuplot-nox)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
